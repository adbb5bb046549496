// Frames recorded through the pipeline (compressed on worker threads, written in order by one
// thread) read back from the file as they were captured, and a failed write stops the pipeline
// with the writer's message.

#include "record_pipeline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace lumox_cli {
namespace {

namespace rec = lumox::recording;

constexpr size_t kFrameBytes = 64 * 1024;

std::vector<uint8_t> frame_bytes(uint32_t k) {
    std::vector<uint8_t> b(kFrameBytes);
    uint32_t x = k * 2654435761u + 1;
    for (size_t i = 0; i < b.size(); ++i) {
        x = x * 1103515245u + 12345u;
        // Half noise, half runs: compressible, and no two frames alike.
        b[i] = i % 2 ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>(k);
    }
    return b;
}

std::string scratch_file() {
    char name[] = "/tmp/lumox_pipeline_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return name;
}

TEST(RecordPipeline, CompressedFramesReadBackInOrder) {
    for (const int level : {0, 9}) {
        const std::string path = scratch_file();
        std::string error;
        auto writer = rec::Writer::create(path, rec::Header{}, level, &error);
        ASSERT_TRUE(writer) << error;
        std::vector<uint64_t> numbers;
        {
            RecordPipeline pipeline(*writer, level, 3, 4, [&](const rec::FrameMeta &, uint64_t n) {
                numbers.push_back(n);
            });
            for (uint32_t k = 0; k < 24; ++k) {
                rec::FrameMeta meta;
                meta.info.frame_idx = static_cast<uint16_t>(k);
                meta.info.frame_size = kFrameBytes;
                meta.host_monotonic_ns = k;
                const auto bytes = frame_bytes(k);
                ASSERT_TRUE(pipeline.push(meta, bytes.data(), bytes.size()));
            }
            pipeline.drain();  // every frame pushed is in the file, the threads still run
            EXPECT_EQ(pipeline.written(), 24u);
            EXPECT_EQ(numbers.size(), 24u);
            ASSERT_TRUE(pipeline.finish()) << pipeline.error();
        }
        ASSERT_TRUE(writer->close(&error)) << error;
        EXPECT_EQ(numbers.size(), 24u);
        for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i);

        auto reader = rec::Reader::open(path, &error);
        ASSERT_TRUE(reader) << error;
        ASSERT_EQ(reader->frame_count(), 24u);
        std::vector<uint8_t> got;
        for (uint32_t k = 0; k < 24; ++k) {
            ASSERT_TRUE(reader->read(k, &got, &error)) << error;
            EXPECT_TRUE(got == frame_bytes(k)) << "level " << level << " frame " << k;
            EXPECT_EQ(reader->frames()[k].info.frame_idx, k);
        }
        std::remove(path.c_str());
    }
}

TEST(RecordPipeline, AFailedWriteStopsItWithTheWritersMessage) {
    const std::string path = scratch_file();
    std::string error;
    auto writer = rec::Writer::create(path, rec::Header{}, 9, &error);
    ASSERT_TRUE(writer) << error;
    RecordPipeline pipeline(*writer, 9, 2, 4, nullptr);
    const auto bytes = frame_bytes(1);
    ASSERT_TRUE(pipeline.push(rec::FrameMeta{}, bytes.data(), bytes.size()));
    // A frame of another size is refused by the writer.
    pipeline.push(rec::FrameMeta{}, bytes.data(), bytes.size() / 2);
    EXPECT_FALSE(pipeline.finish());
    EXPECT_NE(pipeline.error().find("bytes in a recording of"), std::string::npos)
        << pipeline.error();
    EXPECT_FALSE(pipeline.push(rec::FrameMeta{}, bytes.data(), bytes.size()));
    EXPECT_EQ(pipeline.written(), 1u);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace lumox_cli
