#include "lx/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/hooks.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// ---- An independent writer of the camera's segment format ----------------------------------

struct Seg {
    uint16_t sidx = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    bool start = true;
    bool checked = false;  // carries a data checksum
    uint16_t frfmt = 2;
    uint16_t width = 320;
    uint16_t height = 240;
    int16_t temp_sensor = 412;
    int16_t temp_ib = -35;
    uint32_t spare = 0xA5A5F00Du;
};

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Fletcher-16 of the first 34 bytes, from its definition.
uint16_t fletcher16(const uint8_t *p) {
    unsigned s1 = 0, s2 = 0;
    for (int i = 0; i < 34; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 + 256 * s2);
}

// Sum modulo 2^32 of the data's whole little-endian 32-bit words.
uint32_t data_sum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) {
        sum += static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
               static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    }
    return sum;
}

// Header with a correct checksum; len overrides the data length written into it.
Bytes header(const Seg &s, uint32_t len) {
    Bytes h(36, 0);
    h[0] = 0xFB;
    h[1] = 0x98;
    put16(&h[2], s.sidx);
    put32(&h[4], len);
    put32(&h[8], s.frlen);
    put16(&h[12], s.fridx);
    put16(&h[14], s.frfmt);
    put16(&h[16], s.width);
    put16(&h[18], s.height);
    put16(&h[20], static_cast<uint16_t>(s.temp_sensor));
    put16(&h[22], static_cast<uint16_t>(s.temp_ib));
    put32(&h[24], s.spare);
    h[32] = s.start ? 1 : 0;
    h[33] = s.checked ? 1 : 0;
    put16(&h[34], fletcher16(h.data()));
    return h;
}

Bytes segment(const Seg &s, const Bytes &data) {
    Bytes out = header(s, static_cast<uint32_t>(data.size()));
    if (s.checked) {
        put32(&out[28], data_sum(data.data(), data.size()));
        put16(&out[34], fletcher16(out.data()));
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

void append(Bytes &to, const Bytes &from) { to.insert(to.end(), from.begin(), from.end()); }

// ---- Parser access -------------------------------------------------------------------------

struct StreamDeleter {
    void operator()(lx_stream *s) const { lx_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<lx_stream, StreamDeleter>;

StreamPtr make_stream(uint32_t capacity) {
    const lx_stream_cfg cfg{capacity};
    return StreamPtr(lx_stream_create(&cfg));
}

struct Frame {
    lx_raw_frame_info info;
    Bytes bytes;
};

bool feed(lx_stream *s, const Bytes &b) {
    return lx_stream_feed_input(s, b.data(), static_cast<uint32_t>(b.size()));
}

// Takes every ready frame, one at a time.
std::vector<Frame> take_all(lx_stream *s) {
    static Bytes buf(1 << 21);
    std::vector<Frame> frames;
    lx_raw_frame_info info{};
    while (lx_stream_fetch_frames(s, buf.data(), static_cast<int32_t>(buf.size()), 1, &info,
                                  false) == 1) {
        frames.push_back({info, Bytes(buf.begin(), buf.begin() + info.frlen)});
    }
    return frames;
}

lx_stream_state state_of(lx_stream *s) {
    lx_stream_state st{};
    lx_stream_get_state(s, &st);
    return st;
}

class StreamTest : public testing::Test {
  protected:
    void SetUp() override { lx_log_disable(); }
    void TearDown() override { lx_log_disable(); }
};

// ---- Header search ---------------------------------------------------------------------------

TEST_F(StreamTest, HeaderSplitAcrossInputsIsFound) {
    const Bytes data = pattern(1000, 1);
    const Bytes seg = segment({.sidx = 7, .frlen = 1000, .fridx = 3}, data);
    for (size_t first : {size_t{1}, size_t{20}, size_t{35}}) {
        auto s = make_stream(4);
        Bytes garbage = pattern(17, 9);
        garbage.erase(std::remove(garbage.begin(), garbage.end(), 0xFB), garbage.end());
        Bytes a = garbage;
        a.insert(a.end(), seg.begin(), seg.begin() + first);
        const Bytes b(seg.begin() + first, seg.end());
        EXPECT_FALSE(feed(s.get(), a));
        EXPECT_TRUE(feed(s.get(), b)) << "split after " << first;
        const auto frames = take_all(s.get());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].bytes, data);
        EXPECT_EQ(frames[0].info.fridx, 3);
        EXPECT_EQ(state_of(s.get()).bytes_dropped, garbage.size());
    }
}

TEST_F(StreamTest, WholeStreamFedByteByByte) {
    auto s = make_stream(8);
    Bytes stream;
    Bytes d0 = pattern(300, 2), d1 = pattern(300, 3);
    append(stream, segment({.sidx = 65535, .frlen = 300, .fridx = 10, .checked = true}, d0));
    append(stream, segment({.sidx = 0, .frlen = 300, .fridx = 11, .checked = true}, d1));
    for (uint8_t byte : stream) lx_stream_feed_input(s.get(), &byte, 1);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, d0);
    EXPECT_EQ(frames[1].bytes, d1);
    EXPECT_EQ(state_of(s.get()).frames_discarded, 0u);
}

TEST_F(StreamTest, GarbageBeforeFirstHeaderIsSkippedAndCounted) {
    auto s = make_stream(4);
    Bytes in(30, 0x11);
    append(in, segment({.frlen = 64}, pattern(64, 4)));
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_TRC, nullptr);
    CaptureStdout();
    EXPECT_TRUE(feed(s.get(), in));
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("[TRC] [_sync_stream_hdr] sync hdr: skip 30 bytes\n"), std::string::npos)
        << out;
    EXPECT_EQ(state_of(s.get()).bytes_dropped, 30u);
}

// Each header below is wrong in one respect only (its checksum is recomputed where needed); it
// must not be taken, and the valid frame after it must come out untouched.
TEST_F(StreamTest, InvalidHeadersAreRejected) {
    struct Case {
        const char *what;
        int offset;
        uint32_t value;
        int width;
        bool fix_checksum;
    };
    const Case cases[] = {
        {"magic", 1, 0x99, 1, true},
        {"header checksum", 34, 0x1234, 2, false},
        {"len too large", 4, 0x100000, 4, true},
        {"frlen too large", 8, 0x8000000, 4, true},
        {"frlen zero", 8, 0, 4, true},
        {"frfmt too large", 14, 1024, 2, true},
    };
    const Bytes good_data = pattern(500, 5);
    for (const auto &c : cases) {
        auto s = make_stream(4);
        Bytes bad = segment({.sidx = 1, .frlen = 200, .fridx = 1}, pattern(200, 6));
        for (int i = 0; i < c.width; ++i)
            bad[c.offset + i] = static_cast<uint8_t>(c.value >> (8 * i));
        if (c.fix_checksum) put16(&bad[34], fletcher16(bad.data()));
        Bytes in = bad;
        append(in, segment({.sidx = 2, .frlen = 500, .fridx = 2}, good_data));
        feed(s.get(), in);
        const auto frames = take_all(s.get());
        ASSERT_EQ(frames.size(), 1u) << c.what;
        EXPECT_EQ(frames[0].info.fridx, 2) << c.what;
        EXPECT_EQ(frames[0].bytes, good_data) << c.what;
        EXPECT_EQ(state_of(s.get()).bytes_dropped, bad.size()) << c.what;
    }
}

// ---- Segments and frames ---------------------------------------------------------------------

TEST_F(StreamTest, FrameSpanningSegmentsAndSegmentHoldingFrames) {
    auto s = make_stream(8);
    const Bytes a = pattern(900, 7), b = pattern(3 * 128, 8);
    Bytes in;
    append(in, segment({.sidx = 1, .frlen = 900, .fridx = 65533, .start = true},
                       Bytes(a.begin(), a.begin() + 400)));
    append(in, segment({.sidx = 2, .frlen = 900, .fridx = 65533, .start = false},
                       Bytes(a.begin() + 400, a.end())));
    append(in, segment({.sidx = 3,
                        .frlen = 128,
                        .fridx = 65534,
                        .frfmt = 171,
                        .width = 8,
                        .height = 4,
                        .temp_sensor = -7,
                        .temp_ib = 250,
                        .spare = 99},
                       b));
    feed(s.get(), in);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].bytes, a);
    EXPECT_EQ(frames[0].info.fridx, 65533);
    const uint16_t expect_idx[] = {65534, 65535, 0};
    for (int i = 0; i < 3; ++i) {
        const Frame &f = frames[1 + i];
        EXPECT_EQ(f.info.fridx, expect_idx[i]);
        EXPECT_EQ(f.info.frlen, 128u);
        EXPECT_EQ(f.info.frfmt, 171);
        EXPECT_EQ(f.info.width, 8);
        EXPECT_EQ(f.info.height, 4);
        EXPECT_EQ(f.info.temp_sensor, -7);
        EXPECT_EQ(f.info.temp_ib, 250);
        EXPECT_EQ(f.info.spare, 99u);
        EXPECT_EQ(f.bytes, Bytes(b.begin() + 128 * i, b.begin() + 128 * (i + 1)));
    }
    const auto st = state_of(s.get());
    EXPECT_EQ(st.frames_received, 4u);
    EXPECT_EQ(st.frames_queued, 4u);
    EXPECT_EQ(st.frames_ready, 0u);
}

TEST_F(StreamTest, SegmentIndexJumpDiscardsFrameUntilNextStart) {
    auto s = make_stream(8);
    Bytes in;
    append(in, segment({.sidx = 10, .frlen = 300, .fridx = 4}, pattern(100, 1)));
    // sidx 11 is lost
    append(in, segment({.sidx = 12, .frlen = 300, .fridx = 4, .start = false}, pattern(100, 2)));
    append(in, segment({.sidx = 13, .frlen = 300, .fridx = 4, .start = false}, pattern(100, 3)));
    const Bytes next = pattern(300, 4);
    append(in, segment({.sidx = 14, .frlen = 300, .fridx = 5}, next));
    feed(s.get(), in);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.fridx, 5);
    EXPECT_EQ(frames[0].bytes, next);
    const auto st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_dropped, 300u);  // 100 stored and discarded, 200 skipped
}

TEST_F(StreamTest, FrameIndexChangeWithoutStartDiscardsFrame) {
    auto s = make_stream(8);
    Bytes in;
    append(in, segment({.sidx = 1, .frlen = 200, .fridx = 4}, pattern(100, 1)));
    append(in, segment({.sidx = 2, .frlen = 200, .fridx = 9, .start = false}, pattern(100, 2)));
    append(in, segment({.sidx = 3, .frlen = 200, .fridx = 10}, pattern(200, 3)));
    feed(s.get(), in);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.fridx, 10);
    // Frame 4 is discarded at the index change, and the orphaned tail of frame 9 at the next
    // frame start.
    EXPECT_EQ(state_of(s.get()).frames_discarded, 2u);
}

TEST_F(StreamTest, ReadyListKeepsNewestFramesWithinCapacity) {
    auto s = make_stream(2);
    Bytes in;
    for (uint16_t i = 0; i < 5; ++i) {
        append(in, segment({.sidx = i, .frlen = 100, .fridx = i}, pattern(100, i)));
    }
    EXPECT_TRUE(feed(s.get(), in));
    auto st = state_of(s.get());
    EXPECT_EQ(st.frames_ready, 2u);
    EXPECT_EQ(st.frames_overflowed, 3u);
    EXPECT_EQ(st.frames_queued, 5u);
    EXPECT_EQ(st.bytes_dropped, 300u);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].info.fridx, 3);
    EXPECT_EQ(frames[1].info.fridx, 4);
    EXPECT_EQ(frames[1].bytes, pattern(100, 4));
}

// ---- Data checksum ---------------------------------------------------------------------------

TEST_F(StreamTest, CorruptedDataWordDiscardsFrame) {
    auto s = make_stream(8);
    Bytes bad = segment({.sidx = 1, .frlen = 400, .fridx = 1, .checked = true}, pattern(400, 1));
    bad[36 + 123] ^= 0x40;
    Bytes in = bad;
    const Bytes good = pattern(400, 2);
    append(in, segment({.sidx = 2, .frlen = 400, .fridx = 2, .checked = true}, good));
    feed(s.get(), in);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, good);
    const auto st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_dropped, 400u);
}

// A checked segment arriving in pieces that split its words still verifies.
TEST_F(StreamTest, DataChecksumDoesNotDependOnInputBoundaries) {
    auto s = make_stream(8);
    const Bytes data = pattern(1001, 3);
    const Bytes seg = segment({.frlen = 1001, .checked = true}, data);
    size_t at = 0;
    for (size_t piece : {37, 3, 5, 1, 2, 100, 7}) {
        lx_stream_feed_input(s.get(), seg.data() + at, static_cast<uint32_t>(piece));
        at += piece;
    }
    feed(s.get(), Bytes(seg.begin() + at, seg.end()));
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, data);
}

// Frames cut from a segment whose checksum fails are never handed out, not even those that
// were complete before the end of the segment arrived.
TEST_F(StreamTest, FailedChecksumDiscardsEveryFrameOfItsSegment) {
    auto s = make_stream(8);
    Bytes bad = segment({.sidx = 1, .frlen = 100, .fridx = 20, .checked = true}, pattern(300, 1));
    bad[36 + 10] ^= 1;  // in the first frame
    EXPECT_FALSE(feed(s.get(), Bytes(bad.begin(), bad.begin() + 36 + 250)));
    feed(s.get(), Bytes(bad.begin() + 36 + 250, bad.end()));
    EXPECT_EQ(take_all(s.get()).size(), 0u);
    const auto st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 3u);
    EXPECT_EQ(st.frames_received, 3u);
    EXPECT_EQ(st.frames_queued, 0u);
}

// ---- Fetching --------------------------------------------------------------------------------

TEST_F(StreamTest, FetchCopiesSideBySideAndCutsWhatDoesNotFit) {
    auto s = make_stream(8);
    Bytes in;
    for (uint16_t i = 0; i < 3; ++i) {
        append(in, segment({.sidx = i, .frlen = 100, .fridx = i}, pattern(100, 10 + i)));
    }
    feed(s.get(), in);

    // Peek without a destination: a count and nothing else changes.
    EXPECT_EQ(lx_stream_fetch_frames(s.get(), nullptr, 0, 10, nullptr, true), 3u);
    EXPECT_EQ(state_of(s.get()).frames_ready, 3u);

    // Peek with a destination copies without removing.
    Bytes buf(250, 0);
    lx_raw_frame_info info{};
    EXPECT_EQ(lx_stream_fetch_frames(s.get(), buf.data(), 250, 2, &info, true), 2u);
    EXPECT_EQ(info.fridx, 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 100), pattern(100, 10));
    EXPECT_EQ(state_of(s.get()).frames_ready, 3u);

    // Take three into 250 bytes: two whole frames and half of the third; all three leave.
    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(lx_stream_fetch_frames(s.get(), buf.data(), 250, 5, &info, false), 3u);
    EXPECT_EQ(Bytes(buf.begin() + 100, buf.begin() + 200), pattern(100, 11));
    const Bytes third = pattern(100, 12);
    EXPECT_EQ(Bytes(buf.begin() + 200, buf.end()), Bytes(third.begin(), third.begin() + 50));
    EXPECT_EQ(state_of(s.get()).frames_ready, 0u);
    EXPECT_EQ(lx_stream_fetch_frames(s.get(), buf.data(), 250, 1, &info, false), 0u);
}

TEST_F(StreamTest, ResetDropsFramesAndCounters) {
    auto s = make_stream(8);
    const lx_timeval before = state_of(s.get()).reset_time;
    Bytes in(10, 0x22);
    append(in, segment({.sidx = 1, .frlen = 100, .fridx = 1}, pattern(100, 1)));
    append(in, segment({.sidx = 2, .frlen = 100, .fridx = 2}, pattern(50, 2)));  // pending
    feed(s.get(), in);
    lx_stream_reset(s.get());
    auto st = state_of(s.get());
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.frames_received, 0u);
    EXPECT_EQ(st.bytes_dropped, 0u);
    EXPECT_GE(st.reset_time.tv_sec, before.tv_sec);
    EXPECT_EQ(lx_stream_fetch_frames(s.get(), nullptr, 0, 1, nullptr, true), 0u);

    // The half frame from before the reset does not swallow the next frame's data.
    const Bytes next = pattern(100, 3);
    feed(s.get(), segment({.sidx = 9, .frlen = 100, .fridx = 9}, next));
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, next);
    EXPECT_EQ(state_of(s.get()).frames_discarded, 0u);
}

TEST_F(StreamTest, FailedFrameAllocationDropsThatFrameOnly) {
    auto s = make_stream(8);
    const auto prev = lumox::set_frame_alloc([](size_t) -> void * { return nullptr; });
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
    CaptureStdout();
    feed(s.get(), segment({.sidx = 1, .frlen = 200, .fridx = 1}, pattern(120, 1)));
    const std::string out = GetCapturedStdout();
    lumox::set_frame_alloc(prev);
    EXPECT_NE(out.find("[_fr_node_add_data] malloc failed: 236 bytes\n"), std::string::npos) << out;

    Bytes in = segment({.sidx = 2, .frlen = 200, .fridx = 1, .start = false}, pattern(80, 2));
    const Bytes next = pattern(200, 3);
    append(in, segment({.sidx = 3, .frlen = 200, .fridx = 2}, next));
    feed(s.get(), in);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, next);
    const auto st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_dropped, 200u);
}

std::atomic<int> g_allocations{0};

// Once running, a stream reuses its frame buffers: feeding and fetching allocate nothing.
TEST_F(StreamTest, SteadyStreamReusesFrameBuffers) {
    auto s = make_stream(2);
    Bytes in;
    for (uint16_t i = 0; i < 4; ++i) {
        append(in, segment({.sidx = i, .frlen = 5000, .fridx = i}, pattern(5000, i)));
    }
    const auto prev = lumox::set_frame_alloc([](size_t n) {
        ++g_allocations;
        return std::malloc(n);
    });
    feed(s.get(), in);  // warm-up: the buffers come into being
    const int warm = g_allocations.load();
    for (int round = 0; round < 20; ++round) {
        for (size_t at = 0; at < in.size(); at += 1500) {
            const size_t n = std::min<size_t>(1500, in.size() - at);
            lx_stream_feed_input(s.get(), in.data() + at, static_cast<uint32_t>(n));
        }
        if (round % 2) take_all(s.get());
    }
    lumox::set_frame_alloc(prev);
    EXPECT_EQ(g_allocations.load(), warm);
    EXPECT_GT(state_of(s.get()).frames_overflowed, 0u);
}

// One thread feeds while another takes frames as they become ready (run under TSan too).
TEST_F(StreamTest, FeedingAndFetchingThreadsSeeEveryFrameInOrder) {
    constexpr uint16_t kFrames = 400;
    auto s = make_stream(kFrames);
    Bytes in;
    for (uint16_t i = 0; i < kFrames; ++i) {
        append(in, segment({.sidx = i, .frlen = 1000, .fridx = i}, pattern(1000, i)));
    }
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t at = 0; at < in.size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, in.size() - at);
            lx_stream_feed_input(s.get(), in.data() + at, static_cast<uint32_t>(n));
        }
        done = true;
    });
    std::vector<Frame> got;
    while (got.size() < kFrames) {
        const bool finished = done.load();
        auto frames = take_all(s.get());
        got.insert(got.end(), frames.begin(), frames.end());
        lx_stream_state st{};
        lx_stream_get_state(s.get(), &st);
        if (finished && frames.empty()) break;
    }
    feeder.join();
    ASSERT_EQ(got.size(), kFrames);
    for (uint16_t i = 0; i < kFrames; ++i) {
        ASSERT_EQ(got[i].info.fridx, i);
        ASSERT_EQ(got[i].bytes, pattern(1000, i));
    }
}

// ---- Property: random streams with injected faults ------------------------------------------

enum class Fault { none, garbage, bad_header, bad_data, lost };

struct Expected {
    std::vector<Frame> frames;
    uint32_t discarded = 0;
    uint32_t received = 0;
    uint64_t valid_headers = 0;
};

// Builds a stream of frame groups. A group is one frame in one segment, one frame in several
// segments, or several equal frames in one segment. Faults hit groups whose neighbours are clean.
Bytes build_stream(std::mt19937 &rng, int groups, Expected &exp) {
    auto uni = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    Bytes out;
    uint16_t sidx = static_cast<uint16_t>(uni(0, 65535));
    uint16_t fridx = static_cast<uint16_t>(uni(0, 65535));
    bool prev_faulty = false;
    for (int g = 0; g < groups; ++g) {
        const uint32_t kind = uni(0, 2);  // 0 single, 1 split, 2 several frames
        const uint32_t nframes = kind == 2 ? uni(2, 4) : 1;
        const uint32_t frlen = kind == 1 ? uni(8, 30000) : uni(1, 30000);
        Fault fault = Fault::none;
        if (!prev_faulty && g > 0 && g < groups - 1 && uni(0, 2) == 0) {
            fault = static_cast<Fault>(uni(1, 4));
        } else if (g == 0 && uni(0, 1)) {
            fault = Fault::garbage;
        }

        std::vector<Frame> frames;
        Bytes all;
        for (uint32_t i = 0; i < nframes; ++i) {
            Frame f;
            f.bytes = pattern(frlen, rng());
            f.info = {frlen, static_cast<uint16_t>(fridx + i), 2, 320, 240, 412, -35, 0xA5A5F00Du};
            append(all, f.bytes);
            frames.push_back(std::move(f));
        }

        // Cut the group's data into segments.
        std::vector<uint32_t> cuts = {0, static_cast<uint32_t>(all.size())};
        if (kind == 1) {
            const uint32_t k = uni(2, 5);
            while (cuts.size() < k + 1) {
                const uint32_t c = uni(1, frlen - 1);
                if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) cuts.push_back(c);
            }
            std::sort(cuts.begin(), cuts.end());
        }
        const size_t nsegs = cuts.size() - 1;
        const size_t hit =
            fault == Fault::bad_header && kind == 1 ? uni(1, nsegs - 1) : uni(0, nsegs - 1);
        if (fault == Fault::garbage) {
            Bytes junk = pattern(uni(1, 300), rng());
            for (int i = 0; i < 3; ++i) {  // false header starts among the junk
                const size_t at = uni(0, static_cast<uint32_t>(junk.size() - 1));
                junk[at] = 0xFB;
                if (at + 1 < junk.size()) junk[at + 1] = 0x98;
            }
            append(out, junk);
        }
        for (size_t j = 0; j < nsegs; ++j) {
            Seg seg{.sidx = sidx++,
                    .frlen = frlen,
                    .fridx = fridx,
                    .start = j == 0,
                    .checked = uni(0, 1) == 1};
            if (fault == Fault::bad_data && j == hit) seg.checked = true;
            Bytes data(all.begin() + cuts[j], all.begin() + cuts[j + 1]);
            Bytes bytes = segment(seg, data);
            if (j == hit && fault == Fault::lost) continue;
            if (j == hit && fault == Fault::bad_header) {
                bytes[34] ^= 0x5A;
            } else {
                ++exp.valid_headers;
            }
            if (j == hit && fault == Fault::bad_data) {
                if (data.size() < 4) {  // no whole word to corrupt: spoil the sum instead
                    bytes[28] ^= 1;
                    put16(&bytes[34], fletcher16(bytes.data()));
                } else {
                    bytes[36 + uni(0, static_cast<uint32_t>(data.size() / 4 * 4 - 1))] ^= 0x10;
                }
            }
            append(out, bytes);
        }

        // What comes out of the group.
        if (fault == Fault::none || fault == Fault::garbage) {
            for (auto &f : frames) exp.frames.push_back(std::move(f));
            exp.received += nframes;
        } else if (kind == 1) {
            exp.discarded += 1;  // the incomplete frame, whichever way its loss shows
            if (fault == Fault::bad_data && hit == nsegs - 1) exp.received += 1;
        } else if (fault == Fault::bad_data) {
            exp.discarded += nframes;  // the frames of the failed segment
            exp.received += nframes;
        }
        fridx = static_cast<uint16_t>(fridx + nframes);
        prev_faulty = fault != Fault::none && fault != Fault::garbage;
    }
    return out;
}

void check_stream(const Bytes &stream, const Expected &exp, std::mt19937 &rng, bool small) {
    auto s = make_stream(100000);
    std::vector<Frame> got;
    size_t at = 0;
    while (at < stream.size()) {
        const uint32_t limit = small || rng() % 3 == 0 ? 64 : 200000;
        const size_t n = std::min<size_t>(stream.size() - at, 1 + rng() % limit);
        lx_stream_feed_input(s.get(), stream.data() + at, static_cast<uint32_t>(n));
        at += n;
        if (rng() % 4 == 0) {
            auto frames = take_all(s.get());
            got.insert(got.end(), frames.begin(), frames.end());
        }
    }
    auto frames = take_all(s.get());
    got.insert(got.end(), frames.begin(), frames.end());

    ASSERT_EQ(got.size(), exp.frames.size());
    uint64_t delivered = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        const auto &a = got[i].info, &b = exp.frames[i].info;
        ASSERT_EQ(a.fridx, b.fridx) << "frame " << i;
        ASSERT_EQ(a.frlen, b.frlen) << "frame " << i;
        ASSERT_EQ(0, std::memcmp(&a, &b, sizeof a)) << "frame " << i;
        ASSERT_EQ(got[i].bytes, exp.frames[i].bytes) << "frame " << i;
        delivered += got[i].bytes.size();
    }
    const auto st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, exp.discarded);
    EXPECT_EQ(st.frames_received, exp.received);
    EXPECT_EQ(st.frames_queued, exp.frames.size());
    EXPECT_EQ(st.frames_overflowed, 0u);
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.bytes_dropped, stream.size() - 36 * exp.valid_headers - delivered);
}

TEST_F(StreamTest, RandomStreamsWithFaultsComeOutExactly) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        Expected exp;
        const Bytes stream = build_stream(rng, 80, exp);
        check_stream(stream, exp, rng, false);
        if (seed <= 2) check_stream(stream, exp, rng, true);
    }
}

}  // namespace
