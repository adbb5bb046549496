// lumox reg read|write: registers of the camera.

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "session.h"

namespace lumox_cli {

int cmd_reg_read(const Args &args) {
    const auto &w = args.operands;
    const auto count =
        static_cast<uint16_t>(w.size() > 2 ? parse_int(w[2], 1, 65535, "register count") : 1);
    const RegisterSpan span = parse_register_span(w[0], w[1], count);
    std::vector<uint32_t> values(count, 0);
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!lumox_reg_batch_read(dev, span.target, span.base, values.data(), count))
        return fail("register read failed");
    for (uint32_t i = 0; i < count; ++i) {
        std::printf("%u:0x%04x = 0x%08x (%u)\n", span.target, span.base + i, values[i], values[i]);
    }
    return kExitOk;
}

// A write goes out as one command of at most 65535 bytes: a 7-byte header and 4 bytes per
// register. The sensor chip's registers (target 1) hold 8-bit values.
int cmd_reg_write(const Args &args) {
    constexpr size_t kMaxWrite = (65535 - 7) / 4;
    const auto &w = args.operands;
    if (w.size() - 2 > kMaxWrite)
        throw UsageError("at most " + std::to_string(kMaxWrite) + " registers in one write");
    const auto target = static_cast<uint8_t>(parse_int(w[0], 0, 255, "register target"));
    const long long top = target == 1 ? 0xFF : 0xFFFFFFFFll;
    std::vector<uint32_t> values;
    for (size_t i = 2; i < w.size(); ++i) {
        values.push_back(static_cast<uint32_t>(
            parse_int(w[i], 0, top, target == 1 ? "a sensor register value" : "register value")));
    }
    const auto count = static_cast<uint16_t>(values.size());
    const RegisterSpan span = parse_register_span(w[0], w[1], count);
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!lumox_reg_batch_write(dev, span.target, span.base, values.data(), count))
        return fail("register write failed");
    std::printf("wrote %u register(s) at %u:0x%x\n", count, span.target, span.base);
    return kExitOk;
}

}  // namespace lumox_cli
