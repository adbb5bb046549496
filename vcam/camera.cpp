#include "vcam/camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lumox::vcam {

namespace {

constexpr size_t kLogLimit = 100000;  // commands kept for inspection; the oldest go first
constexpr uint32_t kMaxParamsPerGet = 3;
constexpr uint32_t kMaxRegsPerRead = 16;
constexpr uint32_t kMaxResetTarget = 8;
constexpr uint32_t kResetCamera = 0;
constexpr uint32_t kResetSensor = 1;
constexpr uint32_t kResetUsb = 3;

ParamDefaults defaults_of(const CameraConfig &c) {
    ParamDefaults d;
    d.product = c.product;
    d.id2 = c.id2;
    d.chip = c.chip;
    d.frame_rate = c.frame_rate;
    d.temp_sensor = c.temp_sensor;
    d.temp_board = c.temp_board;
    return d;
}

std::string format(const char *fmt, unsigned a, unsigned b = 0) {
    char text[kStatusTextSize];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

}  // namespace

Camera::Camera(CameraConfig config)
    : config_(std::move(config)),
      params_(defaults_of(config_)),
      registers_(config_.chip),
      paced_(config_.paced),
      temp_sensor_(config_.temp_sensor),
      temp_board_(config_.temp_board) {
    stream_.set_config(config_.stream);
    stream_.set_temperatures(config_.temp_sensor, config_.temp_board);
}

bool Camera::matches(int type, int value, const SetupPacket &setup) {
    return (type < 0 || type == setup.request) && (value < 0 || value == setup.value);
}

// ---------------------------------------------------------------------------------------------
// Command channel

ControlResult Camera::control(const SetupPacket &setup, std::span<const uint8_t> out_data) {
    std::lock_guard lock(mutex_);
    ControlResult result;
    CommandRecord record{setup, {}, false};

    if (hang_.count > 0 && matches(hang_.type, hang_.value, setup)) {
        --hang_.count;
        record.hung = true;
        if (!setup.is_in()) record.data.assign(out_data.begin(), out_data.end());
        if (log_.size() >= kLogLimit) log_.erase(log_.begin());
        log_.push_back(std::move(record));
        result.kind = ControlResult::Kind::kNeverComplete;
        return result;
    }
    if (stall_.count > 0 && matches(stall_.type, stall_.value, setup)) {
        --stall_.count;
        result.kind = ControlResult::Kind::kStall;
        return result;
    }

    if (setup.is_in()) {
        bool stall = false;
        result.in_data = handle_in(setup, stall);
        if (stall) {
            result.kind = ControlResult::Kind::kStall;
            result.in_data.clear();
        } else if (short_.count > 0 && matches(short_.type, short_.value, setup)) {
            --short_.count;
            result.in_data.resize(result.in_data.size() -
                                  std::min<size_t>(short_missing_, result.in_data.size()));
        }
        if (!stall && edit_.count > 0 && matches(edit_.type, edit_.value, setup)) {
            --edit_.count;
            edit_reply_(result.in_data);
            if (result.in_data.size() > setup.length) result.in_data.resize(setup.length);
        }
        record.data = result.in_data;
    } else {
        record.data.assign(out_data.begin(), out_data.end());
        handle_out(setup, out_data);
    }
    if (log_.size() >= kLogLimit) log_.erase(log_.begin());
    log_.push_back(std::move(record));
    return result;
}

void Camera::finish(uint8_t type, uint16_t value, bool ok, const std::string &text) {
    last_type_ = type;
    last_value_ = static_cast<uint8_t>(value);
    last_status_ = ok ? kStatusDone : kStatusFailed;
    last_text_ = text;
}

void Camera::handle_out(const SetupPacket &setup, std::span<const uint8_t> data) {
    const uint8_t type = setup.request;
    const uint16_t value = setup.value;
    if (fail_.count > 0 && matches(fail_.type, fail_.value, setup)) {
        --fail_.count;
        finish(type, value, false, fail_text_);
        return;
    }
    if (setup.request_type != kRequestTypeOut || data.size() != setup.length) {
        finish(type, value, false, "malformed request");
        return;
    }
    const size_t n = data.size();
    if (type == kCmdDevice && value == kDeviceReset) return reset_command(value, data);
    if (type == kCmdDevice && value == kDeviceParamSet) return param_set_command(value, data);
    if (type == kCmdDevice && value == kDeviceParamGet) return param_get_command(value, data);
    if (type == kCmdSensor && (value == kSensorRegWrite || value == kSensorRegRead))
        return register_command(value, data);
    if (type == kCmdSensor && value == kSensorCaptureStart) {
        if (n != 4) return finish(type, value, false, format("capture start: %u bytes", n));
        start_capture(get_le32(data.data()));
        return finish(type, value, true);
    }
    if (type == kCmdSensor && value == kSensorCaptureStop) {
        if (n != 1) return finish(type, value, false, format("capture stop: %u bytes", n));
        stop_capture();
        return finish(type, value, true);
    }
    if (type == kCmdData) {
        const std::string error = flash_.write(value, data);
        return finish(type, value, error.empty(), error);
    }
    finish(type, value, false, format("unknown command 0x%02X/%u", type, value));
}

void Camera::reset_command(uint16_t value, std::span<const uint8_t> data) {
    const uint8_t type = kCmdDevice;
    if (data.size() != 4)
        return finish(type, value, false, format("reset: %u bytes, expected 4", data.size()));
    const uint32_t target = get_le32(data.data());
    if (target > kMaxResetTarget)
        return finish(type, value, false, format("no reset target %u", target));
    reset(target);
    finish(type, value, true);
}

void Camera::param_set_command(uint16_t value, std::span<const uint8_t> data) {
    const uint8_t type = kCmdDevice;
    const size_t n = data.size();
    if (n == 0 || n % kParamRecordSize != 0)
        return finish(type, value, false, format("param set: %u bytes", n));
    for (size_t off = 0; off < n; off += kParamRecordSize) {
        if (data[off + 1] > kParamValueSize)
            return finish(type, value, false,
                          format("param %u: length %u", data[off], data[off + 1]));
    }
    for (size_t off = 0; off < n; off += kParamRecordSize) {
        const uint8_t id = data[off];
        if (id == kParamFrameRate && (data[off + 1] < 4 || get_le32(&data[off + 2]) == 0))
            return finish(type, value, false, "frame rate out of range");
    }
    for (size_t off = 0; off < n; off += kParamRecordSize)
        apply_param(data[off], data.subspan(off + 2, data[off + 1]));
    finish(type, value, true);
}

void Camera::param_get_command(uint16_t value, std::span<const uint8_t> data) {
    const uint8_t type = kCmdDevice;
    const size_t n = data.size();
    pending_param_ids_.clear();
    if (n == 0 || n % kParamRecordSize != 0 || n / kParamRecordSize > kMaxParamsPerGet)
        return finish(type, value, false, format("param get: %u bytes", n));
    for (size_t off = 0; off < n; off += kParamRecordSize) pending_param_ids_.push_back(data[off]);
    finish(type, value, true);
}

void Camera::register_command(uint16_t value, std::span<const uint8_t> data) {
    const uint8_t type = kCmdSensor;
    const size_t n = data.size();
    pending_reg_read_ = false;
    if (n < kRegHeaderSize)
        return finish(type, value, false, format("register header: %u bytes", n));
    const uint8_t target = data[0];
    const uint32_t base = get_le32(&data[1]);
    const uint32_t bytes = get_le16(&data[5]);
    if (bytes % 4 != 0) return finish(type, value, false, format("register byte count %u", bytes));
    const uint32_t count = bytes / 4;
    if (!registers_.in_range(target, base, count))
        return finish(type, value, false,
                      format("register %u out of range (target %u)", base, target));
    if (value == kSensorRegRead) {
        if (n != kRegHeaderSize || count > kMaxRegsPerRead)
            return finish(type, value, false, format("register read of %u (%u bytes)", count, n));
        pending_reg_read_ = true;
        pending_reg_target_ = target;
        pending_reg_base_ = base;
        pending_reg_count_ = count;
        return finish(type, value, true);
    }
    if (n != kRegHeaderSize + bytes)
        return finish(type, value, false,
                      format("register write: %u bytes for count %u", n, count));
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t v = get_le32(&data[kRegHeaderSize + 4 * i]);
        registers_.write(target, base + i, v);
        register_writes_.push_back({target, base + i, v});
    }
    finish(type, value, true);
}

std::vector<uint8_t> Camera::handle_in(const SetupPacket &setup, bool &stall) {
    const uint8_t type = setup.request;
    const uint16_t value = setup.value;
    const size_t want = setup.length;
    if (setup.request_type != kRequestTypeIn) {
        stall = true;
        return {};
    }
    if (type == kCmdStatus && value == 0) {
        std::vector<uint8_t> record = status_record();
        record.resize(want, 0);
        return record;
    }
    if (fail_.count > 0 && matches(fail_.type, fail_.value, setup)) {
        --fail_.count;
        finish(type, value, false, fail_text_);
        return std::vector<uint8_t>(want, 0);
    }
    if (type == kCmdDevice && value == kDeviceParamGet) {
        std::vector<uint8_t> reply(want, 0);
        const size_t expected = pending_param_ids_.size() * kParamRecordSize;
        for (size_t i = 0; i < pending_param_ids_.size(); ++i) {
            auto record = params_.record(pending_param_ids_[i]);
            const size_t off = i * kParamRecordSize;
            if (off >= want) break;
            std::copy_n(record.begin(), std::min(kParamRecordSize, want - off),
                        reply.begin() + off);
        }
        pending_param_ids_.clear();
        if (expected == 0 || want != expected)
            finish(type, value, false,
                   format("param read of %u bytes, %u expected", want, expected));
        else
            finish(type, value, true);
        return reply;
    }
    if (type == kCmdSensor && value == kSensorRegRead) {
        std::vector<uint8_t> reply(want, 0);
        const size_t expected = pending_reg_read_ ? pending_reg_count_ * 4 : 0;
        if (!pending_reg_read_ || want != expected) {
            pending_reg_read_ = false;
            finish(type, value, false,
                   format("register read of %u bytes, %u expected", want, expected));
            return reply;
        }
        for (uint32_t i = 0; i < pending_reg_count_; ++i) {
            uint32_t v = 0;
            registers_.read(pending_reg_target_, pending_reg_base_ + i, v);
            put_le32(&reply[4 * i], v);
        }
        pending_reg_read_ = false;
        finish(type, value, true);
        return reply;
    }
    if (type == kCmdData) {
        std::vector<uint8_t> reply;
        const std::string error = flash_.read(value, want, reply);
        finish(type, value, error.empty(), error);
        return reply;
    }
    // Unknown reads are refused.
    finish(type, value, false, format("unknown command 0x%02X/%u", type, value));
    stall = true;
    return {};
}

std::vector<uint8_t> Camera::status_record() {
    std::vector<uint8_t> r(kStatusRecordSize, 0);
    r[0] = last_status_;
    r[1] = last_type_;
    r[2] = last_value_;
    if (busy_replies_ > 0) {
        --busy_replies_;
        r[0] = kStatusBusy;
    }
    if (status_names_) {
        r[1] = status_names_->first;
        r[2] = status_names_->second;
        status_names_.reset();
    }
    std::memcpy(&r[3], last_text_.data(), std::min(last_text_.size(), kStatusTextSize - 1));
    return r;
}

void Camera::apply_param(uint8_t id, std::span<const uint8_t> value) {
    params_.set(id, value);
    if (id == kParamFrameRate) rebase_pacing();
    if (id == kParamMode)
        stream_.set_package(
            value.size() >= 1 && value[0] == kModeDataUpload ? package_ : std::vector<uint8_t>{});
}

void Camera::reset(uint32_t target) {
    resets_.push_back(static_cast<uint8_t>(target));
    if (target == kResetCamera) {
        power_on();
    } else if (target == kResetSensor) {
        registers_.power_on_sensor();
    } else if (target == kResetUsb) {
        stop_capture();
    }
}

// ---------------------------------------------------------------------------------------------
// Stream

void Camera::start_capture(uint32_t arg) {
    capturing_ = true;
    capture_arg_ = arg;
    ++counters_.capture_starts;
    stream_.restart();
    rebase_pacing();
    capture_origin_ = pace_origin_;
    source_index_ = 0;
}

void Camera::power_on() {
    stop_capture();
    params_.restore_defaults();
    if (!package_.empty()) describe_package();
    stream_.set_package({});
    registers_.power_on_sensor();
    pending_param_ids_.clear();
    pending_reg_read_ = false;
}

void Camera::power_cycle() {
    std::lock_guard lock(mutex_);
    power_on();
}

void Camera::stop_capture() {
    if (capturing_) ++counters_.capture_stops;
    capturing_ = false;
    stream_.restart();
}

void Camera::rebase_pacing() {
    pace_origin_ = Clock::now();
    frames_since_origin_ = 0;
}

bool Camera::sourcing_locked() const {
    if (!source_) return false;
    const auto mode = params_.get(kParamMode);
    const bool uploading = mode && !mode->empty() && (*mode)[0] == kModeDataUpload;
    return !(uploading && !package_.empty());
}

// When the source's next frame falls due: nullopt when it goes by the frame-rate parameter.
std::optional<Clock::time_point> Camera::source_due_locked() const {
    const auto after = source_->due(source_index_);
    if (!after) return std::nullopt;
    return capture_origin_ + *after;
}

bool Camera::frame_due_locked(Clock::time_point now) const {
    if (!capturing_) return false;
    if (sourcing_locked()) {
        if (source_->state(source_index_) != FrameSource::State::kReady) return false;
        if (!paced_) return true;
        if (const auto due = source_due_locked()) return now >= *due;
    }
    if (!paced_) return true;
    const uint32_t fps = std::max<uint32_t>(1, params_.get_u32(kParamFrameRate));
    const auto due =
        pace_origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(frames_since_origin_) / fps));
    return now >= due;
}

// A sensor runs on its own frame clock: a frame the host was not there to take in time (the
// bridge's thread kept waiting by a busy machine) is never made. When the frame going out now is
// more than a period late, the clock starts again from now, so the next frame comes a period
// later instead of the missed ones following in a burst that no camera sends.
void Camera::skip_missed_frames_locked(Clock::time_point now) {
    const uint32_t fps = std::max<uint32_t>(1, params_.get_u32(kParamFrameRate));
    const auto period = std::chrono::duration<double>(1.0 / fps);
    const auto due = pace_origin_ + std::chrono::duration_cast<Clock::duration>(
                                        period * static_cast<double>(frames_since_origin_));
    if (now - due > period) {
        pace_origin_ = now;
        frames_since_origin_ = 0;
    }
}

std::optional<Clock::time_point> Camera::next_frame_due() const {
    std::lock_guard lock(mutex_);
    if (!capturing_ || stream_.buffered() > 0) return std::nullopt;
    if (sourcing_locked()) {
        const auto state = source_->state(source_index_);
        if (state == FrameSource::State::kEnded) return std::nullopt;
        if (state == FrameSource::State::kWaiting)
            return Clock::now() + std::chrono::milliseconds(1);
        if (!paced_) return std::nullopt;
        if (const auto due = source_due_locked()) return *due;
    }
    if (!paced_) return std::nullopt;
    const uint32_t fps = std::max<uint32_t>(1, params_.get_u32(kParamFrameRate));
    return pace_origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                              static_cast<double>(frames_since_origin_) / fps));
}

BulkAction Camera::next_bulk_action() {
    std::lock_guard lock(mutex_);
    if (bulk_hangs_ > 0) {
        --bulk_hangs_;
        return BulkAction::kHang;
    }
    if (bulk_stalls_ > 0) {
        --bulk_stalls_;
        return BulkAction::kStall;
    }
    if (bulk_errors_ > 0) {
        --bulk_errors_;
        return BulkAction::kError;
    }
    if (bulk_empties_ > 0) {
        --bulk_empties_;
        return BulkAction::kEmpty;
    }
    return BulkAction::kData;
}

size_t Camera::read_stream(std::span<uint8_t> dst) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    const auto now = Clock::now();
    while (n < dst.size() && capturing_) {
        if (stream_.buffered() == 0) {
            // A paced camera ends every frame with a short packet: the transfer completes there.
            if (paced_ && n > 0) break;
            if (!frame_due_locked(now)) break;
            const uint32_t segments_before = stream_.segments_generated();
            if (sourcing_locked()) {
                SourcedFrame frame;
                if (!source_->frame(source_index_, frame) || frame.bytes.empty()) break;
                ++source_index_;
                stream_.emit_frame(frame);
                ++counters_.frames_sent;
            } else {
                if (paced_) skip_missed_frames_locked(now);
                stream_.set_readout(registers_.readout());
                stream_.set_exposure(exposure_locked());
                counters_.frames_sent += stream_.generate();
            }
            counters_.segments_sent += stream_.segments_generated() - segments_before;
            ++frames_since_origin_;
            continue;
        }
        n += stream_.read(dst.subspan(n));
    }
    counters_.bytes_streamed += n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Test access

std::vector<uint8_t> Camera::param(uint8_t id) const {
    std::lock_guard lock(mutex_);
    return params_.get(id).value_or(std::vector<uint8_t>{});
}

void Camera::set_param(uint8_t id, std::span<const uint8_t> value) {
    std::lock_guard lock(mutex_);
    apply_param(id, value);
}

void Camera::set_param_u32(uint8_t id, uint32_t value) {
    uint8_t bytes[4];
    put_le32(bytes, value);
    set_param(id, bytes);
}

uint32_t Camera::reg(uint8_t target, uint32_t address) const {
    std::lock_guard lock(mutex_);
    return registers_.peek(target, address);
}

void Camera::set_reg(uint8_t target, uint32_t address, uint32_t value) {
    std::lock_guard lock(mutex_);
    registers_.write(target, address, value);
}

std::vector<RegisterWrite> Camera::register_writes() const {
    std::lock_guard lock(mutex_);
    return register_writes_;
}

void Camera::clear_register_writes() {
    std::lock_guard lock(mutex_);
    register_writes_.clear();
}

bool Camera::capturing() const {
    std::lock_guard lock(mutex_);
    return capturing_;
}

uint32_t Camera::capture_arg() const {
    std::lock_guard lock(mutex_);
    return capture_arg_;
}

std::vector<uint8_t> Camera::reset_targets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

std::vector<CommandRecord> Camera::commands() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void Camera::clear_commands() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

StreamCounters Camera::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void Camera::set_paced(bool paced) {
    std::lock_guard lock(mutex_);
    paced_ = paced;
    rebase_pacing();
}

void Camera::set_stream_config(const StreamConfig &stream) {
    std::lock_guard lock(mutex_);
    stream_.set_config(stream);
}

StreamConfig Camera::stream_config() const {
    std::lock_guard lock(mutex_);
    return stream_.config();
}

void Camera::set_renderer(FrameRenderer renderer) {
    std::lock_guard lock(mutex_);
    stream_.set_renderer(std::move(renderer));
}

void Camera::set_frame_source(std::shared_ptr<FrameSource> source) {
    std::lock_guard lock(mutex_);
    source_ = std::move(source);
}

void Camera::set_live_source(std::shared_ptr<LiveSource> source) {
    std::lock_guard lock(mutex_);
    stream_.set_source(std::move(source));
}

void Camera::set_temperatures(int16_t sensor, int16_t board) {
    std::lock_guard lock(mutex_);
    temp_sensor_ = sensor;
    temp_board_ = board;
    stream_.set_temperatures(sensor, board);
}

Exposure Camera::exposure() const {
    std::lock_guard lock(mutex_);
    return exposure_locked();
}

Exposure Camera::exposure_locked() const {
    Exposure e = stream_.exposure();
    // The configured frame size is the window of the power-on region of interest; a region the
    // host programmed otherwise places and sizes the frame itself.
    const StreamConfig &sc = stream_.config();
    e.window = Window::centred(sc.width, sc.height);
    uint32_t x1, x2, y1, y2;
    registers_.roi(x1, x2, y1, y2);
    Window w;
    if (!(x1 == 4 && x2 == 323 && y1 == 6 && y2 == 125) && Window::from_roi(x1, x2, y1, y2, w))
        e.window = w;
    e.modulation_khz = registers_.modulation_khz();
    const auto intg = params_.get(kParamIntgTime);
    e.integration_us = intg && intg->size() >= 2 ? get_le16(intg->data()) : 0;
    const auto fps = params_.get(kParamFrameRate);
    if (fps && fps->size() >= 4 && get_le32(fps->data()) > 0) e.frame_rate = get_le32(fps->data());
    e.ambient_suppression = registers_.ambient_suppression();
    e.temp_sensor = temp_sensor_;
    e.temp_board = temp_board_;
    return e;
}

void Camera::set_flash_image(uint8_t type, uint16_t version, std::vector<uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    flash_.set_image(type, FlashImage{version, std::move(bytes)});
}

std::optional<FlashImage> Camera::flash_image(uint8_t type) const {
    std::lock_guard lock(mutex_);
    return flash_.image(type);
}

void Camera::set_flash_faults(const FlashFaults &faults) {
    std::lock_guard lock(mutex_);
    flash_.faults() = faults;
}

void Camera::describe_package() {
    // Parameter 8 mirrors the package header: valid flag, version, total size, data size,
    // checksum.
    std::vector<uint8_t> info(17, 0);
    if (package_.size() >= 17) {
        info[0] = package_[0];
        put_le32(&info[3], package_version_);
        put_le32(&info[7], static_cast<uint32_t>(package_.size()));
        std::copy(package_.begin() + 11, package_.begin() + 15, info.begin() + 11);
        std::copy(package_.begin() + 15, package_.begin() + 17, info.begin() + 15);
    }
    params_.set(kParamCalibInfo, info);
}

void Camera::set_calibration_package(std::vector<uint8_t> package, uint32_t version) {
    std::lock_guard lock(mutex_);
    package_ = std::move(package);
    package_version_ = version;
    describe_package();
    const auto mode = params_.get(kParamMode);
    if (mode && !mode->empty() && (*mode)[0] == kModeDataUpload) stream_.set_package(package_);
}

// ---------------------------------------------------------------------------------------------
// Faults

void Camera::fault_status_busy(unsigned times) {
    std::lock_guard lock(mutex_);
    busy_replies_ += times;
}

void Camera::fault_fail_next(std::string text, int type, int value) {
    std::lock_guard lock(mutex_);
    fail_ = {1, type, value};
    fail_text_ = std::move(text);
}

void Camera::fault_status_names(uint8_t type, uint8_t value) {
    std::lock_guard lock(mutex_);
    status_names_ = std::make_pair(type, value);
}

void Camera::fault_short_reply(uint16_t missing, int type, int value) {
    std::lock_guard lock(mutex_);
    short_ = {1, type, value};
    short_missing_ = missing;
}

void Camera::fault_edit_reply(std::function<void(std::vector<uint8_t> &)> edit, int type,
                              int value) {
    std::lock_guard lock(mutex_);
    edit_ = {edit ? 1u : 0u, type, value};
    edit_reply_ = std::move(edit);
}

void Camera::fault_control_hang(int type, int value) {
    std::lock_guard lock(mutex_);
    hang_ = {1, type, value};
}

void Camera::fault_control_stall(int type, int value) {
    std::lock_guard lock(mutex_);
    stall_ = {1, type, value};
}

void Camera::fault_bulk(BulkAction action, unsigned count) {
    std::lock_guard lock(mutex_);
    switch (action) {
        case BulkAction::kStall:
            bulk_stalls_ += count;
            break;
        case BulkAction::kError:
            bulk_errors_ += count;
            break;
        case BulkAction::kHang:
            bulk_hangs_ += count;
            break;
        case BulkAction::kEmpty:
            bulk_empties_ += count;
            break;
        case BulkAction::kData:
            break;
    }
}

void Camera::fault_stream(StreamFault fault, unsigned count) {
    std::lock_guard lock(mutex_);
    stream_.add_fault(fault, count);
}

void Camera::clear_faults() {
    std::lock_guard lock(mutex_);
    busy_replies_ = 0;
    fail_ = {};
    status_names_.reset();
    short_ = {};
    hang_ = {};
    edit_ = {};
    edit_reply_ = nullptr;
    stall_ = {};
    bulk_stalls_ = bulk_errors_ = bulk_hangs_ = bulk_empties_ = 0;
    stream_.clear_faults();
    flash_.faults() = FlashFaults{};
}

}  // namespace lumox::vcam
