// The camera's frame stream: frames cut into segments, each opened by a 36-byte header with its
// Fletcher-16 checksum and, optionally, a data checksum. A frame larger than the segment size
// spans several segments (the first carries the frame-start flag); with frames_per_segment > 1 one
// segment carries that many whole frames.
//
// Format-2 frames are 4 planes of width x height 16-bit samples. Unless a renderer is set, sample
// i of frame f holds pattern_sample(f, i), so a reader can check every byte in order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "vcam/optics.h"
#include "vcam/wire.h"

namespace lumox::vcam {

struct StreamConfig {
    uint32_t segment_size = 153600;   // data bytes per segment when a frame spans several
    uint16_t frames_per_segment = 1;  // > 1: whole frames per segment (segment_size unused)
    bool data_checksum = true;        // fill and flag the data checksum
    uint16_t width = 320;
    uint16_t height = 240;
};

// How the sensor reads its array out, as the host programmed it: the number of DCS planes, the
// horizontal binning (columns >> col_shift, neighbours averaged), the row reduction (rows >>
// row_shift; groups of rows averaged with vertical binning, else one row of each group kept) and
// whether the rows come in pairs from two halves (epc660) or singly (epc635). The renderer always
// draws the full four planes of width x height; a reduced read-out is derived from them. Segment
// headers keep reporting the read-out window (width x height) before binning and row reduction:
// the host derives its frame geometry from the window and its own reduction settings.
struct ReadOut {
    uint8_t dcs = 4;
    uint8_t col_shift = 0;
    uint8_t row_shift = 0;
    bool row_average = false;
    uint8_t halves = 2;
    bool operator==(const ReadOut &) const = default;
    bool full() const { return dcs == 4 && col_shift == 0 && row_shift == 0; }
};

// Faults applied to the next segments generated.
enum class StreamFault {
    kCorruptHeader,  // one header byte flipped (the header checksum no longer matches)
    kCorruptData,    // one data byte flipped (the data checksum, when sent, no longer matches)
    kDropSegment,    // the segment is not sent; its index is used up all the same
};

// Fills one format-2 frame (4 * width * height samples, little-endian) for a frame index.
// With a reduced read-out (ReadOut) the frame sent is derived from this full one.
using FrameRenderer = std::function<void(uint32_t frame_index, std::span<uint8_t> frame)>;

// What the camera is set to when it takes a frame: everything a model of the sensor needs.
struct Exposure {
    uint32_t frame_index = 0;  // as the frame's header will say
    Window window;             // the full read-out, before binning and row reduction
    uint32_t modulation_khz = 12000;
    uint32_t integration_us = 1500;
    bool ambient_suppression = true;  // ABS
    int16_t temp_sensor = 0;          // 0.1 degC, as the header will say
    int16_t temp_board = 0;
    uint32_t frame_rate = 20;  // frames per second: a moving scene's clock
};

// Where rendered format-2 frames come from: a model of the sensor looking at a scene. It
// fills the four full planes (4 * window.width * window.height samples, little-endian, rows in
// read-out order). Called under the camera's lock, one frame at a time.
class LiveSource {
  public:
    virtual ~LiveSource() = default;
    virtual void render(const Exposure &exposure, std::span<uint8_t> frame) = 0;
};

// A frame sent as it is instead of a rendered one (a recorded camera's frames): its bytes and the
// header fields that describe it.
struct SourcedFrame {
    std::vector<uint8_t> bytes;
    uint16_t fridx = 0;
    uint16_t frfmt = kFormatRawDcs;
    uint16_t width = 0;
    uint16_t height = 0;
    int16_t temp_sensor = 0;
    int16_t temp_board = 0;
    uint32_t spare = 0;
};

// The default 12-bit counter pattern: sample i of frame f.
inline uint16_t pattern_sample(uint32_t frame_index, uint32_t sample_index) {
    return static_cast<uint16_t>((sample_index + frame_index * 97u) & 0x0FFFu);
}
void render_pattern(uint32_t frame_index, std::span<uint8_t> frame);

// What one segment header says (the raw fields before encoding).
struct SegmentHeader {
    uint16_t sidx = 0;
    uint32_t len = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = kFormatRawDcs;
    uint16_t width = 0;
    uint16_t height = 0;
    int16_t temp_sensor = 0;
    int16_t temp_board = 0;
    uint32_t spare = 0;
    uint32_t data_checksum = 0;
    bool frame_start = false;
    bool checksum_valid = false;
};
// Encodes a header with its Fletcher-16 checksum.
void encode_header(const SegmentHeader &h, uint8_t *out);

class StreamGenerator {
  public:
    StreamGenerator() = default;

    // Also sets the window to the configured frame size.
    void set_config(const StreamConfig &config) {
        config_ = config;
        exposure_.window = Window::centred(config.width, config.height);
    }
    const StreamConfig &config() const { return config_; }
    void set_renderer(FrameRenderer renderer);
    void set_source(std::shared_ptr<LiveSource> source) { source_ = std::move(source); }
    void set_temperatures(int16_t sensor, int16_t board) {
        exposure_.temp_sensor = sensor;
        exposure_.temp_board = board;
    }
    // Settings of the next frames (the frame index is the generator's own). The window's size
    // is the frame size.
    void set_exposure(const Exposure &exposure) { exposure_ = exposure; }
    const Exposure &exposure() const { return exposure_; }
    void set_readout(const ReadOut &readout) { readout_ = readout; }
    const ReadOut &readout() const { return readout_; }
    // Serve this package as frames of format 171 instead of rendered frames (empty: render).
    void set_package(std::vector<uint8_t> package) { package_ = std::move(package); }
    void add_fault(StreamFault fault, unsigned count);
    void clear_faults() { corrupt_header_ = corrupt_data_ = drop_ = 0; }

    // Starts a new stream: segment and frame indices from 0, nothing buffered.
    void restart();
    // Bytes generated and not yet read.
    size_t buffered() const { return buffer_.size() - read_pos_; }
    // Generates the next unit (one frame, or frames_per_segment frames) into the buffer.
    // Returns the number of frames generated.
    uint32_t generate();
    size_t read(std::span<uint8_t> dst);
    uint32_t segments_generated() const { return segments_; }
    // Cuts a given frame into segments into the buffer, as generate() does with a rendered one.
    void emit_frame(const SourcedFrame &frame);

  private:
    void emit_segment(SegmentHeader h, std::span<const uint8_t> data);

    StreamConfig config_;
    std::shared_ptr<LiveSource> source_;
    Exposure exposure_{0, Window::centred(320, 240), 12000, 1500, true, 0, 0};
    std::vector<uint8_t> package_;
    uint16_t next_sidx_ = 0;
    uint16_t next_fridx_ = 0;
    uint32_t segments_ = 0;
    unsigned corrupt_header_ = 0;
    unsigned corrupt_data_ = 0;
    unsigned drop_ = 0;
    ReadOut readout_;
    std::vector<uint8_t> full_;    // scratch: the full frame a reduced read-out is derived from
    std::vector<uint8_t> frames_;  // scratch: the frames of the current unit
    std::vector<uint8_t> buffer_;  // encoded segments waiting to be read
    size_t read_pos_ = 0;
};

}  // namespace lumox::vcam
