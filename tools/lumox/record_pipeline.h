// Frames on their way from the capture loop into a recording. Compressing a frame at a high
// deflate level takes longer than a frame interval; done on the capture thread it would stall the
// stream until the library's frame buffer overflows. Here the capture thread only copies the
// frame into a bounded queue; worker threads compress, and one writer thread (the only one that
// touches the file) appends the frames in the order they came.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording/recording.h"

namespace lumox_cli {

class RecordPipeline {
  public:
    // compression: the writer's deflate level (0: frames are written as they are, on the
    // writer thread). workers: compressing threads (at least 1 when compressing). capacity:
    // frames queued or in work at most; push waits for room beyond that.
    // written: called on the writer thread after each frame is in the file, with its number in
    // the recording.
    using Written = std::function<void(const lumox::recording::FrameMeta &, uint64_t number)>;
    RecordPipeline(lumox::recording::Writer &writer, int compression, unsigned workers,
                   size_t capacity, Written written);
    ~RecordPipeline();  // finish()
    RecordPipeline(const RecordPipeline &) = delete;
    RecordPipeline &operator=(const RecordPipeline &) = delete;

    // Queues a copy of the frame. False once a write has failed (error() says why); the frame
    // is then not queued.
    bool push(const lumox::recording::FrameMeta &meta, const uint8_t *bytes, size_t size);
    // Waits until every frame queued so far is in the file (or a write failed); the threads go
    // on.
    void drain();
    // Waits until every queued frame is in the file and ends the threads. False when a write
    // failed.
    bool finish();
    std::string error() const;
    uint64_t written() const;

  private:
    struct Job {
        lumox::recording::FrameMeta meta;
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> chunk;  // compressed bytes
        bool taken = false;          // a worker compresses it
        bool ready = false;          // compressed (or nothing to compress)
    };
    void compress_loop();
    void write_loop();

    lumox::recording::Writer &writer_;
    const Written on_written_;
    const int compression_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Job>> jobs_;  // in arrival order; the writer takes the front
    bool ending_ = false;
    bool failed_ = false;
    std::string error_;
    uint64_t written_ = 0;
    std::vector<std::thread> workers_;
    std::thread writer_thread_;
};

}  // namespace lumox_cli
