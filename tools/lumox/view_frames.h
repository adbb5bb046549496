// The viewer's frame messages: the binary layout /frame sends, and the slot that holds the latest
// decoded frame for the page's requests (written by the capture thread, read by request handlers).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumox/lumox.h"

namespace lumox_cli {

// Leading bytes of every frame message, little-endian.
struct ViewFrameHeader {
    uint32_t magic;        // kViewFrameMagic
    uint32_t header_size;  // sizeof(ViewFrameHeader): the pixel data follows
    uint32_t seq;          // the server's frame counter, from 1
    uint16_t frame_idx;    // the camera's frame index
    uint16_t format;
    uint16_t width;
    uint16_t height;
    int16_t temp_sensor;  // tenths of a degree, from the frame's stream header
    int16_t temp_board;
    double arrival_ms;   // wall clock (ms since 1970) when the capture call handed the frame over
    double ready_ms;     // wall clock when the decoded frame was ready to send
    uint32_t decode_us;  // time spent decoding distance and amplitude
    uint32_t reserved;
};
static_assert(sizeof(ViewFrameHeader) == 48, "the page reads this layout");
constexpr uint32_t kViewFrameMagic = 0x4656584C;  // "LXVF"

// Wall clock, milliseconds since 1970.
double wall_ms();

// A frame message without its sequence number and ready time (the slot sets them): the header,
// then the distances in millimetres (u16; the library's codes 65.3/65.4/65.5 m stay 65300...)
// and the amplitudes (u16). An undecoded frame has a header only (width and height 0).
std::shared_ptr<std::string> encode_frame(const lumox_frame_info &info,
                                          const lx_raw_frame_info &raw,
                                          const std::vector<float> &dist,
                                          const std::vector<float> &gray, bool decoded,
                                          double arrival_ms, uint32_t decode_us);

class LatestFrameSlot {
  public:
    // Numbers the message, stamps its ready time and wakes the waiting requests.
    void publish(std::shared_ptr<std::string> msg);
    // The latest message if its number is not `after` (any other number is news: the page may
    // have outlived an earlier server); waits up to timeout for one, or until wake_all().
    std::shared_ptr<const std::string> wait_newer(uint32_t after,
                                                  std::chrono::milliseconds timeout);
    // Ends every wait at once, for good (the server is stopping).
    void wake_all();

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::shared_ptr<const std::string> latest_;
    uint32_t seq_ = 0;
    bool closed_ = false;
};

}  // namespace lumox_cli
