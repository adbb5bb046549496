#include "vcam/playback.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace lumox::vcam {

namespace {

// The latest a frame may fall due after the first: about 146 years, so that adding it to a
// steady-clock time point cannot overflow. A recording's host times are untrusted; times that go
// backwards play at once.
constexpr int64_t kMaxDueNs = int64_t{1} << 62;

// The longest pause between two frames played as recorded. The camera streams without pause; a
// longer gap between two recorded frames is the recording host's stall (or the camera's absence
// across a reconnect), and played as it was it would time out the program reading the playback.
constexpr int64_t kMaxGapNs = 1000000000;

// t - origin, clamped to [0, limit] whatever the two values are.
int64_t offset_ns(int64_t t, int64_t origin, int64_t limit) {
    int64_t d = 0;
    if (__builtin_sub_overflow(t, origin, &d)) return t > origin ? limit : 0;
    return std::clamp<int64_t>(d, 0, limit);
}

}  // namespace

std::unique_ptr<Playback> Playback::open(const std::string &path, const PlaybackOptions &options,
                                         std::string *error) {
    auto reader = recording::Reader::open(path, error);
    if (!reader) return nullptr;
    const uint64_t n = reader->frame_count();
    if (options.first >= n || options.end <= options.first) {
        if (error)
            *error =
                "'" + path + "' has " + std::to_string(n) + " frames: nothing to play in " +
                std::to_string(options.first) + ":" +
                (options.end == std::numeric_limits<uint64_t>::max() ? std::string()
                                                                     : std::to_string(options.end));
        return nullptr;
    }
    if (options.timing == PlaybackOptions::Timing::kRate && options.rate == 0) {
        if (error) *error = "a playback rate must be at least 1 frame per second";
        return nullptr;
    }
    return std::unique_ptr<Playback>(new Playback(std::move(reader), options));
}

Playback::Playback(std::unique_ptr<recording::Reader> reader, const PlaybackOptions &options)
    : reader_(std::move(reader)), options_(options) {
    first_ = options.first;
    end_ = std::min<uint64_t>(options.end, reader_->frame_count());
    const auto &meta = reader_->frames();
    const uint64_t n = frames();
    // Each gap at most kMaxGapNs: n of them stay far below kMaxDueNs.
    due_ns_.assign(n, 0);
    for (uint64_t i = 1; i < n; ++i)
        due_ns_[i] = due_ns_[i - 1] + offset_ns(meta[first_ + i].host_monotonic_ns,
                                                meta[first_ + i - 1].host_monotonic_ns, kMaxGapNs);
    const int64_t span = due_ns_.back();
    const uint32_t fps = reader_->header().capture.frame_rate;
    // One more interval after the last frame before the first comes again.
    lap_ns_ = n > 1 ? span + span / static_cast<int64_t>(n - 1)
                    : 1000000000 / static_cast<int64_t>(fps ? fps : 20);
}

CameraConfig Playback::camera_config(CameraConfig base) const {
    const recording::Header &h = reader_->header();
    if (!h.camera.product.empty()) base.product = h.camera.product;
    base.id2 = h.camera.id2;
    std::vector<uint8_t> chip;
    if (recording::find_param(h.camera, kParamChipInfo, &chip) && chip.size() >= 6) {
        base.chip.part_version = static_cast<uint8_t>(get_le16(&chip[0]));
        base.chip.chip_id = get_le16(&chip[2]);
        base.chip.wafer_id = get_le16(&chip[4]);
    }
    if (h.capture.frame_rate) base.frame_rate = h.capture.frame_rate;
    if (options_.timing == PlaybackOptions::Timing::kRate) base.frame_rate = options_.rate;
    base.paced = options_.timing != PlaybackOptions::Timing::kUnpaced;
    const auto &meta = reader_->frames();
    base.temp_sensor = meta[first_].raw.temp_sensor;
    base.temp_board = meta[first_].raw.temp_ib;
    return base;
}

void Playback::attach(const std::shared_ptr<Playback> &playback, Camera &camera) {
    const recording::Header &h = playback->reader_->header();
    for (const recording::ParamRecord &r : h.camera.parameters) {
        // The camera starts in normal mode; parameter 8 describes the package set below.
        if (r[0] == kParamMode || r[0] == kParamCalibInfo) continue;
        const size_t n = std::min<size_t>(r[1], kParamValueSize);
        camera.set_param(r[0], std::span<const uint8_t>(r.data() + 2, n));
    }
    if (playback->options_.timing == PlaybackOptions::Timing::kRate)
        camera.set_param_u32(kParamFrameRate, playback->options_.rate);
    if (!h.calibration.package.empty())
        camera.set_calibration_package(h.calibration.package, h.calibration.package_version);
    camera.set_paced(playback->options_.timing != PlaybackOptions::Timing::kUnpaced);
    camera.set_frame_source(playback);
}

FrameSource::State Playback::state(uint64_t k) {
    if (!options_.loop && k >= frames()) return State::kEnded;
    if (options_.credit_fd >= 0) {
        uint8_t bytes[64];
        ssize_t got = 0;
        while ((got = ::read(options_.credit_fd, bytes, sizeof bytes)) > 0)
            credits_ += static_cast<uint64_t>(got);
        if (k >= credits_ + options_.window) return State::kWaiting;
    }
    return State::kReady;
}

std::optional<Clock::duration> Playback::due(uint64_t k) {
    if (options_.timing != PlaybackOptions::Timing::kAsRecorded) return std::nullopt;
    const uint64_t lap = k / frames();
    const int64_t offset = due_ns_[index_of(k) - first_];
    int64_t laps_ns = 0;
    const bool too_late = lap > static_cast<uint64_t>(kMaxDueNs) ||
                          __builtin_mul_overflow(static_cast<int64_t>(lap), lap_ns_, &laps_ns);
    const int64_t ns = too_late ? kMaxDueNs : offset + std::min(kMaxDueNs - offset, laps_ns);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

bool Playback::frame(uint64_t k, SourcedFrame &out) {
    const uint64_t index = index_of(k);
    if (!reader_->read(index, &out.bytes, nullptr)) return false;
    const lx_raw_frame_info &raw = reader_->frames()[index].raw;
    out.fridx = raw.fridx;
    out.frfmt = raw.frfmt;
    out.width = raw.width;
    out.height = raw.height;
    out.temp_sensor = raw.temp_sensor;
    out.temp_board = raw.temp_ib;
    out.spare = raw.spare;
    return true;
}

}  // namespace lumox::vcam
