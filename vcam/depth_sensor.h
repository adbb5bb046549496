// The time-of-flight sensor behind the lens, as the camera streams it.
//
// Every pixel integrates the returns over its footprint (a pixel an edge crosses sums the returns
// of both surfaces by the share of its area each covers: the mixed or "flying" pixels of depth
// edges). Each return's amplitude follows the surface's reflectivity, the angle of incidence, the
// square of the distance, the integration time, the emitter's profile and the lens's relative
// illumination; its phase follows the distance the pixel measures at the modulation frequency,
// wrapping past the unambiguous range. Light also reaches a pixel by a second bounce off the
// scene's other surfaces (multipath) and scattered in the lens (stray light). Objects may move:
// each of the four DCS samples is exposed at its own time. What a pixel measures is not the
// true distance: the raw phase carries a common offset (the one the host's default linear
// calibration removes), a per-pixel offset, a per-column gain, a cyclic error and a drift with the
// sensor and illumination-board temperatures. The four DCS samples add ambient light (mostly
// suppressed by ABS), shot noise and read noise, different in every frame, and go through a
// 12-bit ADC that saturates at 4095, the overflow code.
//
// The camera's calibration is what this sensor measured at walls 295 + k x step mm away: the
// distance images, the parameter file of that calibration and both packed for the camera's flash
// (17-byte header, zip archive of "calib_and_param_<chip>.bin"). A camera whose firmware corrects
// pixels itself (2.0 on) applies that calibration before streaming: its frames carry the phase of
// the corrected distance, leaving only the temperature drift to the host.
#pragma once

#include <array>
#include <complex>
#include <memory>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "vcam/optics.h"
#include "vcam/scene.h"
#include "vcam/stream.h"

namespace lumox::vcam {

struct DepthSensorConfig {
    Lens lens;
    uint32_t width = 320;  // the array the calibration covers
    uint32_t height = 240;

    // What a pixel measures (millimetres).
    double offset_mm = 3400.0;       // common offset of the raw phase
    double nonuniformity_mm = 60.0;  // largest smooth per-pixel offset, either way
    double pixel_offset_mm = 3.0;    // random per-pixel offset, standard deviation
    double gain_spread = 0.02;       // largest per-column gain error, either way
    double cyclic_mm = 8.0;          // cyclic error: fourth harmonic of the modulation period

    // Light (DCS units: the decoded amplitude is the swing of one sample).
    double sensitivity = 2.2857;    // amplitude per us of a white surface square-on at 1 m
    double ambient_per_us = 0.1;    // ambient light collected per us
    double ambient_residual = 0.1;  // share of it left in the samples with ABS on
    double baseline = 2048.0;       // level of no light
    double baseline_spread = 15.0;  // per-pixel level offset, standard deviation
    double read_noise = 2.0;        // per sample, standard deviation
    double shot_gain = 0.02;        // shot-noise variance per DCS unit of light collected
    int supersample = 16;           // rays per side of a pixel an edge crosses (others: 2)

    // Light across the field: the emitter's intensity falls away from its axis (a Gaussian in the
    // angle, half at emitter_half_angle_deg) and the lens passes less light towards the edge of its
    // field (relative illumination cos^ri_exponent of the angle off the axis).
    double emitter_half_angle_deg = 60.0;
    double ri_exponent = 1.5;
    bool multipath = true;          // second bounce off the scene's diffuse surfaces
    double stray_fraction = 0.003;  // share of every return scattered evenly over the sensor
    double readout_us = 1000;       // read-out of a DCS sample before the next exposure starts
    // A moving scene relights, for each DCS sample, only the pixels its moving surfaces may reach
    // (the others keep the light of the frame's middle, which is the same); false relights all.
    bool relight_reached_only = true;

    // Temperature drift of the raw phase: drift_sensor mm per 0.1 degC of the sensor and
    // drift_board per 0.1 degC of the illumination board away from the reference temperatures
    // (those the host assumes for an uncalibrated camera), plus drift_quadratic mm per degC^2
    // of the sensor, which a linear compensation leaves.
    int16_t ref_sensor = 361;
    int16_t ref_board = 341;
    double drift_sensor = 1.7;
    double drift_board = 0.33765;
    double drift_quadratic = 0.05;

    // Calibration.
    uint32_t modulation_khz = 12000;  // the frequency it was taken at
    double step_mm = 298.2;
    uint32_t distances = 20;    // walls 295 .. 295 + 19 step mm
    int16_t temp_sensor = 352;  // 0.1 degC at calibration
    int16_t temp_board = 301;
    uint16_t chip_id = 12;

    uint64_t seed = 1;             // of the noise; each frame draws its own
    bool corrects_pixels = false;  // firmware applies the calibration before streaming
};

// Unambiguous range in mm at a modulation frequency (half the light's path per period).
double range_mm(uint32_t modulation_khz);

// The pixel response, its calibration and its noise, without a scene.
class DepthSensor {
  public:
    explicit DepthSensor(DepthSensorConfig config = {});

    const DepthSensorConfig &config() const { return config_; }
    double range_mm() const { return vcam::range_mm(config_.modulation_khz); }

    // Distance (mm) that array pixel (col, row) measures for a surface `distance_mm` away, at a
    // modulation frequency and temperatures (0.1 degC), before wrapping.
    double measured_mm(uint32_t col, uint32_t row, double distance_mm, uint32_t modulation_khz,
                       int16_t temp_sensor, int16_t temp_board) const;
    // The same from a pixel's gain and offset, and the drift (mm) at the temperatures.
    struct PixelTerms {
        double gain = 1, offset = 0;
    };
    double measured_mm(const PixelTerms &pixel, double distance_mm, uint32_t modulation_khz,
                       double drift) const;
    // At the calibration's frequency and temperatures.
    double measured_mm(uint32_t col, uint32_t row, double distance_mm) const {
        return measured_mm(col, row, distance_mm, config_.modulation_khz, config_.temp_sensor,
                           config_.temp_board);
    }
    // The same as a phase, 30000 per period.
    uint16_t phase(uint32_t col, uint32_t row, double distance_mm) const;
    double drift_mm(int16_t temp_sensor, int16_t temp_board) const;
    // The linear temperature term of the calibration (mm): its coefficients against its
    // temperatures, as the host compensates it.
    double compensation_mm(int16_t temp_sensor, int16_t temp_board) const;
    // Shares of the on-axis light for a pixel looking along the unit `dir` (camera frame): the
    // emitter's profile and the lens's relative illumination.
    double emitter(const Vec3 &dir) const;
    double relative_illumination(const Vec3 &dir) const;
    // What firmware that corrects pixels makes of a measured distance: the distance whose
    // response at the calibration temperatures it is.
    double corrected_mm(uint32_t col, uint32_t row, double measured, uint32_t modulation_khz) const;
    // Standard deviation of one pixel's distance (mm) for a decoded amplitude, from the noise
    // model (a first-order estimate, good while the amplitude is well above the noise).
    double distance_sigma_mm(double amplitude, uint32_t modulation_khz, uint32_t integration_us,
                             bool ambient_suppression) const;
    double sample_sigma(double amplitude, uint32_t integration_us) const;

    // The calibration files and the flash package.
    std::vector<uint8_t> parameter_file() const;   // 24-byte form, with the frequency
    std::vector<uint8_t> distance_images() const;  // images in image row order
    std::vector<uint8_t> package() const;

    double pixel_offset(uint32_t col, uint32_t row) const;
    double column_gain(uint32_t col) const;
    double baseline_offset(uint32_t col, uint32_t row) const;

  private:
    DepthSensorConfig config_;
    std::vector<float> random_offset_;    // per array pixel
    std::vector<float> random_baseline_;  // per array pixel
};

// What the scene really holds, for one frame's window (image row order, top row first, before
// binning).
struct Truth {
    uint32_t width = 0, height = 0;
    std::vector<float> distance_mm;  // radial distance along the pixel's central ray; 0: no hit
    std::vector<float> amplitude;    // decoded amplitude without noise (before the ADC)
    std::vector<uint8_t> mixed;      // 1: more than one surface (or also nothing) in the footprint
    std::vector<int16_t> surface;    // index of the surface on the central ray; -1: none
    std::vector<float> near_mm, far_mm;  // nearest and farthest return in the footprint
    std::vector<float> multipath;  // amplitude of the second bounce over that of the direct return
};

// The live model: the sensor looking at a scene. One per camera.
class SensorModel : public LiveSource {
  public:
    SensorModel(Scene scene, DepthSensorConfig config = {});
    ~SensorModel() override;

    void render(const Exposure &exposure, std::span<uint8_t> frame) override;

    const DepthSensor &sensor() const { return sensor_; }
    const Scene &scene() const { return scene_; }
    // Ground truth of the last frame rendered (or of a window, without rendering).
    Truth truth() const;
    Truth truth_for(const Exposure &exposure);
    uint64_t frames_rendered() const;

  private:
    struct Ray;
    struct Pixel {
        uint32_t col = 0, row = 0;  // on the array
        float level = 0;            // of no light
        DepthSensor::PixelTerms terms;
        double lens = 1;   // relative illumination
        double light = 1;  // and times the emitter's profile
    };
    static constexpr uint32_t kSourceStep = 10;   // pixels per side of a second-bounce source
    static constexpr uint32_t kReceiverStep = 8;  // between the pixels that gather it
    static std::shared_ptr<const std::vector<Ray>> rays_of(const Lens &lens, const Window &window);

    // Return of amplitude `amplitude` from `distance_mm` as pixel i measures it (no drift).
    std::complex<double> phasor(size_t i, double distance_mm, double amplitude) const;
    // One pass of direct light over the window: the 2 x 2 samples of every pixel, what surface
    // they saw (one, several, none), the nearest and farthest return, and the light per us.
    struct DirectPass {
        std::vector<std::complex<double>> coarse, light;
        std::vector<int16_t> seen;
        std::vector<float> lo, hi;
    };
    // Direct returns of a scene integrated over each pixel's area, per us; with `truth`, the
    // scene's ground truth too. With `reached`, `pass` holds a pass over the same window at
    // another time, and only the pixels marked there (and their neighbours) are lit again.
    void direct(const Scene &scene, DirectPass &pass, Truth *truth,
                const std::vector<uint8_t> *reached = nullptr) const;
    // The 2 x 2 (or s x s) samples of pixel i's footprint.
    void sample(const Scene &scene, size_t i, int s, std::complex<double> &sum, int16_t &id,
                double &nearest, double &farthest) const;
    // Whether a pixel's footprint or a neighbour's sees more than one thing in the 2 x 2 pass.
    bool on_edge(const DirectPass &pass, uint32_t x, uint32_t y) const;
    // Marks the pixels whose footprint may meet a moving surface of `scene` (the scene at a time).
    void mark_reached(const Scene &scene, std::vector<uint8_t> &reached) const;
    // The second bounce onto every pixel's surface, per us.
    void second_bounce(const Scene &scene, const Truth &truth,
                       std::vector<std::complex<double>> &out) const;
    // A patch of what the pixels see, lit by the emitter and radiating diffusely.
    struct BounceSource;
    std::vector<BounceSource> bounce_sources(const Scene &scene) const;
    // The light of every source on the surface pixel i sees (a phasor of the extra path).
    std::complex<double> gather_bounce(const Scene &scene, const std::vector<BounceSource> &sources,
                                       size_t i) const;
    // Stray light: a share of all returns spread evenly over the pixels.
    void scatter(std::vector<std::complex<double>> &light) const;
    // Direct light at time t (s) with the second bounce and the truth (kept in bounce_ and
    // middle_), and the direct light at another time, from that.
    void light_at(double t_s, std::vector<std::complex<double>> &out, Truth &truth);
    void light_again_at(double t_s, double middle_s, std::vector<std::complex<double>> &out);
    void prepare(const Exposure &exposure);
    // What firmware that corrects pixels makes of a pixel's four samples (none clipped): its own
    // decode and per-pixel correction, re-encoded in the samples.
    void correct_in_firmware(const Pixel &px, uint32_t modulation_khz, double compensation,
                             double v[4]) const;

    DepthSensor sensor_;
    Scene scene_;
    bool moving_ = false;
    mutable std::mutex mutex_;
    Window window_{};
    uint32_t khz_ = 0;
    std::shared_ptr<const std::vector<Ray>> rays_;
    std::vector<Pixel> pixels_;  // image row order
    // Per DCS sample (only the first for a still scene): the returns per us of integration, unit
    // phase at the static measured distance.
    std::array<std::vector<std::complex<double>>, 4> response_;
    std::vector<std::complex<double>> bounce_;
    DirectPass middle_;  // of the frame's middle, for a moving scene
    double prepared_time_ = -1;
    Truth truth_;  // of the prepared window (amplitude of the last frame)
    uint64_t frames_ = 0;
};

}  // namespace lumox::vcam
