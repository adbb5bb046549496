#include "ros2/messages.h"

#include "ros2/pixel_encoding.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace lumox::ros2 {

namespace {

constexpr uint8_t kFloat32 = 7;  // sensor_msgs/PointField FLOAT32
constexpr uint32_t kPointStep = 16;

// The header's stamp and frame id; frame_id is the storage the sample's pointer refers to.
void set_header(std_msgs_msg_dds__Header_ *out, const Header &h, std::string *frame_id) {
    // Floor division: a stamp before 1970 keeps nanosec in [0, 1e9).
    int64_t sec = h.wall_ns / 1000000000;
    int64_t nsec = h.wall_ns % 1000000000;
    if (nsec < 0) {
        nsec += 1000000000;
        --sec;
    }
    out->stamp.sec = static_cast<int32_t>(sec);
    out->stamp.nanosec = static_cast<uint32_t>(nsec);
    *frame_id = h.frame_id;
    out->frame_id = frame_id->data();
}

template <typename Seq, typename T>
void point_at(Seq *seq, std::vector<T> &storage) {
    seq->_buffer = storage.data();
    seq->_length = static_cast<uint32_t>(storage.size());
    seq->_maximum = seq->_length;
    seq->_release = false;
}

}  // namespace

const char *encoding_name(DepthEncoding e) {
    return e == DepthEncoding::kMillimetres16 ? "16UC1" : "32FC1";
}

ImageMessage::ImageMessage() = default;

void ImageMessage::finish(const Header &h, uint32_t width, uint32_t height, const char *encoding,
                          uint32_t pixel_bytes) {
    set_header(&msg_.header, h, &frame_id_);
    msg_.height = height;
    msg_.width = width;
    encoding_ = encoding;
    msg_.encoding = encoding_.data();
    msg_.is_bigendian = 0;
    msg_.step = width * pixel_bytes;
    point_at(&msg_.data, data_);
}

void ImageMessage::fill_depth(const Header &h, const float *metres, uint32_t width, uint32_t height,
                              DepthEncoding encoding) {
    const size_t n = static_cast<size_t>(width) * height;
    if (encoding == DepthEncoding::kMillimetres16) {
        data_.resize(2 * n);
        encode_millimetres(metres, n, data_.data());
        finish(h, width, height, "16UC1", 2);
    } else {
        data_.resize(4 * n);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (size_t i = 0; i < n; ++i) {
            const float v = has_distance(metres[i]) ? metres[i] : nan;
            std::memcpy(&data_[4 * i], &v, 4);
        }
        finish(h, width, height, "32FC1", 4);
    }
}

void ImageMessage::fill_amplitude(const Header &h, const float *amplitude, uint32_t width,
                                  uint32_t height) {
    const size_t n = static_cast<size_t>(width) * height;
    data_.resize(2 * n);
    encode_amplitudes(amplitude, n, data_.data());
    finish(h, width, height, "16UC1", 2);
}

CameraInfoMessage::CameraInfoMessage() = default;

void CameraInfoMessage::fill(const Header &h, const CameraModel &m) {
    set_header(&msg_.header, h, &frame_id_);
    const uint32_t bx = m.binning_x ? m.binning_x : 1;
    const uint32_t by = m.binning_y ? m.binning_y : 1;
    msg_.height = m.height * by;
    msg_.width = m.width * bx;
    model_ = m.distortion_model;
    msg_.distortion_model = model_.data();
    std::memcpy(d_, m.d, sizeof d_);
    msg_.d._buffer = d_;
    msg_.d._length = msg_.d._maximum = 5;
    msg_.d._release = false;
    const double fx = m.fx * bx, fy = m.fy * by, cx = m.cx * bx, cy = m.cy * by;
    const double k[9] = {fx, 0, cx, 0, fy, cy, 0, 0, 1};
    const double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double p[12] = {fx, 0, cx, 0, 0, fy, cy, 0, 0, 0, 1, 0};
    std::memcpy(msg_.k, k, sizeof k);
    std::memcpy(msg_.r, r, sizeof r);
    std::memcpy(msg_.p, p, sizeof p);
    msg_.binning_x = bx;
    msg_.binning_y = by;
    msg_.roi = {};
}

PointCloudMessage::PointCloudMessage() {
    static char kNames[4][10] = {"x", "y", "z", "intensity"};
    for (uint32_t i = 0; i < 4; ++i) fields_[i] = {kNames[i], 4 * i, kFloat32, 1};
    msg_.fields._buffer = fields_;
    msg_.fields._length = msg_.fields._maximum = 4;
    msg_.fields._release = false;
}

void PointCloudMessage::fill(const Header &h, const float *xyz, const float *intensity,
                             uint32_t width, uint32_t height, PointLayout layout) {
    set_header(&msg_.header, h, &frame_id_);
    const size_t n = static_cast<size_t>(width) * height;
    data_.resize(n * kPointStep);
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        const float *p = xyz + 3 * i;
        if (layout == PointLayout::kDense &&
            (std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2])))
            continue;
        const float point[4] = {p[0], p[1], p[2], intensity ? intensity[i] : 0.0f};
        std::memcpy(&data_[out * kPointStep], point, kPointStep);
        ++out;
    }
    data_.resize(out * kPointStep);
    const bool dense = layout == PointLayout::kDense;
    msg_.height = dense ? 1 : height;
    msg_.width = dense ? static_cast<uint32_t>(out) : width;
    msg_.is_bigendian = false;
    msg_.point_step = kPointStep;
    msg_.row_step = msg_.width * kPointStep;
    point_at(&msg_.data, data_);
    msg_.is_dense = dense;
}

DiagnosticsMessage::DiagnosticsMessage() = default;

void DiagnosticsMessage::fill(const Header &h, const DiagnosticStatus &status) {
    set_header(&msg_.header, h, &frame_id_);
    status_ = status;
    values_.resize(status_.values.size());
    for (size_t i = 0; i < values_.size(); ++i)
        values_[i] = {status_.values[i].first.data(), status_.values[i].second.data()};
    c_status_.level = status_.level;
    c_status_.name = status_.name.data();
    c_status_.message = status_.message.data();
    c_status_.hardware_id = status_.hardware_id.data();
    point_at(&c_status_.values, values_);
    msg_.status._buffer = &c_status_;
    msg_.status._length = msg_.status._maximum = 1;
    msg_.status._release = false;
}

StaticTransformMessage::StaticTransformMessage() = default;

void StaticTransformMessage::fill(int64_t wall_ns, const std::string &parent,
                                  const std::string &child) {
    set_header(&transform_.header, Header{wall_ns, parent}, &parent_);
    child_ = child;
    transform_.child_frame_id = child_.data();
    transform_.transform.translation = {0, 0, 0};
    transform_.transform.rotation = {-0.5, 0.5, -0.5, 0.5};
    msg_.transforms._buffer = &transform_;
    msg_.transforms._length = msg_.transforms._maximum = 1;
    msg_.transforms._release = false;
}

}  // namespace lumox::ros2
