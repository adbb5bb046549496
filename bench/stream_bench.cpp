// Frame stream parser throughput: 614400-byte frames (320 x 240 x 8 bytes) arriving in
// 153600-byte bulk transfers, against plain memcpy of the same pieces into frame-sized buffers.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "lx/stream.h"

namespace {

constexpr uint32_t kFrameBytes = 614400;
constexpr uint32_t kPiece = 153600;
constexpr int kFrames = 4;  // about the 16 transfers the transport keeps in flight

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// kFrames frames, one segment each (len = frlen), optionally with the data checksum.
std::vector<uint8_t> make_stream(bool checked) {
    std::vector<uint8_t> out;
    std::mt19937 rng(7);
    for (int f = 0; f < kFrames; ++f) {
        std::vector<uint8_t> data(kFrameBytes);
        for (auto &b : data) b = static_cast<uint8_t>(rng());
        uint8_t h[36] = {0xFB, 0x98};
        put16(h + 2, static_cast<uint32_t>(f));
        put32(h + 4, kFrameBytes);
        put32(h + 8, kFrameBytes);
        put16(h + 12, static_cast<uint32_t>(f));
        put16(h + 14, 2);
        put16(h + 16, 320);
        put16(h + 18, 240);
        h[32] = 1;
        if (checked) {
            uint32_t sum = 0;
            for (uint32_t i = 0; i < kFrameBytes; i += 4) {
                uint32_t w;
                std::memcpy(&w, &data[i], 4);
                sum += w;
            }
            put32(h + 28, sum);
            h[33] = 1;
        }
        unsigned s1 = 0, s2 = 0;
        for (int i = 0; i < 34; ++i) {
            s1 = (s1 + h[i]) % 255;
            s2 = (s2 + s1) % 255;
        }
        put16(h + 34, s1 + 256 * s2);
        out.insert(out.end(), h, h + 36);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

void feed_bench(benchmark::State &state, bool checked) {
    lx_log_disable();
    const std::vector<uint8_t> stream = make_stream(checked);
    const lx_stream_cfg cfg{2};
    lx_stream *s = lx_stream_create(&cfg);
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kPiece) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(kPiece, stream.size() - at));
            benchmark::DoNotOptimize(lx_stream_feed_input(s, stream.data() + at, n));
        }
    }
    lx_stream_state st{};
    lx_stream_get_state(s, &st);
    state.counters["discarded"] = st.frames_discarded;
    lx_stream_destroy(s);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_StreamFeed(benchmark::State &state) { feed_bench(state, false); }
BENCHMARK(BM_StreamFeed);

void BM_StreamFeedChecksum(benchmark::State &state) { feed_bench(state, true); }
BENCHMARK(BM_StreamFeedChecksum);

// The same pieces copied into a few rotating frame-sized buffers.
void BM_MemcpyPieces(benchmark::State &state) {
    const std::vector<uint8_t> stream = make_stream(false);
    std::vector<std::vector<uint8_t>> frames(4, std::vector<uint8_t>(kFrameBytes));
    for (auto _ : state) {
        size_t frame = 0, offset = 0;
        for (size_t at = 0; at < stream.size(); at += kPiece) {
            size_t n = std::min<size_t>(kPiece, stream.size() - at);
            const uint8_t *src = stream.data() + at;
            while (n > 0) {
                const size_t c = std::min(n, kFrameBytes - offset);
                std::memcpy(frames[frame].data() + offset, src, c);
                src += c;
                n -= c;
                offset += c;
                if (offset == kFrameBytes) {
                    offset = 0;
                    frame = (frame + 1) % frames.size();
                }
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_MemcpyPieces);

}  // namespace
