// An in-memory stand-in for the device the evaluation-kit code serves: the sensor's 256 registers
// with a log of every write, parameters by identifier, and a capture that hands out one prepared
// frame. Installing it (FakeSensor::Installed) replaces the evk device port for one test.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "evk/device_port.h"
#include "lumox/log.h"

namespace lumox::evk::test {

struct RegWrite {
    uint32_t reg;
    uint32_t value;
    bool operator==(const RegWrite &o) const { return reg == o.reg && value == o.value; }
};

struct FakeSensor {
    uint8_t regs[256] = {};
    std::vector<RegWrite> writes;
    std::map<uint32_t, std::vector<uint8_t>> params;  // value bytes by identifier
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> param_sets;
    bool fail_reg_io = false;
    bool fail_param_get = false;
    int resets = 0;

    // Capture: frame_bytes is what a fetch delivers; frame_ok false makes the fetch fail.
    std::vector<uint8_t> frame_bytes;
    bool frame_ok = true;
    int captures = 0;
    bool capturing = false;

    lumox_dev_t device{};
    bool open_first_works = true;
    int closes = 0;

    static FakeSensor *&current() {
        static FakeSensor *instance = nullptr;
        return instance;
    }

    static bool reg_read(lumox_dev_t *, uint32_t first, uint32_t *values, uint16_t count) {
        auto *f = current();
        if (f->fail_reg_io) return false;
        for (uint16_t i = 0; i < count; ++i) values[i] = f->regs[(first + i) & 0xFF];
        return true;
    }
    static bool reg_write(lumox_dev_t *, uint32_t first, const uint32_t *values, uint16_t count) {
        auto *f = current();
        if (f->fail_reg_io) return false;
        for (uint16_t i = 0; i < count; ++i) {
            f->regs[(first + i) & 0xFF] = static_cast<uint8_t>(values[i]);
            f->writes.push_back({first + i, values[i]});
        }
        return true;
    }
    static bool param_get(lumox_dev_t *, uint32_t id, uint8_t *value, uint8_t *length) {
        auto *f = current();
        auto it = f->params.find(id);
        if (f->fail_param_get || it == f->params.end()) return false;
        std::memset(value, 0, kParamValueMax);
        std::memcpy(value, it->second.data(), std::min<size_t>(it->second.size(), kParamValueMax));
        *length = static_cast<uint8_t>(it->second.size());
        return true;
    }
    static bool param_set(lumox_dev_t *, uint32_t id, const uint8_t *value, uint8_t length) {
        current()->param_sets.push_back({id, std::vector<uint8_t>(value, value + length)});
        return true;
    }
    static bool reset(lumox_dev_t *, int) {
        ++current()->resets;
        return true;
    }
    static bool cap_is_ongoing(lumox_dev_t *) { return current()->capturing; }
    static bool cap_start(lumox_dev_t *) { return current()->capturing = true; }
    static bool cap_stop(lumox_dev_t *) {
        current()->capturing = false;
        return true;
    }
    static int cap_get_frame(lumox_dev_t *, void *buffer, uint32_t length, FetchedFrame *frame) {
        auto *f = current();
        ++f->captures;
        if (!f->frame_ok || f->frame_bytes.size() > length) return 0;
        std::memcpy(buffer, f->frame_bytes.data(), f->frame_bytes.size());
        *frame = {7, 320, 240, static_cast<uint32_t>(f->frame_bytes.size())};
        return 1;
    }
    static lumox_dev_t *open_first() {
        auto *f = current();
        return f->open_first_works ? &f->device : nullptr;
    }
    static void close(lumox_dev_t *) { ++current()->closes; }

    std::vector<RegWrite> writes_from(size_t first) const {
        return {writes.begin() + static_cast<std::ptrdiff_t>(first), writes.end()};
    }

    // Replaces the device port for its lifetime.
    class Installed {
      public:
        explicit Installed(FakeSensor &fake) {
            current() = &fake;
            previous_ = set_device_port(&kPort);
        }
        ~Installed() {
            set_device_port(previous_);
            current() = nullptr;
        }
        Installed(const Installed &) = delete;
        Installed &operator=(const Installed &) = delete;

      private:
        static constexpr DevicePort kPort = {reg_read, reg_write,      param_get, param_set,
                                             reset,    cap_is_ongoing, cap_start, cap_get_frame,
                                             cap_stop, open_first,     close};
        const DevicePort *previous_;
    };
};

}  // namespace lumox::evk::test
