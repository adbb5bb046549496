#include "vcam/depth_sensor.h"

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>

#include "vcam/wire.h"

namespace lumox::vcam {

namespace {

constexpr double kHalfLightSpeedMmPerS = 149896229000.0;
constexpr double kPeriod = 30000.0;

// Image row of read-out row r: the two halves leave the sensor from the centre outwards, even
// read-out rows going up from the middle, odd ones going down.
uint32_t image_row(uint32_t r, uint32_t height) {
    return (r % 2 == 0) ? height / 2 - 1 - r / 2 : height / 2 + r / 2;
}

void put_double(uint8_t *p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

// A zip archive of one entry, built in memory.
std::vector<uint8_t> zip_one(const std::string &name, const std::vector<uint8_t> &content) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *archive = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!archive) throw std::runtime_error("zip buffer");
    zip_source_keep(archive);
    zip_t *z = zip_open_from_source(archive, ZIP_TRUNCATE, &error);
    zip_source_t *entry = z ? zip_source_buffer(z, content.data(), content.size(), 0) : nullptr;
    if (!entry || zip_file_add(z, name.c_str(), entry, ZIP_FL_OVERWRITE) < 0 || zip_close(z) < 0) {
        if (entry) zip_source_free(entry);
        if (z) zip_discard(z);
        zip_source_free(archive);
        throw std::runtime_error("zip archive");
    }
    std::vector<uint8_t> bytes;
    if (zip_source_open(archive) == 0) {
        zip_source_seek(archive, 0, SEEK_END);
        bytes.resize(static_cast<size_t>(zip_source_tell(archive)));
        zip_source_seek(archive, 0, SEEK_SET);
        if (zip_source_read(archive, bytes.data(), bytes.size()) !=
            static_cast<zip_int64_t>(bytes.size()))
            bytes.clear();
        zip_source_close(archive);
    }
    zip_source_free(archive);
    if (bytes.empty()) throw std::runtime_error("zip read-back");
    return bytes;
}

}  // namespace

DepthSensor::DepthSensor(DepthSensorConfig config) : config_(config) {}

double DepthSensor::range_mm() const {
    return kHalfLightSpeedMmPerS / (config_.modulation_khz * 1000.0);
}

double DepthSensor::measured_mm(uint32_t x, uint32_t y, double distance_mm) const {
    const double w = config_.width;
    const double h = config_.height;
    const double u = 2.0 * std::numbers::pi * x / (w / 2.0);
    const double v = 2.0 * std::numbers::pi * y / (h / 2.0);
    const double pixel_offset = config_.nonuniformity_mm * std::sin(u) * std::cos(v);
    const double gain = 1.0 + config_.gain_spread * (2.0 * x / (w - 1.0) - 1.0);
    return distance_mm * gain + config_.offset_mm + pixel_offset;
}

uint16_t DepthSensor::phase(uint32_t x, uint32_t y, double distance_mm) const {
    double p = std::fmod(measured_mm(x, y, distance_mm) / range_mm() * kPeriod, kPeriod);
    if (p < 0) p += kPeriod;
    const auto q = static_cast<uint32_t>(std::lround(p));
    return static_cast<uint16_t>(q % 30000);
}

void DepthSensor::render(const Scene &scene, std::span<uint8_t> frame) const {
    const uint32_t w = config_.width;
    const uint32_t h = config_.height;
    const size_t plane = static_cast<size_t>(w) * h;
    if (frame.size() < 8 * plane) return;
    for (uint32_t r = 0; r < h; ++r) {
        const uint32_t y = image_row(r, h);
        for (uint32_t x = 0; x < w; ++x) {
            double distance = scene.wall_mm;
            double reflectivity = scene.wall_reflectivity;
            for (const SceneObject &o : scene.objects) {
                if (x >= o.x0 && x < o.x1 && y >= o.y0 && y < o.y1) {
                    distance = o.distance_mm;
                    reflectivity = o.reflectivity;
                }
            }
            const double fall_off = scene.reference_mm / std::max(distance, 1.0);
            const double a = config_.amplitude * reflectivity * fall_off * fall_off;
            // The decoder reads the phase as atan2(d3 - d1, d2 - d0) shifted by half a period.
            const double angle =
                (phase(x, y, distance) - kPeriod / 2) * 2.0 * std::numbers::pi / kPeriod;
            const double c = a * std::cos(angle) / 2.0;
            const double s = a * std::sin(angle) / 2.0;
            const double dcs[4] = {2048.0 - c, 2048.0 - s, 2048.0 + c, 2048.0 + s};
            const size_t i = static_cast<size_t>(r) * w + x;
            for (size_t k = 0; k < 4; ++k) {
                const double v = std::clamp(std::round(dcs[k]), 0.0, 4095.0);
                put_le16(&frame[2 * (k * plane + i)], static_cast<uint16_t>(v));
            }
        }
    }
}

FrameRenderer DepthSensor::scene(Scene scene) const {
    return [sensor = *this, scene = std::move(scene)](uint32_t, std::span<uint8_t> frame) {
        sensor.render(scene, frame);
    };
}

FrameRenderer DepthSensor::wall(double distance_mm) const {
    Scene s;
    s.wall_mm = distance_mm;
    s.reference_mm = distance_mm;
    return scene(std::move(s));
}

Scene DepthSensor::box_scene(double wall_mm) {
    Scene s;
    s.wall_mm = wall_mm;
    s.reference_mm = wall_mm;
    s.objects.push_back({100, 70, 220, 170, 0.6 * wall_mm, 0.8});
    s.objects.push_back({0, 215, 320, 240, wall_mm, 0.05});
    return s;
}

std::vector<uint8_t> DepthSensor::parameter_file() const {
    std::vector<uint8_t> p(24, 0);
    put_le32(&p[0], config_.modulation_khz);
    put_le32(&p[4], static_cast<uint32_t>(std::lround(config_.offset_mm / range_mm() * kPeriod)));
    put_le32(&p[8], static_cast<uint32_t>(config_.temp_sensor));
    put_double(&p[12], config_.step_mm);
    put_le32(&p[20], static_cast<uint32_t>(config_.temp_board));
    return p;
}

std::vector<uint8_t> DepthSensor::distance_images() const {
    const uint32_t w = config_.width;
    const uint32_t h = config_.height;
    std::vector<uint8_t> images(static_cast<size_t>(config_.distances) * w * h * 2);
    size_t at = 0;
    for (uint32_t k = 0; k < config_.distances; ++k) {
        const double wall = 295.0 + k * config_.step_mm;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x, at += 2) put_le16(&images[at], phase(x, y, wall));
    }
    return images;
}

std::vector<uint8_t> DepthSensor::package() const {
    std::vector<uint8_t> content = parameter_file();
    const std::vector<uint8_t> images = distance_images();
    content.insert(content.end(), images.begin(), images.end());
    char name[40];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", config_.chip_id);
    const std::vector<uint8_t> archive = zip_one(name, content);

    std::vector<uint8_t> package(17 + archive.size(), 0);
    package[0] = 1;  // valid
    package[2] = 1;  // zip
    put_le32(&package[3], 1);
    put_le32(&package[7], static_cast<uint32_t>(package.size()));
    put_le32(&package[11], static_cast<uint32_t>(archive.size()));
    std::memcpy(&package[17], archive.data(), archive.size());
    uint16_t sum = 0;
    for (uint8_t b : archive) sum = static_cast<uint16_t>(sum + b);
    put_le16(&package[15], sum);
    return package;
}

}  // namespace lumox::vcam
