// Soak: a long capture from a virtual camera streaming as fast as the host reads, with faults
// injected at a low, random rate (corrupted headers and data, dropped segments, stalls, empty
// transfers and a few time-outs). The frames must arrive intact, the counters must add up
// exactly, and the process's memory must stay flat.
//
// LUMOX_SOAK_FRAMES sets the number of frames (default 3000, which CI runs; the full soak is
// 100000). The camera sends small frames (32 x 24 pixels), one segment each, so that every frame
// begun is handed out, dropped for capacity, still ready, or discarded whole:
//     frames_received == delivered + frames_discarded + frames_overflowed + frames_ready.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LUMOX_SOAK_SANITIZER_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LUMOX_SOAK_SANITIZER_HEAP 1
#endif
#ifdef LUMOX_SOAK_SANITIZER_HEAP
// From the sanitizer runtime (its header is not installed with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LUMOX_SOAK_QUARANTINE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMOX_SOAK_QUARANTINE 1
#endif
#endif

#include "lumox/lumox.h"
#include "support/vcam_fixture.h"
#include "testing/hooks.h"
#include "vcam/stream.h"

namespace lumox::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kWidth = 32;
constexpr uint16_t kHeight = 24;
constexpr uint32_t kFrameBytes = 8u * kWidth * kHeight;
constexpr uint32_t kBatch = 8;

uint32_t soak_frames() {
    const char *text = std::getenv("LUMOX_SOAK_FRAMES");
    const long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<uint32_t>(n) : 3000;
}

// Resident memory of this process in KiB.
long resident_kib() {
    long pages = 0;
    long resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Bytes the heap holds in live allocations (what the sanitizer's allocator or malloc reports).
size_t heap_in_use() {
#ifdef LUMOX_SOAK_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// True when the frame holds the camera's counter pattern for some frame index: the index is
// taken from the first sample and every sample must follow it.
bool intact(const uint8_t *frame) {
    const uint16_t base = static_cast<uint16_t>(frame[0] | frame[1] << 8);
    for (uint32_t i = 0; i < kFrameBytes / 2; ++i) {
        const uint16_t sample = static_cast<uint16_t>(frame[2 * i] | frame[2 * i + 1] << 8);
        if (sample != ((base + i) & 0x0FFFu)) return false;
    }
    return true;
}

std::atomic<uint32_t> g_discard_reports{0};

uint8_t keep_going(lumox_dev_t *, int32_t error, uint32_t) {
    if (error == LUMOX_ERR_CAP_FRAME_DISCARD) ++g_discard_reports;
    return 1;
}

class Soak : public VcamTest {
  protected:
    Soak() {
        vcam::CameraConfig &cam = options_.cameras[0].camera;
        cam.paced = false;
        cam.stream.width = kWidth;
        cam.stream.height = kHeight;
        cam.stream.segment_size = kFrameBytes;
    }

    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
        saved_ = ll::usb_timeouts();
        ll::UsbTimeouts t = saved_;
        t.bulk_ms = 300;  // a hung transfer costs this much
        ll::set_usb_timeouts(t);
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 64 * LUMOX_FRAME_BUF_UNIT));
        lumox_cap_set_callback_on_error(&dev_, keep_going);
    }

    void TearDown() override {
        lumox_dev_close(&dev_);
        ll::set_usb_timeouts(saved_);
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }

    lumox_dev_t dev_{};
    ll::UsbTimeouts saved_;
};

TEST_F(Soak, ManyFramesWithRandomFaultsAddUpExactlyInFlatMemory) {
    const uint32_t target = soak_frames();
    std::mt19937 rng(20261208);
    std::vector<uint8_t> buf(kBatch * kFrameBytes);
    uint64_t delivered = 0;
    uint64_t broken = 0;
    uint32_t stream_faults = 0;
    uint32_t hangs = 0;
    long rss_warm = 0;
    size_t heap_warm = 0;
    g_discard_reports = 0;

    ASSERT_TRUE(lumox_cap_start(&dev_));
    const auto start = Clock::now();
    while (delivered < target) {
        const int32_t got = lumox_cap_get_frames(&dev_, kBatch, buf.data(),
                                                 static_cast<uint32_t>(buf.size()), nullptr);
        ASSERT_GE(got, 0) << lumox_error_name(got) << " after " << delivered << " frames";
        for (int32_t i = 0; i < got; ++i) {
            if (!intact(buf.data() + static_cast<size_t>(i) * kFrameBytes)) ++broken;
        }
        delivered += static_cast<uint64_t>(got);

        // About one fault per 200 frames delivered; time-outs stay far below the capture's
        // limit of 32.
        if (rng() % 25 == 0) {
            switch (rng() % 6) {
                case 0:
                    camera().fault_stream(vcam::StreamFault::kCorruptHeader, 1);
                    ++stream_faults;
                    break;
                case 1:
                    camera().fault_stream(vcam::StreamFault::kCorruptData, 1);
                    ++stream_faults;
                    break;
                case 2:
                    camera().fault_stream(vcam::StreamFault::kDropSegment, 1);
                    ++stream_faults;
                    break;
                case 3:
                    camera().fault_bulk(vcam::BulkAction::kStall, 1 + rng() % 4);
                    break;
                case 4:
                    camera().fault_bulk(vcam::BulkAction::kEmpty, 1 + rng() % 4);
                    break;
                default:
                    if (hangs < 16) {
                        camera().fault_bulk(vcam::BulkAction::kHang, 1);
                        ++hangs;
                    }
                    break;
            }
        }
        if (rss_warm == 0 && delivered >= target / 5) {
            rss_warm = resident_kib();
            heap_warm = heap_in_use();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rss_end = resident_kib();
    const size_t heap_end = heap_in_use();
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    // Completions that were already on their way are handled before the counters are read.
    ASSERT_TRUE(wait_until([&] { return usb_stats().urbs_pending == 0; }));

    lumox_cap_stats s{};
    ASSERT_TRUE(lumox_cap_get_stats(&dev_, &s));
    std::printf(
        "soak: %llu frames delivered in %.1f s; received %u, discarded %u, overflowed %u, "
        "ready %u; %u stream faults, %u hangs; resident %ld KiB -> %ld KiB, heap %zu KiB -> %zu "
        "KiB\n",
        static_cast<unsigned long long>(delivered), seconds, s.frames_received, s.frames_discarded,
        s.frames_overflowed, s.frames_ready, stream_faults, hangs, rss_warm, rss_end,
        heap_warm / 1024, heap_end / 1024);

    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(s.frames_received,
              delivered + s.frames_discarded + s.frames_overflowed + s.frames_ready);
    // Only a corrupted data word discards a frame here, one frame per fault at most.
    EXPECT_LE(s.frames_discarded, stream_faults);
    EXPECT_LE(g_discard_reports.load(), s.frames_discarded);
    // Nothing accumulates per frame: the live heap does not grow with the frame count.
    EXPECT_LT(heap_end, heap_warm + 4 * 1024 * 1024) << "the heap grew";
#ifndef LUMOX_SOAK_QUARANTINE
    // AddressSanitizer keeps freed blocks in quarantine (libusb allocates per submission), so
    // resident memory is compared only without it.
    EXPECT_LT(rss_end - rss_warm, 16 * 1024) << "resident memory grew";
#endif
}

}  // namespace
}  // namespace lumox::test
