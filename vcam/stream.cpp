#include "vcam/stream.h"

#include <algorithm>
#include <cstring>

namespace lumox::vcam {

void render_pattern(uint32_t frame_index, std::span<uint8_t> frame) {
    const size_t samples = frame.size() / 2;
    for (size_t i = 0; i < samples; ++i)
        put_le16(frame.data() + 2 * i, pattern_sample(frame_index, static_cast<uint32_t>(i)));
}

void encode_header(const SegmentHeader &h, uint8_t *out) {
    std::memset(out, 0, kStreamHeaderSize);
    out[0] = kStreamMagic0;
    out[1] = kStreamMagic1;
    put_le16(out + hdr::kSidx, h.sidx);
    put_le32(out + hdr::kLen, h.len);
    put_le32(out + hdr::kFrameLen, h.frlen);
    put_le16(out + hdr::kFrameIdx, h.fridx);
    put_le16(out + hdr::kFormat, h.frfmt);
    put_le16(out + hdr::kWidth, h.width);
    put_le16(out + hdr::kHeight, h.height);
    put_le16(out + hdr::kTempSensor, static_cast<uint16_t>(h.temp_sensor));
    put_le16(out + hdr::kTempBoard, static_cast<uint16_t>(h.temp_board));
    put_le32(out + hdr::kSpare, h.spare);
    put_le32(out + hdr::kDataChecksum, h.data_checksum);
    out[hdr::kFrameFlags] = h.frame_start ? 1 : 0;
    out[hdr::kDataFlags] = h.checksum_valid ? 1 : 0;
    put_le16(out + hdr::kHeaderChecksum, fletcher16({out, hdr::kHeaderChecksum}));
}

namespace {

// Geometry of the frame a read-out delivers from a full width x height frame.
struct ReducedSize {
    uint32_t width;
    uint32_t height;
};

ReducedSize reduced_size(const ReadOut &r, uint32_t width, uint32_t height) {
    return {std::max<uint32_t>(1, width >> r.col_shift),
            std::max<uint32_t>(1, height >> r.row_shift)};
}

// Derives the planes of a reduced read-out from the four full planes. Rows are grouped in read-out
// units (a row pair of the two halves, or one row); unit g of the result comes from units
// g x 2^row_shift onwards of the full frame.
void reduce(const ReadOut &r, const uint8_t *full, uint32_t width, uint32_t height, uint8_t *out) {
    const ReducedSize size = reduced_size(r, width, height);
    const uint32_t unit = r.halves == 2 ? 2 : 1;
    const uint32_t row_group = 1u << r.row_shift;
    const uint32_t col_group = 1u << r.col_shift;
    const uint32_t rows_used = r.row_average ? row_group : 1;
    const size_t plane = static_cast<size_t>(width) * height;
    const size_t plane_out = static_cast<size_t>(size.width) * size.height;
    for (uint32_t p = 0; p < r.dcs; ++p) {
        const uint8_t *src = full + 2 * plane * (p % 4);
        uint8_t *dst = out + 2 * plane_out * p;
        for (uint32_t row = 0; row < size.height; ++row) {
            const uint32_t group = row / unit, within = row % unit;
            for (uint32_t x = 0; x < size.width; ++x) {
                uint32_t sum = 0, n = 0;
                for (uint32_t j = 0; j < rows_used; ++j) {
                    const uint32_t src_row = (group * row_group + j) * unit + within;
                    if (src_row >= height) continue;
                    for (uint32_t c = 0; c < col_group && x * col_group + c < width; ++c) {
                        sum += get_le16(
                            src + 2 * (static_cast<size_t>(src_row) * width + x * col_group + c));
                        ++n;
                    }
                }
                put_le16(dst + 2 * (static_cast<size_t>(row) * size.width + x),
                         static_cast<uint16_t>(n ? sum / n : 0));
            }
        }
    }
}

}  // namespace

void StreamGenerator::add_fault(StreamFault fault, unsigned count) {
    switch (fault) {
        case StreamFault::kCorruptHeader:
            corrupt_header_ += count;
            break;
        case StreamFault::kCorruptData:
            corrupt_data_ += count;
            break;
        case StreamFault::kDropSegment:
            drop_ += count;
            break;
    }
}

void StreamGenerator::restart() {
    next_sidx_ = 0;
    next_fridx_ = 0;
    buffer_.clear();
    read_pos_ = 0;
}

size_t StreamGenerator::read(std::span<uint8_t> dst) {
    size_t n = std::min(dst.size(), buffered());
    std::memcpy(dst.data(), buffer_.data() + read_pos_, n);
    read_pos_ += n;
    if (read_pos_ == buffer_.size()) {
        buffer_.clear();
        read_pos_ = 0;
    }
    return n;
}

void StreamGenerator::emit_segment(SegmentHeader h, std::span<const uint8_t> data) {
    h.sidx = next_sidx_++;
    if (drop_ > 0) {
        --drop_;
        return;
    }
    h.len = static_cast<uint32_t>(data.size());
    h.checksum_valid = config_.data_checksum;
    h.data_checksum = config_.data_checksum ? data_checksum(data) : 0;
    const size_t start = buffer_.size();
    buffer_.resize(start + kStreamHeaderSize + data.size());
    uint8_t *out = buffer_.data() + start;
    encode_header(h, out);
    if (!data.empty()) std::memcpy(out + kStreamHeaderSize, data.data(), data.size());
    if (corrupt_header_ > 0) {
        --corrupt_header_;
        out[hdr::kFrameIdx] ^= 0x5A;
    }
    if (corrupt_data_ > 0 && !data.empty()) {
        --corrupt_data_;
        out[kStreamHeaderSize + data.size() / 2] ^= 0x5A;
    }
    ++segments_;
}

void StreamGenerator::emit_frame(const SourcedFrame &frame) {
    SegmentHeader h;
    h.frlen = static_cast<uint32_t>(frame.bytes.size());
    h.fridx = frame.fridx;
    h.frfmt = frame.frfmt;
    h.width = frame.width;
    h.height = frame.height;
    h.temp_sensor = frame.temp_sensor;
    h.temp_board = frame.temp_board;
    h.spare = frame.spare;
    h.frame_start = true;
    const uint32_t seg = std::clamp<uint32_t>(config_.segment_size, 1, kMaxSegmentLen);
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(seg, frame.bytes.size() - pos);
        emit_segment(h, {frame.bytes.data() + pos, n});
        h.frame_start = false;
        pos += n;
    } while (pos < frame.bytes.size());
    next_fridx_ = static_cast<uint16_t>(frame.fridx + 1);
}

uint32_t StreamGenerator::generate() {
    const bool package = !package_.empty();
    const bool reduced = !package && !readout_.full();
    const ReducedSize size = reduced ? reduced_size(readout_, config_.width, config_.height)
                                     : ReducedSize{config_.width, config_.height};
    const uint32_t full_bytes = 8u * static_cast<uint32_t>(config_.width) * config_.height;
    const uint32_t frame_bytes =
        package ? static_cast<uint32_t>(package_.size())
                : (reduced ? 2u * readout_.dcs * size.width * size.height : full_bytes);
    uint32_t per_segment = package ? 1 : std::max<uint32_t>(1, config_.frames_per_segment);
    if (static_cast<uint64_t>(per_segment) * frame_bytes > kMaxSegmentLen) per_segment = 1;

    SegmentHeader h;
    h.frlen = frame_bytes;
    h.fridx = next_fridx_;
    h.frfmt = package ? kFormatCalibration : kFormatRawDcs;
    h.width = package ? 0 : config_.width;
    h.height = package ? 0 : config_.height;
    h.temp_sensor = temp_sensor_;
    h.temp_board = temp_board_;
    h.frame_start = true;

    if (package) {
        frames_ = package_;
    } else {
        frames_.resize(static_cast<size_t>(per_segment) * frame_bytes);
        for (uint32_t k = 0; k < per_segment; ++k) {
            std::span<uint8_t> frame(frames_.data() + static_cast<size_t>(k) * frame_bytes,
                                     frame_bytes);
            const uint32_t index = static_cast<uint16_t>(next_fridx_ + k);
            if (reduced) full_.resize(full_bytes);
            std::span<uint8_t> target = reduced ? std::span<uint8_t>(full_) : frame;
            if (renderer_) {
                renderer_(index, target);
            } else {
                render_pattern(index, target);
            }
            if (reduced)
                reduce(readout_, full_.data(), config_.width, config_.height, frame.data());
        }
    }
    next_fridx_ = static_cast<uint16_t>(next_fridx_ + per_segment);

    if (per_segment > 1) {
        emit_segment(h, frames_);
        return per_segment;
    }
    const uint32_t seg = std::clamp<uint32_t>(config_.segment_size, 1, kMaxSegmentLen);
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(seg, frames_.size() - pos);
        emit_segment(h, {frames_.data() + pos, n});
        h.frame_start = false;
        pos += n;
    } while (pos < frames_.size());
    return 1;
}

}  // namespace lumox::vcam
