#include "record_pipeline.h"

namespace lumox_cli {

namespace rec = lumox::recording;

RecordPipeline::RecordPipeline(rec::Writer &writer, int compression, unsigned workers,
                               size_t capacity, Written written)
    : writer_(writer),
      on_written_(std::move(written)),
      compression_(compression),
      capacity_(capacity ? capacity : 1) {
    if (compression_ > 0)
        for (unsigned i = 0; i < (workers ? workers : 1); ++i)
            workers_.emplace_back([this] { compress_loop(); });
    writer_thread_ = std::thread([this] { write_loop(); });
}

RecordPipeline::~RecordPipeline() { finish(); }

bool RecordPipeline::push(const rec::FrameMeta &meta, const uint8_t *bytes, size_t size) {
    auto job = std::make_shared<Job>();
    job->meta = meta;
    job->bytes.assign(bytes, bytes + size);
    job->ready = compression_ == 0;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || jobs_.size() < capacity_; });
    if (failed_ || ending_) return false;
    jobs_.push_back(std::move(job));
    changed_.notify_all();
    return true;
}

void RecordPipeline::compress_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<Job> job;
        changed_.wait(lock, [&] {
            for (const auto &j : jobs_)
                if (!j->taken && !j->ready) return true;
            return ending_ || failed_;
        });
        for (const auto &j : jobs_) {
            if (!j->taken && !j->ready) {
                job = j;
                break;
            }
        }
        if (!job) return;  // ending, and nothing left to compress
        job->taken = true;
        lock.unlock();
        std::vector<uint8_t> chunk =
            rec::compress_frame(job->bytes.data(), job->bytes.size(), compression_);
        lock.lock();
        job->chunk = std::move(chunk);
        job->ready = true;
        changed_.notify_all();
    }
}

void RecordPipeline::write_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] {
            return failed_ || (!jobs_.empty() && jobs_.front()->ready) ||
                   (ending_ && jobs_.empty());
        });
        if (failed_ || jobs_.empty()) return;
        const std::shared_ptr<Job> job = jobs_.front();
        lock.unlock();
        std::string why;
        bool ok;
        if (compression_ == 0) {
            ok = writer_.append(job->meta, job->bytes.data(), job->bytes.size(), &why);
        } else if (job->chunk.empty()) {
            ok = false;
            why = "cannot compress frame " + std::to_string(writer_.frames());
        } else {
            ok = writer_.append_compressed(job->meta, job->chunk, job->bytes.size(), &why);
        }
        if (ok && on_written_) on_written_(job->meta, writer_.frames() - 1);
        lock.lock();
        jobs_.pop_front();
        if (ok) {
            ++written_;
        } else {
            failed_ = true;
            error_ = why;
            jobs_.clear();
        }
        changed_.notify_all();
    }
}

void RecordPipeline::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || jobs_.empty(); });
}

bool RecordPipeline::finish() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        changed_.notify_all();
    }
    if (writer_thread_.joinable()) writer_thread_.join();
    {
        // The writer has left: workers find nothing more to do.
        std::lock_guard lock(mutex_);
        jobs_.clear();
        changed_.notify_all();
    }
    for (std::thread &t : workers_)
        if (t.joinable()) t.join();
    std::lock_guard lock(mutex_);
    return !failed_;
}

std::string RecordPipeline::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

uint64_t RecordPipeline::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

}  // namespace lumox_cli
