// lumox list: the cameras attached, with their speed, serial and product. Each camera is opened
// at the transport level only, so listing starts no driver and fetches no calibration.

#include <cstdio>
#include <string>

#include "command.h"
#include "param_format.h"
#include "probe.h"
#include "session.h"

namespace lumox_cli {

namespace {

std::string text_param(TransportProbe &probe, uint8_t id) {
    const auto value = probe.param(id);
    if (!value || value->empty()) return "-";
    return record_field(reinterpret_cast<const char *>(value->data()), value->size());
}

}  // namespace

int cmd_list(const Args &args) {
    Session session(args);
    const std::vector<lumox_ll_dev> cameras = transport_list();
    if (cameras.empty()) {
        std::printf("no camera found\n");
        return kExitOk;
    }
    std::printf("%-9s %-5s %-7s %-16s %s\n", "BUS:PORT", "ADDR", "SPEED", "SERIAL", "PRODUCT");
    for (const lumox_ll_dev &d : cameras) {
        TransportProbe probe(d);
        const std::string serial = probe.is_open() ? text_param(probe, LUMOX_PARAM_ID2) : "-";
        const std::string product =
            probe.is_open() ? text_param(probe, LUMOX_PARAM_PRODUCT) : "(cannot open: in use?)";
        std::printf("%3u:%-5u %-5u %-7s %-16s %s\n", d.bus, d.port, d.addr, speed_word(d.speed),
                    serial.c_str(), product.c_str());
    }
    return kExitOk;
}

}  // namespace lumox_cli
