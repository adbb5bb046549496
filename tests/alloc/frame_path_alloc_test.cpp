// Heap allocations on the frame path in steady state: the stream parser cutting frames out of
// the transport's bytes, the delivery to the frame-ready callback and the decode of each frame
// to distances, gray values and points, over the fake transport. Its own executable, because it
// replaces the global operator new to count.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "api/fake_transport.h"
#include "lumox/device.h"
#include "lumox/frame.h"
#include "lumox/stream.h"
#include "lx/stream.h"
#include "testing/hooks.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocations{0};

void *counted(size_t bytes) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    return std::malloc(bytes ? bytes : 1);
}

// Out of line, so that the compiler does not see free() meet memory from operator new.
[[gnu::noinline]] void release(void *p) noexcept { std::free(p); }

}  // namespace

void *operator new(size_t bytes) {
    if (void *p = counted(bytes)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t bytes) {
    if (void *p = counted(bytes)) return p;
    throw std::bad_alloc();
}
void *operator new(size_t bytes, const std::nothrow_t &) noexcept { return counted(bytes); }
void *operator new[](size_t bytes, const std::nothrow_t &) noexcept { return counted(bytes); }
void operator delete(void *p) noexcept { release(p); }
void operator delete[](void *p) noexcept { release(p); }
void operator delete(void *p, size_t) noexcept { release(p); }
void operator delete[](void *p, size_t) noexcept { release(p); }

namespace lumox::test {
namespace {

constexpr uint16_t kWidth = 320;
constexpr uint16_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;
constexpr uint32_t kFrameBytes = 8 * kPixels;
constexpr uint32_t kTransferBytes = 153600;

// What the frame-ready callback decodes into, allocated before counting.
struct Decoded {
    std::vector<float> distance = std::vector<float>(kPixels);
    std::vector<float> gray = std::vector<float>(kPixels);
    std::vector<float> xyz = std::vector<float>(3 * kPixels);
    int frames = 0;
    int decoded = 0;
} *g_decoded = nullptr;

void on_frame(lumox_dev_t *dev, lumox_frame *frame) {
    ++g_decoded->frames;
    const int32_t d = lumox_frame_get_distance(dev, g_decoded->distance.data(), kPixels,
                                               frame->data, frame->info.frame_size, &frame->info);
    const int32_t g = lumox_frame_get_gray(dev, g_decoded->gray.data(), kPixels, frame->data,
                                           frame->info.frame_size, &frame->info);
    // Points on the lens's rays: built on the first frame, reused on every later one.
    const int32_t p =
        lumox_frame_get_points(dev, g_decoded->xyz.data(), 3 * kPixels, g_decoded->distance.data(),
                               kPixels, kWidth, kHeight, LUMOX_POINTS_ORGANIZED);
    if (d == static_cast<int32_t>(kPixels) && g == static_cast<int32_t>(kPixels) &&
        p == static_cast<int32_t>(kPixels)) {
        ++g_decoded->decoded;
    }
}

// One 320 x 240 format-2 frame as one stream segment, cut into the pieces the transport's bulk
// transfers deliver.
std::vector<std::vector<uint8_t>> frame_transfers(uint16_t index, uint32_t seed) {
    lx_stream_hdr hdr{};
    hdr.magic[0] = LX_STREAM_MAGIC0;
    hdr.magic[1] = LX_STREAM_MAGIC1;
    hdr.sidx = index;
    hdr.len = kFrameBytes;
    hdr.frlen = kFrameBytes;
    hdr.fridx = index;
    hdr.frfmt = 2;
    hdr.width = kWidth;
    hdr.height = kHeight;
    hdr.temp_sensor = 412;
    hdr.temp_ib = 385;
    hdr.fr_flags = LX_STREAM_FR_START;
    std::vector<uint8_t> bytes(LX_STREAM_HDR_SIZE + kFrameBytes);
    std::memcpy(bytes.data(), &hdr, LX_STREAM_HDR_SIZE);
    unsigned sum1 = 0, sum2 = 0;
    for (int i = 0; i < 34; ++i) {
        sum1 = (sum1 + bytes[i]) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    bytes[34] = static_cast<uint8_t>(sum1);
    bytes[35] = static_cast<uint8_t>(sum2);
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < kFrameBytes / 2; ++i) {
        const auto v = static_cast<uint16_t>(1500 + rng() % 1000);
        bytes[LX_STREAM_HDR_SIZE + 2 * i] = static_cast<uint8_t>(v);
        bytes[LX_STREAM_HDR_SIZE + 2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    std::vector<std::vector<uint8_t>> pieces;
    for (size_t at = 0; at < bytes.size(); at += kTransferBytes) {
        const size_t end = std::min(bytes.size(), at + kTransferBytes);
        pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return pieces;
}

class FramePathAllocations : public FakeTransportTest {
  protected:
    void SetUp() override {
        FakeTransportTest::SetUp();
        ASSERT_NE(open_device(), nullptr);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT));
        lumox_cap_set_callback_on_frame_ready(&dev_, on_frame);
        previous_alloc_ = set_frame_alloc(counted);
    }
    void TearDown() override {
        g_counting = false;
        set_frame_alloc(previous_alloc_);
        FakeTransportTest::TearDown();
    }

    // Feeds one frame as the event thread would and polls it to the callback.
    void pass_frame(std::vector<std::vector<uint8_t>> &transfers) {
        FakeCamera &cam = fake();
        for (auto &t : transfers) {
            cam.capture_cb(cam.capture_dev, LUMOX_LL_CAP_DATA, t.data(),
                           static_cast<int32_t>(t.size()), cam.capture_user);
        }
        lumox_cap_get_frame(&dev_, nullptr, 0, nullptr);
    }

    FrameAllocFn previous_alloc_ = nullptr;
};

TEST_F(FramePathAllocations, SteadyCaptureAndDecodeAllocateNothing) {
    Decoded decoded;
    g_decoded = &decoded;
    constexpr int kWarmUp = 3;
    constexpr int kCounted = 12;
    std::vector<std::vector<std::vector<uint8_t>>> stream;
    for (int i = 0; i < kWarmUp + kCounted; ++i) {
        stream.push_back(frame_transfers(static_cast<uint16_t>(i), static_cast<uint32_t>(i)));
    }
    ASSERT_EQ(lumox_cap_start(&dev_), 1);
    for (int i = 0; i < kWarmUp; ++i) pass_frame(stream[i]);
    ASSERT_EQ(decoded.decoded, kWarmUp);

    g_allocations = 0;
    g_counting = true;
    for (int i = kWarmUp; i < kWarmUp + kCounted; ++i) pass_frame(stream[i]);
    g_counting = false;

    EXPECT_EQ(decoded.frames, kWarmUp + kCounted);
    EXPECT_EQ(decoded.decoded, kWarmUp + kCounted);
    EXPECT_EQ(g_allocations.load(), 0u) << "heap allocations in " << kCounted << " frames";
    lumox_cap_stop(&dev_);
    g_decoded = nullptr;
}

}  // namespace
}  // namespace lumox::test
