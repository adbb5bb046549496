#include "view_frames.h"

#include <cstring>
#include <utility>

namespace lumox_cli {

double wall_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

namespace {

uint16_t clamp_u16(float v) {
    return static_cast<uint16_t>(v <= 0 ? 0 : v >= 65535.0f ? 65535 : v);
}

}  // namespace

std::shared_ptr<std::string> encode_frame(const lumox_frame_info &info,
                                          const lx_raw_frame_info &raw,
                                          const std::vector<float> &dist,
                                          const std::vector<float> &gray, bool decoded,
                                          double arrival_ms, uint32_t decode_us) {
    const uint32_t n = decoded ? info.width * info.height : 0;
    auto msg = std::make_shared<std::string>();
    msg->resize(sizeof(ViewFrameHeader) + 4 * static_cast<size_t>(n));
    ViewFrameHeader h{};
    h.magic = kViewFrameMagic;
    h.header_size = sizeof h;
    h.frame_idx = info.frame_idx;
    h.format = info.frame_format;
    h.width = decoded ? static_cast<uint16_t>(info.width) : 0;
    h.height = decoded ? static_cast<uint16_t>(info.height) : 0;
    h.temp_sensor = raw.temp_sensor;
    h.temp_board = raw.temp_ib;
    h.arrival_ms = arrival_ms;
    h.decode_us = decode_us;
    std::memcpy(msg->data(), &h, sizeof h);
    auto *px = reinterpret_cast<uint8_t *>(msg->data()) + sizeof h;
    for (uint32_t i = 0; i < n; ++i) {
        // Metres to millimetres, rounded.
        const uint16_t d = clamp_u16(dist[i] * 1000.0f + 0.5f);
        const uint16_t g = clamp_u16(gray[i] + 0.5f);
        px[2 * i] = static_cast<uint8_t>(d);
        px[2 * i + 1] = static_cast<uint8_t>(d >> 8);
        px[2 * n + 2 * i] = static_cast<uint8_t>(g);
        px[2 * n + 2 * i + 1] = static_cast<uint8_t>(g >> 8);
    }
    return msg;
}

void LatestFrameSlot::publish(std::shared_ptr<std::string> msg) {
    {
        std::lock_guard lock(mutex_);
        ViewFrameHeader h{};
        std::memcpy(&h, msg->data(), sizeof h);
        h.seq = ++seq_;
        h.ready_ms = wall_ms();
        std::memcpy(msg->data(), &h, sizeof h);
        latest_ = std::move(msg);
    }
    cv_.notify_all();
}

std::shared_ptr<const std::string> LatestFrameSlot::wait_newer(uint32_t after,
                                                               std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    auto news = [&] { return latest_ && seq_ != after; };
    cv_.wait_for(lock, timeout, [&] { return news() || closed_; });
    return news() ? latest_ : nullptr;
}

void LatestFrameSlot::wake_all() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

}  // namespace lumox_cli
