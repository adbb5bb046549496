// ROS 2 messages filled from decoded frames. Each message class owns the memory its DDS sample
// points into and reuses it from frame to frame, so that publishing allocates nothing once the
// first frame of a size has gone out. sample() is valid until the next fill.
//
// Conventions (REP-103, REP-118): depth images are 16UC1 millimetres with 0 where a pixel has
// no distance, or 32FC1 metres with NaN there; points are metres in the optical frame (x right,
// y down, z forward). A pixel has a distance when it lies in (0, 60) metres, the library's rule
// for its distance images (the codes 65.3, 65.4 and 65.5 mark pixels without one).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ros2_msgs.h"

namespace lumox::ros2 {

struct Header {
    int64_t wall_ns = 0;  // nanoseconds since 1970-01-01 UTC
    std::string frame_id;
};

enum class DepthEncoding { kMillimetres16, kMetres32 };  // "16UC1", "32FC1"
const char *encoding_name(DepthEncoding e);

// The camera model of one frame size (the library's intrinsics): pinhole and plumb_bob
// distortion, in pixels of the frame; binning is lens-image pixels per frame pixel.
struct CameraModel {
    uint32_t width = 0, height = 0;
    uint32_t binning_x = 1, binning_y = 1;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    std::string distortion_model = "plumb_bob";
    double d[5] = {};  // k1 k2 p1 p2 k3
};

class ImageMessage {
  public:
    ImageMessage();
    ImageMessage(const ImageMessage &) = delete;
    ImageMessage &operator=(const ImageMessage &) = delete;
    // Distances in metres (the library's distance image) as a depth image.
    void fill_depth(const Header &h, const float *metres, uint32_t width, uint32_t height,
                    DepthEncoding encoding);
    // Amplitudes as 16UC1, rounded and clamped to 0-65535.
    void fill_amplitude(const Header &h, const float *amplitude, uint32_t width, uint32_t height);
    const sensor_msgs_msg_dds__Image_ *sample() const { return &msg_; }

  private:
    void finish(const Header &h, uint32_t width, uint32_t height, const char *encoding,
                uint32_t pixel_bytes);
    std::string frame_id_;
    std::string encoding_;
    std::vector<uint8_t> data_;
    sensor_msgs_msg_dds__Image_ msg_{};
};

// CameraInfo in ROS's convention for binned images: height, width, K and P describe the lens
// image the binning starts from (the frame's size times its binning), binning_x and binning_y the
// frame's binning, so that consumers (image_geometry, RViz2) scale them to the frame. R is the
// identity, P = K with a zero fourth column, D = k1 k2 p1 p2 k3.
class CameraInfoMessage {
  public:
    CameraInfoMessage();
    CameraInfoMessage(const CameraInfoMessage &) = delete;
    CameraInfoMessage &operator=(const CameraInfoMessage &) = delete;
    void fill(const Header &h, const CameraModel &model);
    const sensor_msgs_msg_dds__CameraInfo_ *sample() const { return &msg_; }

  private:
    std::string frame_id_;
    std::string model_;
    double d_[5] = {};
    sensor_msgs_msg_dds__CameraInfo_ msg_{};
};

enum class PointLayout { kOff, kOrganized, kDense };

// PointCloud2 of x y z intensity, float32 each (point_step 16). Organised: one point per pixel,
// width x height, NaN x y z where a pixel has no point, is_dense false. Dense: only the points,
// height 1, is_dense true.
class PointCloudMessage {
  public:
    PointCloudMessage();
    PointCloudMessage(const PointCloudMessage &) = delete;
    PointCloudMessage &operator=(const PointCloudMessage &) = delete;
    // xyz: width x height points (3 floats each, NaN where none), as the library's organised
    // points; intensity: width x height amplitudes, or null for 0.
    void fill(const Header &h, const float *xyz, const float *intensity, uint32_t width,
              uint32_t height, PointLayout layout);
    const sensor_msgs_msg_dds__PointCloud2_ *sample() const { return &msg_; }

  private:
    std::string frame_id_;
    std::vector<uint8_t> data_;
    sensor_msgs_msg_dds__PointField_ fields_[4]{};
    sensor_msgs_msg_dds__PointCloud2_ msg_{};
};

// One status line of the diagnostics: level 0 OK, 1 WARN, 2 ERROR; values as key and text.
struct DiagnosticStatus {
    uint8_t level = 0;
    std::string name;
    std::string message;
    std::string hardware_id;
    std::vector<std::pair<std::string, std::string>> values;
};

class DiagnosticsMessage {
  public:
    DiagnosticsMessage();
    DiagnosticsMessage(const DiagnosticsMessage &) = delete;
    DiagnosticsMessage &operator=(const DiagnosticsMessage &) = delete;
    void fill(const Header &h, const DiagnosticStatus &status);
    const diagnostic_msgs_msg_dds__DiagnosticArray_ *sample() const { return &msg_; }

  private:
    std::string frame_id_;
    DiagnosticStatus status_;
    std::vector<diagnostic_msgs_msg_dds__KeyValue_> values_;
    diagnostic_msgs_msg_dds__DiagnosticStatus_ c_status_{};
    diagnostic_msgs_msg_dds__DiagnosticArray_ msg_{};
};

// The static transform of the optical frame under the camera's body frame: no translation, the
// REP-103 rotation from a body frame (x forward, y left, z up) to an optical one (z forward,
// x right, y down).
class StaticTransformMessage {
  public:
    StaticTransformMessage();
    StaticTransformMessage(const StaticTransformMessage &) = delete;
    StaticTransformMessage &operator=(const StaticTransformMessage &) = delete;
    void fill(int64_t wall_ns, const std::string &parent, const std::string &child);
    const tf2_msgs_msg_dds__TFMessage_ *sample() const { return &msg_; }

  private:
    std::string parent_;
    std::string child_;
    geometry_msgs_msg_dds__TransformStamped_ transform_{};
    tf2_msgs_msg_dds__TFMessage_ msg_{};
};

}  // namespace lumox::ros2
