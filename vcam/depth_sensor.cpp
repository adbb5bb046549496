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
// What a pixel's samples saw: more than one thing, or nothing yet.
constexpr int16_t kSeveral = -2, kUnset = -3;

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

double DepthSensor::compensation_mm(int16_t temp_sensor, int16_t temp_board) const {
    return config_.drift_sensor * (temp_sensor - config_.temp_sensor) +
           config_.drift_board * (temp_board - config_.temp_board);
}

double DepthSensor::emitter(const Vec3 &dir) const {
    const double angle = std::acos(std::clamp(dir.z, -1.0, 1.0));
    const double half = config_.emitter_half_angle_deg * std::numbers::pi / 180.0;
    if (half <= 0) return 1.0;
    const double q = angle / half;
    return std::exp(-std::numbers::ln2 * q * q);
}

double DepthSensor::relative_illumination(const Vec3 &dir) const {
    return std::pow(std::max(dir.z, 0.0), config_.ri_exponent);
}

double DepthSensor::measured_mm(uint32_t col, uint32_t row, double distance_mm,
                                uint32_t modulation_khz, int16_t temp_sensor,
                                int16_t temp_board) const {
    return measured_mm({column_gain(col), pixel_offset(col, row)}, distance_mm, modulation_khz,
                       drift_mm(temp_sensor, temp_board));
}

double DepthSensor::measured_mm(const PixelTerms &pixel, double distance_mm,
                                uint32_t modulation_khz, double drift) const {
    const double cyclic =
        config_.cyclic_mm * std::sin(4.0 * kTwoPi * distance_mm / vcam::range_mm(modulation_khz));
    return distance_mm * pixel.gain + config_.offset_mm + pixel.offset + cyclic + drift;
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

// A pixel's view through the lens: the unit ray through its centre, and the tangent-plane point
// (x/z, y/z) of any point of its footprint, from the centre's and its derivatives along the
// array's columns and rows (the lens's mapping is smooth on the scale of a pixel). Also the solid
// angle the pixel covers.
struct SensorModel::Ray {
    Vec3 centre;
    double x = 0, y = 0, xu = 0, yu = 0, xv = 0, yv = 0;
    double solid_angle = 0;
    // Unit ray through the point (du, dv) pixels from the centre.
    Vec3 at(double du, double dv) const {
        return Vec3{x + xu * du + xv * dv, y + yu * du + yv * dv, 1.0}.unit();
    }
};

namespace {

struct RayKey {
    Lens lens;
    Window window;
    bool operator==(const RayKey &o) const {
        return std::memcmp(&lens, &o.lens, sizeof lens) == 0 && window == o.window;
    }
};

}  // namespace

// The rays of every pixel of a window, shared by the models of a process: casting them through
// the lens is the costly part of a new scene.
std::shared_ptr<const std::vector<SensorModel::Ray>> SensorModel::rays_of(const Lens &lens,
                                                                          const Window &window) {
    static std::mutex mutex;
    static std::vector<std::pair<RayKey, std::shared_ptr<const std::vector<Ray>>>> cache;
    const RayKey key{lens, window};
    {
        std::lock_guard lock(mutex);
        for (const auto &entry : cache)
            if (entry.first == key) return entry.second;
    }
    auto rays =
        std::make_shared<std::vector<Ray>>(static_cast<size_t>(window.width) * window.height);
    auto tangent = [&](double u, double v, double &x, double &y) {
        const Vec3 r = lens.ray(u, v);
        x = r.x / r.z;
        y = r.y / r.z;
    };
    size_t at = 0;
    for (uint32_t row = 0; row < window.height; ++row) {
        const double v0 = window.array_row(row);
        for (uint32_t col = 0; col < window.width; ++col) {
            const double u0 = window.array_col(col);
            Ray &r = (*rays)[at++];
            r.centre = lens.ray(u0, v0);
            r.x = r.centre.x / r.centre.z;
            r.y = r.centre.y / r.centre.z;
            double x0, y0, x1, y1;
            tangent(u0 - 0.5, v0, x0, y0);
            tangent(u0 + 0.5, v0, x1, y1);
            r.xu = x1 - x0;
            r.yu = y1 - y0;
            tangent(u0, v0 - 0.5, x0, y0);
            tangent(u0, v0 + 0.5, x1, y1);
            r.xv = x1 - x0;
            r.yv = y1 - y0;
            // dOmega = dx dy cos^3 of the angle off the axis, in the tangent plane.
            const double c = r.centre.z;
            r.solid_angle = std::abs(r.xu * r.yv - r.xv * r.yu) * c * c * c;
        }
    }
    std::lock_guard lock(mutex);
    if (cache.size() >= 4) cache.erase(cache.begin());
    cache.emplace_back(key, rays);
    return rays;
}

SensorModel::SensorModel(Scene scene, DepthSensorConfig config)
    : sensor_(config), scene_(std::move(scene)), moving_(scene_.moving()) {}

SensorModel::~SensorModel() = default;

std::complex<double> SensorModel::phasor(size_t i, double distance_mm, double amplitude) const {
    const DepthSensorConfig &c = sensor_.config();
    // The static response (no drift): the frame adds the drift as a rotation.
    const double measured = sensor_.measured_mm(pixels_[i].terms, distance_mm, khz_,
                                                sensor_.drift_mm(c.ref_sensor, c.ref_board));
    return std::polar(amplitude, kTwoPi * measured / range_mm(khz_));
}

void SensorModel::sample(const Scene &scene, size_t i, int s, std::complex<double> &sum,
                         int16_t &id, double &nearest, double &farthest) const {
    const DepthSensorConfig &c = sensor_.config();
    const Ray &ray = (*rays_)[i];
    id = kUnset;
    sum = 0;
    nearest = 1e30;
    farthest = 0;
    for (int a = 0; a < s; ++a)
        for (int b = 0; b < s; ++b) {
            const auto hit = scene.cast(ray.at((b + 0.5) / s - 0.5, (a + 0.5) / s - 0.5));
            const int16_t sid = hit ? static_cast<int16_t>(hit->surface) : -1;
            id = id == kUnset ? sid : (id == sid ? id : kSeveral);
            if (!hit) continue;
            // A return's amplitude per us: reflectivity, angle of incidence and distance (the
            // emitter's and the lens's share of the pixel are applied per pixel).
            const double m = hit->distance / 1000.0;
            const double amp =
                c.sensitivity * hit->reflectivity * hit->cos_incidence / std::max(m * m, 1e-6);
            sum += phasor(i, hit->distance, amp);
            nearest = std::min(nearest, hit->distance);
            farthest = std::max(farthest, hit->distance);
        }
    sum /= static_cast<double>(s * s);
}

bool SensorModel::on_edge(const DirectPass &pass, uint32_t x, uint32_t y) const {
    const uint32_t w = window_.width, h = window_.height;
    const int16_t id = pass.seen[static_cast<size_t>(y) * w + x];
    if (id == kSeveral) return true;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int64_t yy = static_cast<int64_t>(y) + dy, xx = static_cast<int64_t>(x) + dx;
            if (yy < 0 || xx < 0 || yy >= h || xx >= w) continue;
            if (pass.seen[static_cast<size_t>(yy) * w + static_cast<size_t>(xx)] != id) return true;
        }
    return false;
}

void SensorModel::direct(const Scene &scene, DirectPass &pass, Truth *truth,
                         const std::vector<uint8_t> *reached) const {
    const uint32_t w = window_.width, h = window_.height;
    const size_t n = static_cast<size_t>(w) * h;
    const std::vector<Ray> &rays = *rays_;
    if (!reached) {
        pass.coarse.assign(n, 0.0);
        pass.light.assign(n, 0.0);
        pass.seen.assign(n, 0);
        pass.lo.assign(n, 0.0f);
        pass.hi.assign(n, 0.0f);
    }
    // A pixel whose footprint no moving surface reaches, nor its neighbours' footprints, comes out
    // as in the pass given.
    auto relit = [&](uint32_t x, uint32_t y) {
        if (!reached) return true;
        for (uint32_t yy = y > 0 ? y - 1 : 0; yy <= std::min(y + 1, h - 1); ++yy)
            for (uint32_t xx = x > 0 ? x - 1 : 0; xx <= std::min(x + 1, w - 1); ++xx)
                if ((*reached)[static_cast<size_t>(yy) * w + xx]) return true;
        return false;
    };
    // Every pixel first through 2 x 2 points of its footprint; where that or a neighbour's sees
    // more than one surface an edge may cross the pixel, and s x s points integrate its area.
    for (size_t i = 0; i < n; ++i) {
        if (reached && !(*reached)[i]) continue;
        double nearest, farthest;
        sample(scene, i, 2, pass.coarse[i], pass.seen[i], nearest, farthest);
        pass.lo[i] = farthest > 0 ? static_cast<float>(nearest) : 0.0f;
        pass.hi[i] = farthest > 0 ? static_cast<float>(farthest) : 0.0f;
    }
    const int s = std::max(2, sensor_.config().supersample);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            if (!relit(x, y)) continue;
            const size_t i = static_cast<size_t>(y) * w + x;
            int16_t id = pass.seen[i];
            float lo = pass.lo[i], hi = pass.hi[i];
            if (on_edge(pass, x, y)) {
                double nearest, farthest;
                sample(scene, i, s, pass.light[i], id, nearest, farthest);
                if (farthest > 0)
                    lo = static_cast<float>(nearest), hi = static_cast<float>(farthest);
            } else {
                pass.light[i] = pass.coarse[i];
            }
            pass.light[i] *= pixels_[i].light;
            if (!truth) continue;
            truth->mixed[i] = id == kSeveral ? 1 : 0;
            truth->near_mm[i] = lo;
            truth->far_mm[i] = hi;
            if (const auto centre = scene.cast(rays[i].centre)) {
                truth->distance_mm[i] = static_cast<float>(centre->distance);
                truth->surface[i] = static_cast<int16_t>(centre->surface);
            } else {
                truth->distance_mm[i] = 0.0f;
                truth->surface[i] = -1;
            }
        }
    }
}

void SensorModel::mark_reached(const Scene &scene, std::vector<uint8_t> &reached) const {
    const std::vector<Ray> &rays = *rays_;
    const Vec3 camera = scene.camera_position();
    for (const Motion &m : scene.motions) {
        if (m.surface >= scene.surfaces.size()) continue;
        // A box of the room's axes about the surface, seen in the tangent plane z = 1 of the
        // camera: its corners' bounds there hold every ray that meets it.
        const Surface &f = scene.surfaces[m.surface];
        Vec3 lo = f.a, hi = f.b;
        if (f.kind == Surface::Kind::kSphere) {
            lo = f.a - Vec3{f.r, f.r, f.r};
            hi = f.a + Vec3{f.r, f.r, f.r};
        } else if (f.kind == Surface::Kind::kCylinder) {
            lo = f.a - Vec3{f.r, 0, f.r};
            hi = f.a + Vec3{f.r, f.b.y, f.r};
        }
        double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
        bool in_front = f.kind != Surface::Kind::kPlane;
        for (int k = 0; k < 8 && in_front; ++k) {
            const Vec3 corner{k & 1 ? hi.x : lo.x, k & 2 ? hi.y : lo.y, k & 4 ? hi.z : lo.z};
            const Vec3 c = scene.to_camera(corner - camera);
            in_front = c.z > 1.0;
            x0 = std::min(x0, c.x / c.z), x1 = std::max(x1, c.x / c.z);
            y0 = std::min(y0, c.y / c.z), y1 = std::max(y1, c.y / c.z);
        }
        if (!in_front) {  // beside or behind the camera: anywhere
            std::fill(reached.begin(), reached.end(), 1);
            return;
        }
        // A pixel's rays lie within its centre +- half its footprint's sides in that plane.
        constexpr double kMargin = 1e-6;
        for (size_t i = 0; i < rays.size() && i < reached.size(); ++i) {
            const Ray &r = rays[i];
            const double hx = (std::abs(r.xu) + std::abs(r.xv)) / 2 + kMargin;
            const double hy = (std::abs(r.yu) + std::abs(r.yv)) / 2 + kMargin;
            if (r.x + hx >= x0 && r.x - hx <= x1 && r.y + hy >= y0 && r.y - hy <= y1)
                reached[i] = 1;
        }
    }
}

// A block of kSourceStep x kSourceStep pixels: what its centre pixel sees, lit by the emitter
// and radiating diffusely; the emitter's light on it is its profile times the solid angle.
struct SensorModel::BounceSource {
    Vec3 p, normal;
    double d = 0;      // from the camera, mm
    double power = 0;  // reflectivity x emitter x solid angle
    double area = 0;   // m^2
};

std::vector<SensorModel::BounceSource> SensorModel::bounce_sources(const Scene &scene) const {
    const uint32_t w = window_.width, h = window_.height;
    const std::vector<Ray> &rays = *rays_;
    const Vec3 camera = scene.camera_position();
    std::vector<BounceSource> sources;
    for (uint32_t by = 0; by < h; by += kSourceStep)
        for (uint32_t bx = 0; bx < w; bx += kSourceStep) {
            const uint32_t bw = std::min(kSourceStep, w - bx), bh = std::min(kSourceStep, h - by);
            const size_t i = static_cast<size_t>(by + bh / 2) * w + (bx + bw / 2);
            const auto hit = scene.cast(rays[i].centre);
            if (!hit || hit->reflectivity <= 0) continue;
            const double omega = rays[i].solid_angle * bw * bh;
            const double dm = hit->distance / 1000.0;
            sources.push_back({camera + scene.to_room(rays[i].centre) * hit->distance, hit->normal,
                               hit->distance,
                               hit->reflectivity * sensor_.emitter(rays[i].centre) * omega,
                               omega * dm * dm / std::max(hit->cos_incidence, 0.05)});
        }
    return sources;
}

// The pixel's own distance turns the phasor of the extra path into the pixel's phase; the result
// is times the reflectivity of the surface the pixel sees. The disc form factor A / (pi r^2 + A)
// keeps a near source's share finite.
std::complex<double> SensorModel::gather_bounce(const Scene &scene,
                                                const std::vector<BounceSource> &sources,
                                                size_t i) const {
    const Ray &ray = (*rays_)[i];
    const auto hit = scene.cast(ray.centre);
    if (!hit) return 0.0;
    const double range = range_mm(khz_);
    const Vec3 p = scene.camera_position() + scene.to_room(ray.centre) * hit->distance;
    std::complex<double> sum = 0;
    for (const BounceSource &q : sources) {
        const Vec3 r = q.p - p;
        const double len = r.norm();
        if (len < 1.0) continue;
        const Vec3 u = r * (1.0 / len);
        const double cos_p = hit->normal.dot(u), cos_q = -q.normal.dot(u);
        if (cos_p <= 0 || cos_q <= 0) continue;
        if (scene.blocked(p, q.p)) continue;
        const double rm = len / 1000.0;
        const double amp = q.power * cos_q * cos_p / (std::numbers::pi * rm * rm + q.area);
        sum += std::polar(amp, kTwoPi * 0.5 * (q.d + len - hit->distance) / range);
    }
    return sum * hit->reflectivity;
}

void SensorModel::second_bounce(const Scene &scene, const Truth &truth,
                                std::vector<std::complex<double>> &out) const {
    const DepthSensorConfig &c = sensor_.config();
    const uint32_t w = window_.width, h = window_.height;
    const size_t n = static_cast<size_t>(w) * h;
    out.assign(n, 0.0);
    if (!c.multipath || n == 0) return;
    const std::vector<BounceSource> sources = bounce_sources(scene);
    auto gather = [&](size_t i) { return gather_bounce(scene, sources, i); };
    // Receivers every kReceiverStep pixels; a pixel takes those around it on its own surface,
    // bilinearly, and gathers for itself where none is.
    const uint32_t nx = (w + kReceiverStep - 1) / kReceiverStep;
    const uint32_t ny = (h + kReceiverStep - 1) / kReceiverStep;
    auto receiver_pixel = [&](uint32_t k, uint32_t limit) {
        return std::min(k * kReceiverStep + kReceiverStep / 2, limit - 1);
    };
    std::vector<std::complex<double>> grid(static_cast<size_t>(nx) * ny);
    std::vector<int16_t> grid_surface(grid.size());
    for (uint32_t gy = 0; gy < ny; ++gy)
        for (uint32_t gx = 0; gx < nx; ++gx) {
            const size_t i = static_cast<size_t>(receiver_pixel(gy, h)) * w + receiver_pixel(gx, w);
            grid[gy * nx + gx] = gather(i);
            grid_surface[gy * nx + gx] = truth.surface[i];
        }
    for (uint32_t y = 0; y < h; ++y) {
        const double fy = std::clamp((y - kReceiverStep / 2.0) / kReceiverStep, 0.0, ny - 1.0);
        const uint32_t y0 = static_cast<uint32_t>(fy), y1 = std::min(y0 + 1, ny - 1);
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            if (truth.surface[i] < 0) continue;
            const double fx = std::clamp((x - kReceiverStep / 2.0) / kReceiverStep, 0.0, nx - 1.0);
            const uint32_t x0 = static_cast<uint32_t>(fx), x1 = std::min(x0 + 1, nx - 1);
            std::complex<double> sum = 0;
            double weight = 0;
            const uint32_t gxs[2] = {x0, x1}, gys[2] = {y0, y1};
            const double wx[2] = {1 - (fx - x0), fx - x0}, wy[2] = {1 - (fy - y0), fy - y0};
            for (int a = 0; a < 2; ++a)
                for (int b = 0; b < 2; ++b) {
                    const size_t g = static_cast<size_t>(gys[a]) * nx + gxs[b];
                    if (grid_surface[g] != truth.surface[i] || wy[a] * wx[b] <= 0) continue;
                    sum += grid[g] * (wy[a] * wx[b]);
                    weight += wy[a] * wx[b];
                }
            const std::complex<double> j = weight > 0 ? sum / weight : gather(i);
            // The pixel sees it through its lens, at its own distance plus the extra path.
            out[i] = phasor(i, truth.distance_mm[i], c.sensitivity * pixels_[i].lens) * j;
        }
    }
}

void SensorModel::scatter(std::vector<std::complex<double>> &light) const {
    const double f = sensor_.config().stray_fraction;
    if (f <= 0 || light.empty()) return;
    std::complex<double> total = 0;
    for (const auto &z : light) total += z;
    const std::complex<double> veil = total * (f / static_cast<double>(light.size()));
    for (auto &z : light) z = z * (1.0 - f) + veil;
}

void SensorModel::light_at(double t_s, std::vector<std::complex<double>> &out, Truth &truth) {
    const Scene scene = moving_ ? scene_.at(t_s) : scene_;
    direct(scene, middle_, &truth);
    std::vector<std::complex<double>> bounce;
    second_bounce(scene, truth, bounce);
    out = middle_.light;
    for (size_t i = 0; i < out.size(); ++i) {
        const double d = std::abs(out[i]);
        truth.multipath[i] = d > 0 ? static_cast<float>(std::abs(bounce[i]) / d) : 0.0f;
        out[i] += bounce[i];
    }
    bounce_ = std::move(bounce);
}

void SensorModel::light_again_at(double t_s, double middle_s,
                                 std::vector<std::complex<double>> &out) {
    const Scene scene = scene_.at(t_s);
    DirectPass pass;
    if (sensor_.config().relight_reached_only) {
        pass = middle_;
        std::vector<uint8_t> reached(pass.light.size(), 0);
        mark_reached(scene, reached);
        mark_reached(scene_.at(middle_s), reached);
        direct(scene, pass, nullptr, &reached);
    } else {
        direct(scene, pass, nullptr);
    }
    out = std::move(pass.light);
}

void SensorModel::prepare(const Exposure &e) {
    const bool geometry = pixels_.empty() || !(e.window == window_) || e.modulation_khz != khz_;
    if (geometry) {
        window_ = e.window;
        khz_ = e.modulation_khz;
        const DepthSensorConfig &c = sensor_.config();
        const uint32_t w = window_.width, h = window_.height;
        const size_t n = static_cast<size_t>(w) * h;
        rays_ = rays_of(c.lens, window_);
        pixels_.assign(n, Pixel{});
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                Pixel &p = pixels_[static_cast<size_t>(y) * w + x];
                p.col =
                    static_cast<uint32_t>(std::clamp<double>(window_.array_col(x), 0, c.width - 1));
                p.row = static_cast<uint32_t>(
                    std::clamp<double>(window_.array_row(y), 0, c.height - 1));
                p.level = static_cast<float>(c.baseline + sensor_.baseline_offset(p.col, p.row));
                p.terms = {sensor_.column_gain(p.col), sensor_.pixel_offset(p.col, p.row)};
                const Vec3 &dir = (*rays_)[static_cast<size_t>(y) * w + x].centre;
                p.lens = sensor_.relative_illumination(dir);
                p.light = p.lens * sensor_.emitter(dir);
            }
        truth_ = Truth{};
        truth_.width = w;
        truth_.height = h;
        truth_.distance_mm.assign(n, 0.0f);
        truth_.amplitude.assign(n, 0.0f);
        truth_.mixed.assign(n, 0);
        truth_.surface.assign(n, -1);
        truth_.near_mm.assign(n, 0.0f);
        truth_.far_mm.assign(n, 0.0f);
        truth_.multipath.assign(n, 0.0f);
        prepared_time_ = -1;
    }
    // A moving scene is lit again for every DCS sample: each is exposed at its own time, one
    // exposure and read-out after the other; the truth is that of the middle of the four.
    const double t0 =
        moving_ ? static_cast<double>(frames_) / std::max<uint32_t>(1, e.frame_rate) : 0;
    if (!geometry && prepared_time_ == t0) return;
    const DepthSensorConfig &c = sensor_.config();
    const double step_s = (e.integration_us + c.readout_us) * 1e-6;
    const double exposure_s = e.integration_us * 1e-6;
    const double middle = t0 + 1.5 * step_s + exposure_s / 2;
    light_at(middle, response_[0], truth_);
    if (moving_) {
        for (int k = 0; k < 4; ++k) {
            light_again_at(t0 + k * step_s + exposure_s / 2, middle, response_[k]);
            for (size_t i = 0; i < response_[k].size(); ++i) response_[k][i] += bounce_[i];
        }
    }
    for (int k = 0; k < (moving_ ? 4 : 1); ++k) scatter(response_[k]);
    prepared_time_ = t0;
}

void SensorModel::correct_in_firmware(const Pixel &px, uint32_t modulation_khz, double compensation,
                                      double v[4]) const {
    const double range = range_mm(modulation_khz);
    // It takes the temperature term of the calibration's coefficients out of the phase before its
    // table and puts it back after, so that the host's compensation of the frame's temperature
    // finds it as on an uncorrected camera.
    const double re = (v[0] - v[2]) / 2, im = (v[1] - v[3]) / 2;
    const double a = std::hypot(re, im);
    double m = std::atan2(im, re) / kTwoPi * range;
    if (m < 0) m += range;
    const double d =
        sensor_.corrected_mm(px.col, px.row, m - compensation, modulation_khz) + compensation;
    const double beta = kTwoPi * d / range;
    // Re-encoded at the phase of the corrected distance, each pair of samples (0, 2) and (1, 3)
    // keeping its own common level. The rotated vector may reach past the 12-bit range where the
    // measured one did not: a sample clamped there would pass a wrong distance as a good one. The
    // decode reads only the differences of the pairs: a pair that leaves the range moves into it
    // whole, and a vector longer than a pair can span keeps its phase at the longest length that
    // fits. Only what the ADC clipped leaves the camera saturated.
    constexpr double kHalfSpan = (4094.0 - 1.0) / 2;
    double cr = a * std::cos(beta), ci = a * std::sin(beta);
    const double longest = std::max(std::abs(cr), std::abs(ci));
    if (longest > kHalfSpan) cr *= kHalfSpan / longest, ci *= kHalfSpan / longest;
    const double m02 = (v[0] + v[2]) / 2, m13 = (v[1] + v[3]) / 2;
    double out[4] = {m02 + cr, m13 + ci, m02 - cr, m13 - ci};
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

void SensorModel::render(const Exposure &e, std::span<uint8_t> frame) {
    std::lock_guard lock(mutex_);
    const uint32_t w = e.window.width, h = e.window.height;
    const size_t plane = static_cast<size_t>(w) * h;
    if (frame.size() < 8 * plane || plane == 0) return;
    prepare(e);
    const DepthSensorConfig &c = sensor_.config();
    const double range = range_mm(e.modulation_khz);
    const double t = e.integration_us;
    const std::complex<double> drift =
        std::polar(t, kTwoPi * sensor_.drift_mm(e.temp_sensor, e.temp_board) / range);
    const double ambient = c.ambient_per_us * t;
    const double level_ambient = ambient * (e.ambient_suppression ? c.ambient_residual : 1.0);
    const double read2 = c.read_noise * c.read_noise;
    const double compensation = sensor_.compensation_mm(e.temp_sensor, e.temp_board);
    uint64_t seed = c.seed;
    const uint64_t frame_seed = splitmix64(seed) ^ (0xD1B54A32D192ED03ull * (frames_ + 1));
    Noise noise(frame_seed);
    ++frames_;
    const std::vector<std::complex<double>> *response[4];
    for (int k = 0; k < 4; ++k) response[k] = &response_[moving_ ? k : 0];

    for (uint32_t r = 0; r < h; ++r) {
        const uint32_t y = image_row(r, h);
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            const Pixel &px = pixels_[i];
            // Sample k takes the in-phase or quadrature part of its own exposure's return.
            std::complex<double> z[4];
            double amp = 0;
            for (int k = 0; k < 4; ++k) {
                z[k] = (*response[k])[i] * drift;
                amp += std::abs(z[k]) / 4;
            }
            truth_.amplitude[i] = static_cast<float>(amp);
            const double level = px.level + level_ambient;
            const double sigma = std::sqrt(read2 + c.shot_gain * (ambient + amp));
            const double ideal[4] = {level + z[0].real(), level + z[1].imag(), level - z[2].real(),
                                     level - z[3].imag()};
            double v[4];
            bool clipped = false;
            double n[4];
            noise.normal_pair(n[0], n[1]);
            noise.normal_pair(n[2], n[3]);
            for (int k = 0; k < 4; ++k) {
                v[k] = std::clamp(std::floor(ideal[k] + sigma * n[k] + 0.5), 0.0, 4095.0);
                clipped = clipped || v[k] <= 0.0 || v[k] >= 4095.0;
            }
            if (c.corrects_pixels && !clipped)
                correct_in_firmware(px, e.modulation_khz, compensation, v);
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
    prepare(e);
    Truth t = truth_;
    for (size_t i = 0; i < pixels_.size(); ++i)
        t.amplitude[i] = static_cast<float>(std::abs(response_[0][i]) * e.integration_us);
    return t;
}

uint64_t SensorModel::frames_rendered() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

}  // namespace lumox::vcam
