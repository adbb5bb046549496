#include "capture_loop.h"

#include <csignal>
#include <cstdio>

#include "command.h"

namespace lumox_cli {

namespace {

volatile std::sig_atomic_t g_stop_requested = 0;
struct sigaction g_old_int;
struct sigaction g_old_term;

void on_stop_signal(int) { g_stop_requested = 1; }

}  // namespace

StopOnSignal::StopOnSignal() {
    g_stop_requested = 0;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &g_old_int);
    sigaction(SIGTERM, &sa, &g_old_term);
}

StopOnSignal::~StopOnSignal() {
    sigaction(SIGINT, &g_old_int, nullptr);
    sigaction(SIGTERM, &g_old_term, nullptr);
}

bool StopOnSignal::requested() { return g_stop_requested != 0; }

double CaptureSummary::frame_rate() const {
    if (arrivals.size() < 2 || received.size() != arrivals.size()) return -1.0;
    // The first frame comes late by the start-up latency of the stream; with three frames or
    // more the measurement starts at the second.
    const size_t from = arrivals.size() >= 3 ? 1 : 0;
    const double seconds = std::chrono::duration<double>(arrivals.back() - arrivals[from]).count();
    const uint32_t count = received.back() - received[from];
    return seconds > 0 && count > 0 ? count / seconds : -1.0;
}

CaptureSummary run_capture(lumox_dev_t *dev, const CaptureSettings &settings,
                           const FrameSink &sink) {
    CaptureSummary summary;
    if (!lumox_cap_set_frame_buffer(dev, nullptr,
                                    settings.buffered_frames * LUMOX_FRAME_BUF_UNIT) ||
        !lumox_cap_start(dev)) {
        fail("the camera did not start streaming");
        summary.failed = true;
        return summary;
    }
    std::vector<uint8_t> buf(settings.buffer_bytes);
    uint32_t silent = 0;  // polls in a row without a frame
    while (summary.frames < settings.frames) {
        if (settings.stop && settings.stop()) {
            summary.stopped = true;
            break;
        }
        lumox_frame_info info{};
        const int32_t r =
            lumox_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), &info);
        if (r < 0) {
            fail("capture ended: %s (%d)",
                 r == LUMOX_CAP_NOT_CAPTURING ? "not capturing" : lumox_error_name(r), r);
            summary.failed = true;
            break;
        }
        if (r == 0) {
            if (++silent < settings.silent_polls) continue;
            fail("no frame within the time-out");
            summary.failed = true;
            break;
        }
        silent = 0;
        CapturedFrame frame{
            summary.frames,
            info,
            buf.data(),
            info.frame_size < buf.size() ? info.frame_size : static_cast<uint32_t>(buf.size()),
            std::chrono::steady_clock::now(),
            std::chrono::system_clock::now()};
        lumox_cap_stats now{};
        lumox_cap_get_stats(dev, &now);
        // The rate needs the first two frames and the latest: keep three samples at most.
        if (summary.arrivals.size() == 3) {
            summary.arrivals.pop_back();
            summary.received.pop_back();
        }
        summary.arrivals.push_back(frame.arrival);
        summary.received.push_back(now.frames_received);
        if (info.frame_size > buf.size())
            fail("frame %u cut to %zu bytes", info.frame_idx, buf.size());
        if (!sink(frame)) {
            summary.failed = true;
            summary.refused = true;
            break;
        }
        ++summary.frames;
    }
    lumox_cap_get_stats(dev, &summary.stats);
    lumox_cap_stop(dev);
    return summary;
}

void print_capture_summary(const CaptureSummary &s) {
    std::printf("frames captured    %ld\n", s.frames);
    std::printf("stream: received %u, queued %u, discarded %u, overflowed %u, bytes dropped %u\n",
                s.stats.frames_received, s.stats.frames_queued, s.stats.frames_discarded,
                s.stats.frames_overflowed, s.stats.bytes_dropped);
    const double rate = s.frame_rate();
    if (rate > 0) {
        std::printf("frame rate         %.2f frames/s\n", rate);
    } else {
        std::printf("frame rate         - (fewer than two frames)\n");
    }
}

}  // namespace lumox_cli
