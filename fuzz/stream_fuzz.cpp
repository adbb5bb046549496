// Frame stream parser fed in pieces of any size, with a checker of its counters after every
// feed and of every frame it hands out.
//
// The first input byte picks one of two streams:
//  - built: segments whose header fields, flags, lengths and data come from the input (headers get
//    a correct checksum unless the input asks to corrupt one), mixed with garbage, fetches,
//    capacity changes and resets;
//  - generated: the virtual camera's own stream of counter-pattern frames with corrupted headers,
//    corrupted data and dropped segments injected where the input says. There the checker also
//    knows what was sent: with data checksums on, every frame handed out must be byte-exact, and
//    frames sent = received + discarded + never begun (a lost start) + at most one still pending.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "lx/stream.h"
#include "vcam/stream.h"
#include "vcam/wire.h"

namespace {

namespace vcam = lumox::vcam;

#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

constexpr size_t kHeaderSize = 36;

// Counts what the harness did to the stream and checks the parser's counters against it.
class Checker {
  public:
    Checker(lx_stream *stream, uint32_t capacity)
        : stream_(stream), capacity_(capacity), bound_(capacity) {}

    void feed(const uint8_t *bytes, size_t n) {
        const bool ready = lx_stream_feed_input(stream_, bytes, static_cast<uint32_t>(n));
        fed_ += n;
        const lx_stream_state st = state();
        CHECK(ready == (st.frames_ready > 0));
        // Frames filled completely are queued, or wait for their segment's checksum.
        CHECK(st.frames_received >= st.frames_queued);
        CHECK(st.frames_ready == st.frames_queued - st.frames_overflowed - fetched_);
        // Ready frames beyond a lowered capacity go at the next refresh (with the next data).
        CHECK(st.frames_ready <= bound_);
        if (st.frames_ready <= capacity_) bound_ = capacity_;
        CHECK(st.frames_discarded >= last_.frames_discarded);
        CHECK(st.frames_overflowed >= last_.frames_overflowed);
        CHECK(st.bytes_dropped >= last_.bytes_dropped);
        // Everything dropped was once input.
        CHECK(st.bytes_dropped <= fed_);
        CHECK(st.reserved0 == 0 && st.reserved1 == 0);
        last_ = st;
    }

    // Takes up to k frames into a buffer of dst_len bytes and checks what came out. Returns the
    // frames taken; their raw information and bytes are appended to the out-vectors when given.
    uint32_t fetch(uint32_t k, size_t dst_len, bool peek, std::vector<lx_raw_frame_info> *infos,
                   std::vector<std::vector<uint8_t>> *frames) {
        const lx_stream_state before = state();
        std::vector<uint8_t> dst(dst_len);
        lx_raw_frame_info info{};
        const uint32_t got = lx_stream_fetch_frames(stream_, dst_len ? dst.data() : nullptr,
                                                    static_cast<int32_t>(dst_len), k, &info, peek);
        CHECK(got == std::min(k, before.frames_ready));
        const lx_stream_state after = state();
        if (!peek) {
            fetched_ += got;
            CHECK(after.frames_ready == before.frames_ready - got);
        } else {
            CHECK(after.frames_ready == before.frames_ready);
        }
        if (got > 0 && infos && frames && !peek) {
            infos->push_back(info);
            frames->push_back(std::vector<uint8_t>(
                dst.begin(), dst.begin() + std::min<size_t>(dst_len, info.frlen)));
        }
        last_ = after;
        return got;
    }

    void set_capacity(uint32_t capacity) {
        const lx_stream_cfg cfg{capacity};
        lx_stream_set_cfg(stream_, &cfg);
        capacity_ = capacity;
        bound_ = std::max(capacity, state().frames_ready);
    }

    void reset() {
        lx_stream_reset(stream_);
        const lx_stream_state st = state();
        CHECK(st.frames_ready == 0 && st.frames_received == 0 && st.frames_discarded == 0 &&
              st.frames_overflowed == 0 && st.bytes_dropped == 0);
        fed_ = 0;
        fetched_ = 0;
        last_ = st;
    }

    lx_stream_state state() const {
        lx_stream_state st{};
        lx_stream_get_state(stream_, &st);
        return st;
    }

  private:
    lx_stream *stream_;
    uint32_t capacity_;
    uint32_t bound_;
    uint64_t fed_ = 0;
    uint32_t fetched_ = 0;
    lx_stream_state last_{};
};

// Feeds bytes in pieces whose sizes the input chooses.
void feed_in_pieces(FuzzedDataProvider &in, Checker &checker, const std::vector<uint8_t> &bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t piece = bytes.size() - pos;
        if (in.remaining_bytes() > 0) {
            const uint8_t choice = in.ConsumeIntegral<uint8_t>();
            if (choice < 200) piece = std::min<size_t>(piece, 1 + choice % 64);
        }
        checker.feed(bytes.data() + pos, piece);
        pos += piece;
    }
}

uint32_t sum_words(const uint8_t *data, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) {
        sum += static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
               static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
    }
    return sum;
}

void run_built(FuzzedDataProvider &in, Checker &checker) {
    uint16_t sidx = in.ConsumeIntegral<uint16_t>();
    uint16_t fridx = in.ConsumeIntegral<uint16_t>();
    uint32_t frlen = in.ConsumeIntegralInRange<uint32_t>(1, 512);
    while (in.remaining_bytes() > 0) {
        std::vector<uint8_t> bytes;
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1:
            case 2:
            case 3: {  // one segment
                const uint8_t flags = in.ConsumeIntegral<uint8_t>();
                vcam::SegmentHeader h;
                if (flags & 0x01) sidx = in.ConsumeIntegral<uint16_t>();
                if (flags & 0x02) fridx = in.ConsumeIntegral<uint16_t>();
                if (flags & 0x04) frlen = in.ConsumeIntegralInRange<uint32_t>(0, 0x1000);
                h.sidx = sidx++;
                h.fridx = fridx;
                h.frlen = frlen;
                h.frame_start = flags & 0x08;
                h.checksum_valid = flags & 0x10;
                h.frfmt = (flags & 0x20) ? in.ConsumeIntegral<uint16_t>() : vcam::kFormatRawDcs;
                const uint32_t multiple = in.ConsumeIntegralInRange<uint32_t>(0, 3);
                h.len = multiple ? frlen * multiple
                                 : in.ConsumeIntegralInRange<uint32_t>(0, 2 * frlen + 8);
                if (flags & 0x40) h.len = in.ConsumeIntegral<uint32_t>() & 0x1FFFFF;
                std::vector<uint8_t> data =
                    in.ConsumeBytes<uint8_t>(std::min<uint32_t>(h.len, 4096));
                data.resize(std::min<uint32_t>(h.len, 4096), 0x5A);
                h.data_checksum = sum_words(data.data(), data.size());
                if (flags & 0x80) h.data_checksum ^= in.ConsumeIntegral<uint32_t>();
                h.width = in.ConsumeIntegral<uint16_t>();
                h.height = in.ConsumeIntegral<uint16_t>();
                bytes.resize(kHeaderSize);
                vcam::encode_header(h, bytes.data());
                if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
                    bytes[in.ConsumeIntegralInRange<size_t>(0, kHeaderSize - 1)] ^=
                        in.ConsumeIntegralInRange<uint8_t>(1, 255);
                }
                // A segment may end early (its rest arriving never, or as another segment).
                const size_t cut = (in.ConsumeIntegralInRange<int>(0, 7) == 0)
                                       ? in.ConsumeIntegralInRange<size_t>(0, data.size())
                                       : data.size();
                bytes.insert(bytes.end(), data.begin(), data.begin() + cut);
                if (h.frame_start || multiple)
                    fridx = static_cast<uint16_t>(fridx + std::max(1u, multiple));
                break;
            }
            case 4: {  // garbage, possibly with a lone magic
                bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
                if (in.ConsumeBool()) bytes.push_back(0xFB);
                if (in.ConsumeBool()) bytes.push_back(0x98);
                break;
            }
            case 5:
            case 6: {
                const uint32_t k = in.ConsumeIntegralInRange<uint32_t>(0, 4);
                const size_t len = in.ConsumeIntegralInRange<size_t>(0, 3 * 0x1000);
                checker.fetch(k, len, in.ConsumeBool(), nullptr, nullptr);
                continue;
            }
            case 7:
                checker.set_capacity(in.ConsumeIntegralInRange<uint32_t>(0, 6));
                continue;
            case 8:
                if (in.ConsumeIntegralInRange<int>(0, 7) == 0) checker.reset();
                continue;
            default:
                break;
        }
        feed_in_pieces(in, checker, bytes);
    }
}

void run_generated(FuzzedDataProvider &in, Checker &checker) {
    vcam::StreamGenerator gen;
    vcam::StreamConfig cfg;
    cfg.width = in.ConsumeIntegralInRange<uint16_t>(1, 12);
    cfg.height = in.ConsumeIntegralInRange<uint16_t>(1, 6);
    cfg.frames_per_segment = in.ConsumeIntegralInRange<uint16_t>(1, 3);
    cfg.segment_size = 4 * in.ConsumeIntegralInRange<uint32_t>(1, 64);
    cfg.data_checksum = in.ConsumeBool();
    gen.set_config(cfg);
    gen.restart();
    const size_t frame_bytes = 8u * cfg.width * cfg.height;

    uint32_t sent = 0;
    uint32_t faults = 0;
    bool data_faults = false;
    std::vector<lx_raw_frame_info> infos;
    std::vector<std::vector<uint8_t>> frames;
    while (in.remaining_bytes() > 0 && sent < 2000) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>();
        if (op < 24) {
            const auto fault = static_cast<vcam::StreamFault>(op % 3);
            gen.add_fault(fault, 1);
            ++faults;
            data_faults |= fault == vcam::StreamFault::kCorruptData;
        } else if (op < 48) {
            for (uint32_t k = in.ConsumeIntegralInRange<uint32_t>(1, 3); k > 0; --k)
                checker.fetch(1, frame_bytes, false, &infos, &frames);
            continue;
        }
        sent += gen.generate();
        std::vector<uint8_t> bytes(gen.buffered());
        if (!bytes.empty()) gen.read(bytes);
        feed_in_pieces(in, checker, bytes);
    }
    while (checker.fetch(1, frame_bytes, false, &infos, &frames) > 0) {
    }

    const lx_stream_state st = checker.state();
    // A frame completed and then discarded with its segment (failed checksum) is counted as
    // received and as discarded; every other frame begun counts once.
    CHECK(st.frames_received <= sent);
    CHECK(st.frames_queued + st.frames_discarded <= sent);
    // Each fault loses the frames of at most two units; the rest all arrive.
    const uint32_t lost_bound = faults * 2u * cfg.frames_per_segment;
    CHECK(st.frames_queued + st.frames_discarded + lost_bound + 1 >= sent);
    if (faults == 0) {
        CHECK(st.frames_received == sent && st.frames_discarded == 0 && st.bytes_dropped == 0);
    }
    CHECK(frames.size() == st.frames_queued - st.frames_overflowed);

    // Frames come out in order, each with the geometry and length the camera sent.
    const bool exact = cfg.data_checksum || !data_faults;
    std::vector<uint8_t> expected(frame_bytes);
    for (size_t i = 0; i < frames.size(); ++i) {
        const lx_raw_frame_info &info = infos[i];
        CHECK(info.frlen == frame_bytes && frames[i].size() == frame_bytes);
        const uint16_t index = info.fridx;
        CHECK(info.frfmt == vcam::kFormatRawDcs);
        CHECK(info.width == cfg.width && info.height == cfg.height);
        if (i > 0) CHECK(static_cast<uint16_t>(index - infos[i - 1].fridx) >= 1);
        if (exact) {
            vcam::render_pattern(index, expected);
            CHECK(frames[i] == expected);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (lumox::fuzz::route_logs_to_null(), true);
    (void)quiet;
    FuzzedDataProvider in(data, size);
    const bool generated = in.ConsumeBool();
    const uint32_t capacity = generated ? 100000 : in.ConsumeIntegralInRange<uint32_t>(0, 6);
    const lx_stream_cfg cfg{capacity};
    lx_stream *stream = lx_stream_create(&cfg);
    CHECK(stream);
    {
        Checker checker(stream, capacity);
        if (generated) {
            run_generated(in, checker);
        } else {
            run_built(in, checker);
        }
    }
    lx_stream_destroy(stream);
    return 0;
}
