// A fake transport for device-layer tests: a camera with identity parameters, registers, a
// capture callback that the test drives in place of the transport's event thread, and a command
// channel a test may serve (the firmware tests put a flash protocol model behind it).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lumox/device.h"
#include "lumox/transport.h"

namespace lumox::test {

struct FakeCamera {
    std::string product = "LX-E2-2.0.1";
    std::string id2 = "SN0042";
    uint32_t fps = 10;
    int32_t cameras = 2;  // how many the bus lists

    bool open_ok = true;
    bool param_get_ok = true;
    bool cap_start_ok = true;
    bool cap_stop_ok = true;
    // Stream bytes handed to the capture callback from inside cap_start, as if the first
    // transfers completed at once.
    std::vector<uint8_t> stream_on_start;

    std::atomic<int> lists{0};
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> cap_starts{0};
    std::atomic<int> cap_stops{0};
    std::atomic<int> aborts{0};
    std::atomic<int> resets{0};
    std::atomic<int> reg_calls{0};
    std::atomic<int> param_sets{0};
    uint8_t last_reset_target = 0;

    std::map<uint8_t, std::vector<uint8_t>> params;  // values set by the library
    std::vector<uint8_t> last_set_wire;              // the last parameter batch, wire form
    uint32_t regs[256] = {};

    // The command channel (exe_cmd and check_last_cmd), when the test serves one; without it
    // every command fails.
    std::function<uint8_t(uint8_t dir, uint8_t type, uint16_t value, void *buf, uint32_t len)>
        command;
    std::function<uint8_t(uint8_t type)> command_status;

    lumox_ll_dev *capture_dev = nullptr;
    lumox_ll_cap_cb capture_cb = nullptr;
    void *capture_user = nullptr;
};

// The camera behind the fake transport (reset by FakeTransportTest).
FakeCamera &fake();
// Replaces it by a new one, as it is at the start of a test.
FakeCamera &reset_fake();

extern const lumox_ll_op kFakeOps;

// Delivers a transport event to the running capture, as the event thread would.
void emit(int32_t event, const std::vector<uint8_t> &bytes = {});

// Frame geometry used by the stream helpers: 4 x 2 pixels, 2 bytes each.
constexpr uint16_t kFrameWidth = 4;
constexpr uint16_t kFrameHeight = 2;
constexpr uint32_t kFrameLen = 16;

// One stream segment: a 36-byte header with a valid checksum, then data.
std::vector<uint8_t> segment(uint16_t sidx, uint16_t fridx, uint32_t frlen, bool frame_start,
                             const std::vector<uint8_t> &data);

// Stream bytes of count whole frames, one segment each, starting at segment and frame index
// first. Frame i's bytes are all (first + i) & 0xFF.
std::vector<uint8_t> frames(uint16_t first, int count);

// Runs the library's device layer over the fake transport; sleeps return at once.
class FakeTransportTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Opens dev_ (or fails the test).
    lumox_dev_t *open_device();

    lumox_dev_t dev_{};
};

}  // namespace lumox::test
