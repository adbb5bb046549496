// A recording: every raw frame of a capture exactly as the camera delivered it, with what it
// takes to decode the frames again without the camera (identity, parameters, calibration, lens,
// capture settings) and when the host received each one. One HDF5 file; the layout is described
// in README.md ("Recording file layout") so that other tools read it without this code.
//
// Threads: a Writer or Reader is used by one thread at a time. The system's HDF5 library is built
// without thread safety: a process uses recordings from one thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lumox/device.h"
#include "lumox/image.h"
#include "lumox/stream.h"

namespace lumox::recording {

inline constexpr const char *kFormatName = "lumox recording";
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr size_t kParamRecordSize = 20;  // identifier, length, 18 value bytes

using ParamRecord = std::array<uint8_t, kParamRecordSize>;

// Who the camera is: what lumox_dev_open read and the parameters read after it.
struct CameraRecord {
    std::string product;       // parameter 3, "<model>-<driver code>-<firmware>"
    std::string id2;           // parameter 2, the camera's serial text
    std::vector<uint8_t> id5;  // parameter 5 as reported
    std::vector<uint8_t> id6;  // parameter 6 as reported
    uint8_t bus = 0;
    uint8_t port = 0;
    std::vector<ParamRecord> parameters;  // wire form: id, length, value (little-endian)
};

struct CalibrationFile {
    std::string name;
    std::vector<uint8_t> bytes;
};

struct CalibrationRecord {
    std::vector<uint8_t> package;        // as the camera serves it (format 171); empty: none
    uint32_t package_version = 0;        // parameter 8's version
    std::vector<CalibrationFile> files;  // the calibration files in force (calibration directory)
    // The files were missing when the camera was opened, so the driver fetched the package then
    // (which also switches its per-pixel correction on).
    bool fetched_at_open = false;
    bool has_lens = false;
    lx_lens_param lens{};  // the driver's lens parameters for the frame size
};

struct CaptureSettings {
    uint32_t frame_rate = 0;           // parameter 12, frames per second
    uint32_t integration_time = 0;     // parameter 13
    uint32_t modulation_khz = 0;       // modulation frequency in force
    std::vector<std::string> filters;  // processing switches applied, "ID=VALUE|on|off"
};

struct Header {
    CameraRecord camera;
    CalibrationRecord calibration;
    CaptureSettings capture;
    std::string created_utc;  // ISO 8601, set by the writer when empty
    std::string library_version;
};

// What is kept with every frame.
struct FrameMeta {
    lumox_frame_info info{};
    lx_raw_frame_info raw{};
    int64_t host_monotonic_ns = 0;  // steady clock at delivery (origin arbitrary)
    int64_t host_wall_ns = 0;       // wall clock at delivery, nanoseconds since 1970 UTC
};

// Nanoseconds of the steady and the wall clock now.
int64_t monotonic_ns();
int64_t wall_ns();

class Writer {
  public:
    // Creates (replaces) the file at path and writes the header. compression: deflate level
    // 0 (none) to 9. Returns null with *error set when the file cannot be made.
    static std::unique_ptr<Writer> create(const std::string &path, const Header &header,
                                          int compression, std::string *error);
    ~Writer();  // closes, as close() does
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Appends one frame. Every frame of a recording has the size of the first; a frame of
    // another size is refused (nothing written).
    bool append(const FrameMeta &meta, const uint8_t *bytes, size_t size, std::string *error);
    // As append, for a frame compressed by compress_frame at this writer's compression level
    // (size: the frame's bytes before compression). With compression 0, append the frame itself.
    bool append_compressed(const FrameMeta &meta, const std::vector<uint8_t> &chunk, size_t size,
                           std::string *error);
    // Completes and closes the file; later calls do nothing.
    bool close(std::string *error);
    uint64_t frames() const;

  private:
    struct Impl;
    explicit Writer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A frame's bytes compressed at deflate level 1-9 as a recording's frame chunk is stored (the
// stream HDF5's deflate filter reads back), for Writer::append_compressed. Empty when it fails.
// Touches no HDF5 state: any thread may compress while another appends.
std::vector<uint8_t> compress_frame(const uint8_t *bytes, size_t size, int level);

class Reader {
  public:
    // Opens a recording and reads its header and every frame's metadata. Null with *error set
    // when the file is missing, not a recording, or inconsistent.
    // The file is untrusted: it is checked (links, storage, ranks, types, extents against the
    // file's size) and read once in a child process before it is opened here, so that a damaged
    // file that would crash or hang the HDF5 library is refused with a message instead.
    static std::unique_ptr<Reader> open(const std::string &path, std::string *error);
    // The same for a file image in memory (size bytes at data, copied).
    static std::unique_ptr<Reader> open_image(const void *data, size_t size, std::string *error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Header &header() const;
    const std::vector<FrameMeta> &frames() const;
    uint64_t frame_count() const { return frames().size(); }
    uint32_t frame_size() const;  // bytes of every frame
    // Reads frame index's bytes into *bytes (resized to frame_size()).
    bool read(uint64_t index, std::vector<uint8_t> *bytes, std::string *error);

    struct Impl;

  private:
    explicit Reader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The time a recording's isolated first read may take at the least (default 20 s; it grows with
// the file's size at 50 MB/s); a read still running then counts as a hang. Tests and the fuzz
// target shorten it.
void set_check_time_bound(std::chrono::milliseconds bound);

// Value of a recorded parameter (length and bytes), or false when it was not recorded.
bool find_param(const CameraRecord &camera, uint8_t id, std::vector<uint8_t> *value);

}  // namespace lumox::recording
