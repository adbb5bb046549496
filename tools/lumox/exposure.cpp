#include "exposure.h"

#include <cstdio>
#include <string>

#include "command.h"
#include "session.h"

namespace lumox_cli {
namespace {

// Writes a parameter of `bytes` little-endian bytes and returns what the camera reads back, or
// -1 when it does not take or answer it. A command a busy host could not complete in time is
// tried once more: setting a parameter twice does no harm.
long long set_and_read_back(lumox_dev_t *dev, uint32_t id, uint32_t bytes, long long value) {
    lumox_param_item item{};
    item.param_id = id;
    item.param_val_len = static_cast<uint8_t>(bytes);
    for (uint32_t i = 0; i < bytes; ++i)
        item.param_val[i] = static_cast<uint8_t>(static_cast<unsigned long long>(value) >> (8 * i));
    bool set = false;
    for (int attempt = 0; attempt < 2 && !set; ++attempt)
        set = lumox_param_batch_set(dev, &item, 1) != 0;
    lumox_param_item back{};
    back.param_id = id;
    bool read = false;
    for (int attempt = 0; set && attempt < 2 && !read; ++attempt)
        read = lumox_param_batch_get(dev, &back, 1) != 0;
    if (!read) return -1;
    long long got = 0;
    for (uint32_t i = 0; i < bytes && i < back.param_val_len; ++i)
        got |= static_cast<long long>(back.param_val[i]) << (8 * i);
    return got;
}

}  // namespace

Exposure parse_exposure(const Args &args) {
    Exposure e;
    e.integration_us = option_int(args, "--integration-time", 1, 65535, 0);
    e.frame_rate = option_int(args, "--frame-rate", 1, 1000, 0);
    return e;
}

bool apply_exposure(lumox_dev_t *dev, const Exposure &e) {
    const struct {
        long long value;
        uint32_t id, bytes;
        const char *label, *unit;
    } settings[] = {
        {e.integration_us, LUMOX_PARAM_INTG_TIME, 2, "integration time", "us"},
        {e.frame_rate, LUMOX_PARAM_FRAME_RATE, 4, "frame rate", "frames/s"},
    };
    for (const auto &s : settings) {
        if (s.value == 0) continue;
        lumox_clear_last_error();
        const long long got = set_and_read_back(dev, s.id, s.bytes, s.value);
        if (got < 0) {
            const std::string account = library_account();
            fail("the camera did not take %s %lld %s (%s)", s.label, s.value, s.unit,
                 account.empty() ? "the library log says why" : account.c_str());
            return false;
        }
        if (got != s.value) {
            fail("%s: asked for %lld %s, the camera reads back %lld", s.label, s.value, s.unit,
                 got);
            return false;
        }
        std::printf("%-18s %lld %s\n", s.label, got, s.unit);
    }
    return true;
}

}  // namespace lumox_cli
