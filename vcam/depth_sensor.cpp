#include "vcam/depth_sensor.h"

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <memory>
#include <string>

#include "vcam/wire.h"

namespace lumox::vcam {

namespace {

constexpr double kHalfLightSpeedMmPerS = 149896229000.0;
constexpr double kPeriod = 30000.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kMixedMm = 100.0;  // returns this far apart make a mixed pixel

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

uint64_t splitmix64(uint64_t &s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// xoshiro256** with Box-Muller normals: fast, and the same numbers on every platform.
class Noise {
  public:
    explicit Noise(uint64_t seed) {
        for (uint64_t &w : s_) w = splitmix64(seed);
    }
    double uniform() {  // (0, 1)
        return (static_cast<double>(next() >> 11) + 0.5) * (1.0 / 9007199254740992.0);
    }
    // Marsaglia's polar method: pairs of exact normals without trigonometry.
    double normal() {
        if (have_) {
            have_ = false;
            return spare_;
        }
        double u, v, q;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            q = u * u + v * v;
        } while (q >= 1.0 || q == 0.0);
        const double f = std::sqrt(-2.0 * std::log(q) / q);
        spare_ = v * f;
        have_ = true;
        return u * f;
    }
    // A normal from the inverse of its distribution, tabulated and interpolated: several times
    // faster than the exact one, with the tails cut beyond 3.7 standard deviations. Two per draw
    // of 64 bits.
    void normal_pair(double &a, double &b) {
        const uint64_t r = next();
        a = from_table(static_cast<uint32_t>(r));
        b = from_table(static_cast<uint32_t>(r >> 32));
    }

  private:
    static constexpr int kTableBits = 12;
    static const std::vector<float> &table() {
        static const std::vector<float> t = [] {
            // Inverse normal distribution at i / N (the ends at 0.5 / N from 0 and 1), by
            // bisection of the error function.
            const int n = 1 << kTableBits;
            std::vector<float> v(n + 1);
            for (int i = 0; i <= n; ++i) {
                const double p = std::clamp(static_cast<double>(i) / n, 0.5 / n, 1 - 0.5 / n);
                double lo = -9, hi = 9;
                for (int it = 0; it < 60; ++it) {
                    const double mid = 0.5 * (lo + hi);
                    (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
                }
                v[i] = static_cast<float>(0.5 * (lo + hi));
            }
            return v;
        }();
        return t;
    }
    static double from_table(uint32_t r) {
        const std::vector<float> &t = table();
        const uint32_t i = r >> (32 - kTableBits);
        const float f = static_cast<float>(r & ((1u << (32 - kTableBits)) - 1)) *
                        (1.0f / static_cast<float>(1u << (32 - kTableBits)));
        return t[i] + (t[i + 1] - t[i]) * f;
    }
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    uint64_t s_[4];
    double spare_ = 0;
    bool have_ = false;
};

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

// The rays of every pixel of a window (the footprint's s x s, then the centre's), shared by the
// models of a process: casting them through the lens is the costly part of a new scene.
struct RayKey {
    Lens lens;
    Window window;
    int s;
    bool operator==(const RayKey &o) const {
        return std::memcmp(&lens, &o.lens, sizeof lens) == 0 && window == o.window && s == o.s;
    }
};

std::shared_ptr<const std::vector<Vec3>> rays_of(const Lens &lens, const Window &window, int s) {
    static std::mutex mutex;
    static std::vector<std::pair<RayKey, std::shared_ptr<const std::vector<Vec3>>>> cache;
    const RayKey key{lens, window, s};
    {
        std::lock_guard lock(mutex);
        for (const auto &entry : cache)
            if (entry.first == key) return entry.second;
    }
    auto rays = std::make_shared<std::vector<Vec3>>();
    const size_t per = static_cast<size_t>(s) * s + 1;
    rays->resize(per * window.width * window.height);
    size_t at = 0;
    for (uint32_t y = 0; y < window.height; ++y) {
        const double v0 = window.array_row(y);
        for (uint32_t x = 0; x < window.width; ++x) {
            const double u0 = window.array_col(x);
            for (int a = 0; a < s; ++a)
                for (int b = 0; b < s; ++b)
                    (*rays)[at++] = lens.ray(u0 + (b + 0.5) / s - 0.5, v0 + (a + 0.5) / s - 0.5);
            (*rays)[at++] = lens.ray(u0, v0);
        }
    }
    std::lock_guard lock(mutex);
    if (cache.size() >= 4) cache.erase(cache.begin());
    cache.emplace_back(key, rays);
    return rays;
}

}  // namespace

double range_mm(uint32_t modulation_khz) {
    return kHalfLightSpeedMmPerS / (std::max<uint32_t>(1, modulation_khz) * 1000.0);
}

// ---------------------------------------------------------------------------------------------
// Pixel response

DepthSensor::DepthSensor(DepthSensorConfig config) : config_(config) {
    // The fixed pattern belongs to the chip: drawn from its id, the same on every run.
    Noise chip(0xC41B0000ull + config_.chip_id);
    const size_t n = static_cast<size_t>(config_.width) * config_.height;
    random_offset_.resize(n);
    random_baseline_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        random_offset_[i] = static_cast<float>(chip.normal() * config_.pixel_offset_mm);
        random_baseline_[i] = static_cast<float>(chip.normal() * config_.baseline_spread);
    }
}

double DepthSensor::pixel_offset(uint32_t col, uint32_t row) const {
    const double w = config_.width, h = config_.height;
    const double u = kTwoPi * col / (w / 2.0);
    const double v = kTwoPi * row / (h / 2.0);
    double off = config_.nonuniformity_mm * std::sin(u) * std::cos(v);
    if (col < config_.width && row < config_.height)
        off += random_offset_[static_cast<size_t>(row) * config_.width + col];
    return off;
}

double DepthSensor::column_gain(uint32_t col) const {
    return 1.0 + config_.gain_spread * (2.0 * col / (config_.width - 1.0) - 1.0);
}

double DepthSensor::baseline_offset(uint32_t col, uint32_t row) const {
    if (col >= config_.width || row >= config_.height) return 0;
    return random_baseline_[static_cast<size_t>(row) * config_.width + col];
}

double DepthSensor::drift_mm(int16_t temp_sensor, int16_t temp_board) const {
    const double ds = temp_sensor - config_.ref_sensor;
    const double db = temp_board - config_.ref_board;
    return config_.drift_sensor * ds + config_.drift_board * db +
           config_.drift_quadratic * (ds / 10.0) * (ds / 10.0);
}

double DepthSensor::measured_mm(uint32_t col, uint32_t row, double distance_mm,
                                uint32_t modulation_khz, int16_t temp_sensor,
                                int16_t temp_board) const {
    const double cyclic =
        config_.cyclic_mm * std::sin(4.0 * kTwoPi * distance_mm / vcam::range_mm(modulation_khz));
    return distance_mm * column_gain(col) + config_.offset_mm + pixel_offset(col, row) + cyclic +
           drift_mm(temp_sensor, temp_board);
}

uint16_t DepthSensor::phase(uint32_t col, uint32_t row, double distance_mm) const {
    double p = std::fmod(measured_mm(col, row, distance_mm) / range_mm() * kPeriod, kPeriod);
    if (p < 0) p += kPeriod;
    return static_cast<uint16_t>(static_cast<uint32_t>(std::lround(p)) % 30000);
}

double DepthSensor::corrected_mm(uint32_t col, uint32_t row, double measured,
                                 uint32_t modulation_khz) const {
    const double range = vcam::range_mm(modulation_khz);
    double m = measured - config_.offset_mm - pixel_offset(col, row) -
               drift_mm(config_.temp_sensor, config_.temp_board);
    if (m < -0.25 * range) m += range;  // wrapped past the range
    const double gain = column_gain(col);
    double d = m / gain;
    for (int i = 0; i < 4; ++i)
        d = (m - config_.cyclic_mm * std::sin(4.0 * kTwoPi * d / range)) / gain;
    return d;
}

double DepthSensor::sample_sigma(double amplitude, uint32_t integration_us) const {
    const double light = config_.ambient_per_us * integration_us + amplitude;
    return std::sqrt(config_.read_noise * config_.read_noise + config_.shot_gain * light);
}

double DepthSensor::distance_sigma_mm(double amplitude, uint32_t modulation_khz,
                                      uint32_t integration_us, bool) const {
    // Each quadrature difference halves two samples' noise: sigma / sqrt(2) against amplitude.
    const double s = sample_sigma(amplitude, integration_us) / std::sqrt(2.0);
    return vcam::range_mm(modulation_khz) / kTwoPi * s / std::max(amplitude, 1e-9);
}

// ---------------------------------------------------------------------------------------------
// Calibration

std::vector<uint8_t> DepthSensor::parameter_file() const {
    std::vector<uint8_t> p(24, 0);
    put_le32(&p[0], config_.modulation_khz);
    put_le32(&p[4], static_cast<uint32_t>(std::lround(config_.offset_mm / range_mm() * kPeriod)));
    put_le32(&p[8], static_cast<uint32_t>(static_cast<int32_t>(config_.temp_sensor)));
    put_double(&p[12], config_.step_mm);
    put_le32(&p[20], static_cast<uint32_t>(static_cast<int32_t>(config_.temp_board)));
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

// ---------------------------------------------------------------------------------------------
// The sensor looking at a scene

SensorModel::SensorModel(Scene scene, DepthSensorConfig config)
    : sensor_(config), scene_(std::move(scene)) {}

void SensorModel::prepare(const Window &window, uint32_t modulation_khz) {
    if (!pixels_.empty() && window == window_ && modulation_khz == khz_) return;
    window_ = window;
    khz_ = modulation_khz;
    const DepthSensorConfig &c = sensor_.config();
    const uint32_t w = window.width, h = window.height;
    const size_t n = static_cast<size_t>(w) * h;
    const double range = range_mm(modulation_khz);
    pixels_.assign(n, Pixel{});
    truth_ = Truth{};
    truth_.width = w;
    truth_.height = h;
    truth_.distance_mm.assign(n, 0.0f);
    truth_.amplitude.assign(n, 0.0f);
    truth_.mixed.assign(n, 0);
    truth_.surface.assign(n, -1);
    truth_.near_mm.assign(n, 0.0f);
    truth_.far_mm.assign(n, 0.0f);
    const int s = std::max(1, c.supersample);
    const double share = 1.0 / (s * s);
    const auto rays = rays_of(c.lens, window, s);
    const Vec3 *ray = rays->data();
    for (uint32_t y = 0; y < h; ++y) {
        const double v0 = window.array_row(y);
        for (uint32_t x = 0; x < w; ++x) {
            const double u0 = window.array_col(x);
            const auto col = static_cast<uint32_t>(std::clamp<double>(u0, 0, c.width - 1));
            const auto row = static_cast<uint32_t>(std::clamp<double>(v0, 0, c.height - 1));
            const size_t i = static_cast<size_t>(y) * w + x;
            pixels_[i].col = col;
            pixels_[i].row = row;
            pixels_[i].level = static_cast<float>(c.baseline + sensor_.baseline_offset(col, row));
            std::complex<double> sum = 0;
            double nearest = 1e30, farthest = 0;
            int hits = 0;
            for (int a = 0; a < s * s; ++a) {
                {
                    const auto hit = scene_.cast(*ray++);
                    if (!hit) continue;
                    ++hits;
                    nearest = std::min(nearest, hit->distance);
                    farthest = std::max(farthest, hit->distance);
                    const double m = hit->distance / 1000.0;
                    const double amp = c.sensitivity * hit->reflectivity * hit->cos_incidence /
                                       std::max(m * m, 1e-6) * share;
                    // The static response (no drift): the frame adds the drift as a rotation.
                    const double measured = sensor_.measured_mm(
                        col, row, hit->distance, modulation_khz, c.ref_sensor, c.ref_board);
                    sum += std::polar(amp, kTwoPi * measured / range);
                }
            }
            pixels_[i].response = sum;
            if (hits > 0) {
                truth_.near_mm[i] = static_cast<float>(nearest);
                truth_.far_mm[i] = static_cast<float>(farthest);
                truth_.mixed[i] = (farthest - nearest > kMixedMm || hits < s * s) ? 1 : 0;
            }
            if (const auto centre = scene_.cast(*ray++)) {
                truth_.distance_mm[i] = static_cast<float>(centre->distance);
                truth_.surface[i] = static_cast<int16_t>(centre->surface);
            }
        }
    }
}

void SensorModel::render(const Exposure &e, std::span<uint8_t> frame) {
    std::lock_guard lock(mutex_);
    const uint32_t w = e.window.width, h = e.window.height;
    const size_t plane = static_cast<size_t>(w) * h;
    if (frame.size() < 8 * plane || plane == 0) return;
    prepare(e.window, e.modulation_khz);
    const DepthSensorConfig &c = sensor_.config();
    const double range = range_mm(e.modulation_khz);
    const double t = e.integration_us;
    const std::complex<double> drift =
        std::polar(t, kTwoPi * sensor_.drift_mm(e.temp_sensor, e.temp_board) / range);
    const double ambient = c.ambient_per_us * t;
    const double level_ambient = ambient * (e.ambient_suppression ? c.ambient_residual : 1.0);
    const double read2 = c.read_noise * c.read_noise;
    uint64_t seed = c.seed;
    const uint64_t frame_seed = splitmix64(seed) ^ (0xD1B54A32D192ED03ull * (frames_ + 1));
    Noise noise(frame_seed);
    ++frames_;

    for (uint32_t r = 0; r < h; ++r) {
        const uint32_t y = image_row(r, h);
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            const Pixel &px = pixels_[i];
            const std::complex<double> z = px.response * drift;
            const double amp = std::sqrt(z.real() * z.real() + z.imag() * z.imag());
            truth_.amplitude[i] = static_cast<float>(amp);
            const uint32_t col = px.col, row = px.row;
            const double level = px.level + level_ambient;
            const double sigma = std::sqrt(read2 + c.shot_gain * (ambient + amp));
            const double ideal[4] = {level + z.real(), level + z.imag(), level - z.real(),
                                     level - z.imag()};
            double v[4];
            bool clipped = false;
            double n[4];
            noise.normal_pair(n[0], n[1]);
            noise.normal_pair(n[2], n[3]);
            for (int k = 0; k < 4; ++k) {
                v[k] = std::clamp(std::floor(ideal[k] + sigma * n[k] + 0.5), 0.0, 4095.0);
                clipped = clipped || v[k] <= 0.0 || v[k] >= 4095.0;
            }
            if (c.corrects_pixels && !clipped) {
                // The firmware's own decode and per-pixel correction, re-encoded at the phase of
                // the corrected distance.
                const double re = (v[0] - v[2]) / 2, im = (v[1] - v[3]) / 2;
                const double a = std::hypot(re, im);
                double m = std::atan2(im, re) / kTwoPi * range;
                if (m < 0) m += range;
                const double d = sensor_.corrected_mm(col, row, m, e.modulation_khz);
                const double mean = (v[0] + v[1] + v[2] + v[3]) / 4;
                const double beta = kTwoPi * d / range;
                // The rotated vector may reach past the 12-bit range where the measured one did
                // not: a sample clamped there would pass a wrong distance as a good one. The
                // decode reads only the differences of the pairs (0, 2) and (1, 3): a pair that
                // leaves the range moves into it whole, and a vector longer than a pair can span
                // keeps its phase at the longest length that fits. Only what the ADC clipped
                // leaves the camera saturated.
                constexpr double kHalfSpan = (4094.0 - 1.0) / 2;
                double cr = a * std::cos(beta), ci = a * std::sin(beta);
                const double longest = std::max(std::abs(cr), std::abs(ci));
                if (longest > kHalfSpan) cr *= kHalfSpan / longest, ci *= kHalfSpan / longest;
                double out[4] = {mean + cr, mean + ci, mean - cr, mean - ci};
                for (int k = 0; k < 2; ++k) {
                    const int top = out[k] >= out[k + 2] ? k : k + 2;
                    const int bottom = top == k ? k + 2 : k;
                    if (out[top] > 4094.0) {
                        out[bottom] -= out[top] - 4094.0;
                        out[top] = 4094.0;
                    }
                    if (out[bottom] < 1.0) {
                        out[top] += 1.0 - out[bottom];
                        out[bottom] = 1.0;
                    }
                }
                for (int k = 0; k < 4; ++k) v[k] = std::clamp(std::round(out[k]), 0.0, 4095.0);
            }
            const size_t at = static_cast<size_t>(r) * w + x;
            for (size_t k = 0; k < 4; ++k)
                put_le16(&frame[2 * (k * plane + at)], static_cast<uint16_t>(v[k]));
        }
    }
}

Truth SensorModel::truth() const {
    std::lock_guard lock(mutex_);
    return truth_;
}

Truth SensorModel::truth_for(const Exposure &e) {
    std::lock_guard lock(mutex_);
    prepare(e.window, e.modulation_khz);
    Truth t = truth_;
    const std::complex<double> unit = std::polar(static_cast<double>(e.integration_us), 0.0);
    for (size_t i = 0; i < pixels_.size(); ++i)
        t.amplitude[i] = static_cast<float>(std::abs(pixels_[i].response * unit));
    return t;
}

uint64_t SensorModel::frames_rendered() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

}  // namespace lumox::vcam
