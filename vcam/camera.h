// The virtual camera's firmware model: the command channel on endpoint 0 with its status record,
// the parameter store, the register spaces, the frame stream on bulk IN 0x81, and faults injected
// on demand. It knows nothing of USB transport mechanics: the bridge in vcam/usb/ (or a unit test)
// hands it setup packets and data stages and asks it for stream bytes.
//
// Threads: every public member may be called from any thread; one mutex guards the whole model
// and is held only for the duration of a call (no call blocks or waits).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vcam/flash.h"
#include "vcam/params.h"
#include "vcam/registers.h"
#include "vcam/stream.h"
#include "vcam/wire.h"

namespace lumox::vcam {

using Clock = std::chrono::steady_clock;

// Identity and start-up behaviour of one camera.
struct CameraConfig {
    // Product string "<model>-<driver code>-<firmware>" (parameter 3 and the USB product string).
    std::string product = "LXC660-E2-2.0.3";
    std::string id2 = "VC00001";  // second identity string (parameter 2)
    ChipIdentity chip;
    uint32_t frame_rate = 20;   // parameter 12, frames per second
    bool paced = true;          // false: stream as fast as the host reads
    int16_t temp_sensor = 352;  // tenths of a degree, in every segment header
    int16_t temp_board = 301;
    StreamConfig stream;
};

// What the camera does with one control transfer.
struct ControlResult {
    enum class Kind {
        kAck,           // the data stage completes: in_data holds the IN bytes (maybe short)
        kStall,         // the request is refused with a stall
        kNeverComplete  // the data stage never completes (until the host cancels it)
    };
    Kind kind = Kind::kAck;
    std::vector<uint8_t> in_data;
};

// Supplies a capture's frames in place of the renderer (the playback of a recording). Frame k is
// the k-th frame since the capture started. Called with the camera's lock held, on the thread
// that reads the stream: the calls must not block for long and must not call the camera.
class FrameSource {
  public:
    enum class State {
        kReady,    // frame k can be sent when it falls due
        kWaiting,  // frame k is not available yet; ask again shortly
        kEnded     // there is no frame k: the stream stays silent
    };
    virtual ~FrameSource() = default;
    virtual State state(uint64_t k) = 0;
    // When frame k falls due after the capture's start; nullopt: at the frame-rate parameter.
    virtual std::optional<Clock::duration> due(uint64_t k) = 0;
    // Frame k's bytes and header fields; false when it cannot be had (the stream then ends).
    virtual bool frame(uint64_t k, SourcedFrame &out) = 0;
};

// One class request the host sent, in arrival order.
struct CommandRecord {
    SetupPacket setup;
    std::vector<uint8_t> data;  // OUT: payload received; IN: bytes returned
    bool hung = false;          // the transfer was left incomplete by a fault
    uint8_t type() const { return setup.request; }
    uint16_t value() const { return setup.value; }
    bool is_in() const { return setup.is_in(); }
};

// What happens to the next bulk IN transfer.
// kEmpty: the transfer completes at once with no bytes (a zero-length packet).
enum class BulkAction { kData, kStall, kError, kHang, kEmpty };

// Totals of the stream since the camera was made.
struct StreamCounters {
    uint64_t bytes_streamed = 0;  // bytes handed to the host on bulk IN
    uint32_t segments_sent = 0;   // segments generated (dropped ones excluded)
    uint32_t frames_sent = 0;     // frames generated
    uint32_t capture_starts = 0;
    uint32_t capture_stops = 0;
};

class Camera {
  public:
    explicit Camera(CameraConfig config = {});
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // ---- Endpoint 0 ----
    // A class request (bmRequestType 0x22 or 0xA2). For OUT, out_data is the data stage.
    ControlResult control(const SetupPacket &setup, std::span<const uint8_t> out_data);

    // ---- Bulk IN 0x81 ----
    // Decides the fate of a newly submitted bulk transfer (consumes one queued bulk fault).
    BulkAction next_bulk_action();
    // Copies up to dst.size() stream bytes that are due now; 0 when nothing is due (or not
    // capturing). A result shorter than dst means the camera ended its burst (a short packet).
    size_t read_stream(std::span<uint8_t> dst);
    // When the next frame falls due while capturing and paced; nullopt when data is due now or
    // nothing will come.
    std::optional<Clock::time_point> next_frame_due() const;

    // ---- State for tests and the launcher ----
    const CameraConfig &config() const { return config_; }
    std::vector<uint8_t> param(uint8_t id) const;
    void set_param(uint8_t id, std::span<const uint8_t> value);
    void set_param_u32(uint8_t id, uint32_t value);
    uint32_t reg(uint8_t target, uint32_t address) const;
    void set_reg(uint8_t target, uint32_t address, uint32_t value);
    // Register writes the host sent (not those of set_reg), in order, since the last clear.
    std::vector<RegisterWrite> register_writes() const;
    void clear_register_writes();
    bool capturing() const;
    uint32_t capture_arg() const;
    std::vector<uint8_t> reset_targets() const;   // reset commands received, in order
    std::vector<CommandRecord> commands() const;  // status requests included
    void clear_commands();
    StreamCounters counters() const;
    // The camera lost power and came back (pulled out and plugged in again): no capture, the
    // parameters at their defaults, the sensor at power-on; flash, faults and sources stay.
    void power_cycle();
    void set_paced(bool paced);
    void set_stream_config(const StreamConfig &stream);
    StreamConfig stream_config() const;
    // Replaces the frame content of format-2 frames (default: the counter pattern of stream.h).
    void set_renderer(FrameRenderer renderer);
    // The same with a live source that sees the camera's settings (a sensor model looking at a
    // scene); null: the counter pattern again.
    void set_live_source(std::shared_ptr<LiveSource> source);
    // Sends the source's frames instead of rendered ones (null: render again). The calibration
    // package still goes out in data-upload mode.
    void set_frame_source(std::shared_ptr<FrameSource> source);
    // Sensor and illumination-board temperatures (0.1 degC) of the next frames' headers; a sensor
    // model also drifts with them.
    void set_temperatures(int16_t sensor, int16_t board);
    // The settings the next frame is taken with (registers, parameters, temperatures).
    Exposure exposure() const;
    // Stores a calibration package; parameter 8 then describes it and data-upload mode (parameter
    // 0 = 9) streams it as one frame of format 171.
    void set_calibration_package(std::vector<uint8_t> package, uint32_t version);
    // The flash store of firmware and data images (command type 0xCC), one image per type.
    void set_flash_image(uint8_t type, uint16_t version, std::vector<uint8_t> bytes);
    std::optional<FlashImage> flash_image(uint8_t type) const;
    // Faults of the flash protocol; they stay until replaced (FlashFaults{} clears them).
    void set_flash_faults(const FlashFaults &faults);

    // ---- Faults (each applies to the next matching event; type/value -1 match any command) ----
    void fault_status_busy(unsigned times);  // the next `times` status replies say 0xFE
    // The next matching command is not carried out; its status says 0xFF with `text`.
    void fault_fail_next(std::string text, int type = -1, int value = -1);
    // The next status reply names this command instead of the last one.
    void fault_status_names(uint8_t type, uint8_t value);
    // The next matching IN data stage returns `missing` bytes fewer than asked.
    void fault_short_reply(uint16_t missing = 1, int type = -1, int value = -1);
    // The next matching IN data stage is handed to `edit` before it goes out; the edit may change
    // its bytes and its length (it is then cut to the length the host asked for).
    void fault_edit_reply(std::function<void(std::vector<uint8_t> &)> edit, int type = -1,
                          int value = -1);
    // The next matching control transfer never completes.
    void fault_control_hang(int type = -1, int value = -1);
    // The next matching control transfer is refused with a stall.
    void fault_control_stall(int type = -1, int value = -1);
    void fault_bulk(BulkAction action, unsigned count);    // next `count` bulk transfers
    void fault_stream(StreamFault fault, unsigned count);  // next `count` segments
    void clear_faults();

  private:
    void handle_out(const SetupPacket &setup, std::span<const uint8_t> data);
    // The OUT commands, each ending in finish() with its status.
    void reset_command(uint16_t value, std::span<const uint8_t> data);
    void param_set_command(uint16_t value, std::span<const uint8_t> data);
    void param_get_command(uint16_t value, std::span<const uint8_t> data);
    void register_command(uint16_t value, std::span<const uint8_t> data);
    std::vector<uint8_t> handle_in(const SetupPacket &setup, bool &stall);
    std::vector<uint8_t> status_record();
    void finish(uint8_t type, uint16_t value, bool ok, const std::string &text = {});
    void start_capture(uint32_t arg);
    void stop_capture();
    void reset(uint32_t target);
    void power_on();  // the state after power-up (the lock held)
    void apply_param(uint8_t id, std::span<const uint8_t> value);
    void rebase_pacing();
    void describe_package();
    bool frame_due_locked(Clock::time_point now) const;
    void skip_missed_frames_locked(Clock::time_point now);
    Exposure exposure_locked() const;
    bool sourcing_locked() const;
    std::optional<Clock::time_point> source_due_locked() const;
    static bool matches(int type, int value, const SetupPacket &setup);

    mutable std::mutex mutex_;
    const CameraConfig config_;
    ParamStore params_;
    RegisterFile registers_;
    Flash flash_;
    std::vector<RegisterWrite> register_writes_;
    StreamGenerator stream_;

    // Status of the last command.
    uint8_t last_type_ = 0;
    uint8_t last_value_ = 0;
    uint8_t last_status_ = kStatusDone;
    std::string last_text_;

    // Read phases waiting for their IN stage.
    std::vector<uint8_t> pending_param_ids_;
    bool pending_reg_read_ = false;
    uint8_t pending_reg_target_ = 0;
    uint32_t pending_reg_base_ = 0;
    uint32_t pending_reg_count_ = 0;

    bool capturing_ = false;
    uint32_t capture_arg_ = 0;
    bool paced_;
    int16_t temp_sensor_ = 0;
    int16_t temp_board_ = 0;
    Clock::time_point pace_origin_{};
    uint64_t frames_since_origin_ = 0;
    std::shared_ptr<FrameSource> source_;
    Clock::time_point capture_origin_{};
    uint64_t source_index_ = 0;  // frames taken from the source since the capture started
    std::vector<uint8_t> resets_;
    std::vector<uint8_t> package_;
    uint32_t package_version_ = 0;
    std::vector<CommandRecord> log_;
    StreamCounters counters_;

    struct MatchFault {
        unsigned count = 0;
        int type = -1;
        int value = -1;
    };
    unsigned busy_replies_ = 0;
    MatchFault fail_;
    std::string fail_text_;
    std::optional<std::pair<uint8_t, uint8_t>> status_names_;
    MatchFault short_;
    uint16_t short_missing_ = 0;
    MatchFault hang_;
    MatchFault edit_;
    std::function<void(std::vector<uint8_t> &)> edit_reply_;
    MatchFault stall_;
    unsigned bulk_stalls_ = 0;
    unsigned bulk_errors_ = 0;
    unsigned bulk_hangs_ = 0;
    unsigned bulk_empties_ = 0;
};

}  // namespace lumox::vcam
