// EPC run-time features: the filter switches, the temperature monitor on the capture path, and the
// per-frame steps the decode runs when they are switched on (automatic integration time, DCS sum
// check, minimum-amplitude filter with hysteresis).
//
// The features keep three process-wide time stamps (last monitor line, last integration step,
// last parameter-17 send) that survive device closes. Their clock is replaceable for tests.
#pragma once

#include <cstdint>

#include "drivers/epc.h"
#include "platform/clock.h"

// The driver's filter slots. Identifiers are the FILTER_* values; arg must hold the step's
// argument (u8 for 1 and 2, u16 for 4 to 7), else the switch is refused with 0. Identifiers 3 and
// above 8 change nothing. filter_enable(FILTER_DRNU) returns 0 when the calibration files are
// missing.
uint8_t epc_filter_enable(lumox_drv *drv, uint32_t filter_id, void *arg, uint32_t arg_size);
uint8_t epc_filter_disable(lumox_drv *drv, uint32_t filter_id);

namespace lumox::drivers {

// How the per-frame features reach the camera: the parameter calls they make, bound by the
// driver's init, so that the decode depends on this interface and not on the device API. Until a
// driver binds one, every call fails (no camera).
struct FeaturePort {
    // The device the evaluation kit serves (the integration-time step and the monitor line use
    // it); null when none is open.
    lumox_dev_t *(*kit_device)();
    // Reads parameter id into value (its value bytes, up to 18); true when the camera answered.
    bool (*param_get)(lumox_dev_t *dev, uint32_t id, uint8_t *value);
    // Writes parameter id with the length the camera reports for it; true on success.
    bool (*param_set)(lumox_dev_t *dev, uint32_t id, const uint8_t *value, size_t bytes);
};

// Binds the port the features use from now on (nullptr: none, every call fails).
void bind_feature_port(const FeaturePort *port);

using FeatureClock = platform::LocalTime (*)();

// Replaces the features' wall clock (nullptr restores the real one); returns the previous clock.
FeatureClock set_feature_clock(FeatureClock clock);

// Forgets the three time stamps, as at process start.
void reset_feature_times();

// True when the evaluation kit's calculation runs in HDR mode.
bool evk_hdr_active();

// Sample classes over whole 16-bit samples (not masked): low 2..511, high 3585..4094, bad <= 1 or
// >= 4095.
struct SampleCounts {
    uint32_t samples = 0;
    uint32_t low = 0;
    uint32_t high = 0;
    uint32_t bad = 0;
};
SampleCounts count_samples(const uint8_t *raw, uint32_t raw_len);

// Integration-time change for a frame with these counts and the saturation limit (per mille);
// logs the frame's statistics at TRC level.
int32_t auto_intg_step(const SampleCounts &counts, uint16_t sat_ratio);

// One automatic integration step (time-gated to one per millisecond): writes parameter 13 to the
// evaluation kit's device and the chip configuration when the time changes.
void feature_auto_intg(epc_ctx &ctx, const uint8_t *raw, uint32_t raw_len);

// The monitor line (at most one per 10 s) with the temperatures of the last frame header.
void feature_temp_monitor(epc_ctx &ctx);

// Removes (65300) distances whose amplitude is below the threshold, with per-pixel hysteresis
// when enabled. dist and amp are n values in image order. Caller holds decode_lock.
void feature_minamp_filter(epc_ctx &ctx, uint16_t *dist, const uint16_t *amp, uint32_t n);

// True when more than 60 % of the n pixels have both DCS0 + DCS2 and DCS1 + DCS3 within
// 4017..4175 (12-bit samples).
bool dcs_sums_plausible(const uint8_t *raw, uint32_t n);

// DCS sum check of a frame of n pixels: false when the decode must end with -1 (implausible frame
// and parameter 17 was just sent to the driver's device). Clears frame_valid for an implausible
// frame.
bool feature_dcs_sum_check(lumox_drv *drv, epc_ctx &ctx, const uint8_t *raw, uint32_t n);

}  // namespace lumox::drivers
