// EPC run-time features: switches, temperature monitor, automatic integration time, DCS sum check
// and the minimum-amplitude filter.

#include "drivers/epc_features.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "drivers/minamp_lanes.h"
#include "lumox/epc.h"
#include "lumox/evk.h"
#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/byte_order.h"

namespace lumox::drivers {
namespace {

constexpr uint16_t kRemoved = LUMOX_DIST_FILTERED;
constexpr int32_t kIntgMin = 50;
constexpr int32_t kIntgMax = 1500;
constexpr int64_t kMonitorInterval_s = 10;

std::atomic<FeatureClock> g_clock{nullptr};
std::atomic<int64_t> g_last_monitor_s{0};
std::atomic<int64_t> g_last_intg_ms{-1};
std::atomic<int64_t> g_last_send_s{0};

platform::LocalTime now() {
    FeatureClock clock = g_clock.load();
    return clock ? clock() : platform::local_time_now();
}

uint16_t sample_at(const uint8_t *raw, uint32_t index) { return load_le16(raw + 2 * index); }

bool calibration_files_present() { return calibrationDataFileCheck(0) >= 0; }

const FeaturePort kNoCamera = {
    [] { return static_cast<lumox_dev_t *>(nullptr); },
    [](lumox_dev_t *, uint32_t, uint8_t *) { return false; },
    [](lumox_dev_t *, uint32_t, const uint8_t *, size_t) { return false; },
};
std::atomic<const FeaturePort *> g_port{&kNoCamera};

const FeaturePort &port() { return *g_port.load(); }

uint32_t frame_rate() {
    lumox_dev_t *kit = port().kit_device();
    if (!kit) return 0;
    uint8_t value[LUMOX_PARAM_VAL_MAX] = {};
    if (!port().param_get(kit, LUMOX_PARAM_FRAME_RATE, value)) return 0;
    uint32_t fps;
    std::memcpy(&fps, value, sizeof fps);
    return fps;
}

void release_mask(epc_ctx &ctx) {
    ctx.minamp_mask.reset();
    ctx.minamp_mask_len = 0;
}

// Reads the filter argument of `size` bytes, or false when the caller gave too little.
template <typename T>
bool read_arg(const void *arg, uint32_t arg_size, T &out) {
    if (!arg || arg_size < sizeof(T)) return false;
    std::memcpy(&out, arg, sizeof(T));
    return true;
}

uint8_t enable_drnu(epc_ctx &ctx, void *arg, uint32_t arg_size) {
    uint8_t selector;
    if (!read_arg(arg, arg_size, selector)) return 0;
    if (selector < 2) {
        ctx.calib_sel = selector;
    } else {
        const uint8_t one = 1;
        std::memcpy(arg, &one, 1);
    }
    if (ctx.firmware_corrects) {
        ctx.drnu_en = 1;  // the camera's own correction, whatever files lie about
        return 1;
    }
    if (!calibration_files_present() || !calibration_files_belong(ctx)) return 0;
    ctx.drnu_en = 1;
    return 1;
}

}  // namespace

void bind_feature_port(const FeaturePort *bound) { g_port = bound ? bound : &kNoCamera; }

bool evk_hdr_active() { return calculationIsHDR() != 0; }

FeatureClock set_feature_clock(FeatureClock clock) { return g_clock.exchange(clock); }

void reset_feature_times() {
    g_last_monitor_s = 0;
    g_last_intg_ms = -1;
    g_last_send_s = 0;
}

SampleCounts count_samples(const uint8_t *raw, uint32_t raw_len) {
    SampleCounts c;
    c.samples = raw_len / 2;
    for (uint32_t i = 0; i < c.samples; ++i) {
        const uint16_t v = sample_at(raw, i);
        c.low += (v >= 2 && v <= 511);
        c.high += (v >= 3585 && v <= 4094);
        c.bad += (v <= 1 || v >= 4095);
    }
    return c;
}

int32_t auto_intg_step(const SampleCounts &c, uint16_t sat_ratio) {
    constexpr const char *kFunc = "_feature_auto_intg_calc_step";
    constexpr const char *kLine =
        "[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n";
    if (c.samples == 0) {
        lx_log(LX_LOG_TRC, "TRC", kLine, kFunc, 0, 0, 0, 0, sat_ratio);
        return 50;
    }
    const auto pct = static_cast<uint32_t>(static_cast<uint64_t>(c.bad) * 1000 / c.samples);
    lx_log(LX_LOG_TRC, "TRC", kLine, kFunc, static_cast<int>(pct), static_cast<int>(c.bad),
           static_cast<int>(c.high), static_cast<int>(c.low), sat_ratio);
    if (pct >= sat_ratio && pct >= 10) return -static_cast<int32_t>(pct / 10 * 10);
    if (pct >= sat_ratio && pct >= 1 && pct <= 9 && c.high > 512) return -10;
    if (c.high > 10 || c.low > 512) return 0;
    return 50;
}

void feature_auto_intg(epc_ctx &ctx, const uint8_t *raw, uint32_t raw_len) {
    const platform::LocalTime t = now();
    const int64_t now_ms = t.epoch_s * 1000 + t.millis;
    const int64_t last_ms = g_last_intg_ms.load();
    if (last_ms >= 0 && now_ms - last_ms <= 1) return;

    const int32_t step = auto_intg_step(count_samples(raw, raw_len), ctx.sat_ratio);
    const int32_t cur = configGetIntegrationTime3D();
    int32_t next = cur + step;
    if (next > kIntgMax) next = kIntgMax;
    if (next < kIntgMin) next = kIntgMin;
    if (next != cur) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] AUTO_INTG: %d->%d\n", "_feature_auto_intg", cur, next);
        const uint8_t value[2] = {static_cast<uint8_t>(next & 0xFF),
                                  static_cast<uint8_t>((next >> 8) & 0xFF)};
        if (port().param_set(port().kit_device(), LUMOX_PARAM_INTG_TIME, value, sizeof value)) {
            configSetIntegrationTime3D(next);
        } else {
            lx_log(LX_LOG_ERR, "ERR", "[%s] adjust intg from %d to %d failed\n",
                   "_feature_auto_intg", cur, next);
        }
    }
    g_last_intg_ms = now_ms;
}

void feature_temp_monitor(epc_ctx &ctx) {
    if (!ctx.temp_mon_en) {
        lx_log(LX_LOG_TRC, "TRC", "[%s] Temp monitor not enable\n", "epc_frame_get_info");
        return;
    }
    const platform::LocalTime t = now();
    const int64_t last = g_last_monitor_s.load();
    if (last != 0 && t.epoch_s - last < kMonitorInterval_s) return;
    const uint32_t fps = frame_rate();
    lx_log(LX_LOG_DBG, "DBG", "[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n",
           "_feature_temp_monitor", static_cast<int>(t.epoch_s - last), ctx.t_ib / 10.0,
           ctx.t_sensor / 10.0, static_cast<int>(fps));
    g_last_monitor_s = t.epoch_s;
}

void feature_minamp_filter(epc_ctx &ctx, uint16_t *dist, const uint16_t *amp, uint32_t n) {
    const bool hysteresis = ctx.minamp_hyst_en != 0;
    if (hysteresis && (!ctx.minamp_mask || static_cast<uint32_t>(ctx.minamp_mask_len) < n)) {
        release_mask(ctx);
        ctx.minamp_mask.reset(new (std::nothrow) uint8_t[n]());
        if (!ctx.minamp_mask) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed\n", "_feature_minamp_filter");
            std::exit(-3);
        }
        ctx.minamp_mask_len = static_cast<int32_t>(n);
    }
    if (!ctx.minamp_en) return;

    const uint32_t thr = ctx.minamp_thr;
    const uint32_t hyst = ctx.minamp_hyst;
    uint8_t *mask = ctx.minamp_mask.get();
    uint32_t i = minamp_lanes(dist, amp, mask, n, static_cast<uint16_t>(thr),
                              static_cast<uint16_t>(hyst), hysteresis, kRemoved);
    for (; i < n; ++i) {
        if (hysteresis) {
            if (amp[i] >= thr) {
                mask[i] = 1;
            } else if (amp[i] + hyst < thr) {
                mask[i] = 0;
            }
            if (!mask[i]) dist[i] = kRemoved;
        } else if (amp[i] < thr) {
            dist[i] = kRemoved;
        }
    }
}

bool dcs_sums_plausible(const uint8_t *raw, uint32_t n) {
    if (n == 0) return false;
    uint32_t c02 = 0;
    uint32_t c13 = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t d0 = sample_at(raw, i) & 0xFFF;
        const uint32_t d1 = sample_at(raw, n + i) & 0xFFF;
        const uint32_t d2 = sample_at(raw, 2 * n + i) & 0xFFF;
        const uint32_t d3 = sample_at(raw, 3 * n + i) & 0xFFF;
        c02 += (d0 + d2 >= 4017 && d0 + d2 <= 4175);
        c13 += (d1 + d3 >= 4017 && d1 + d3 <= 4175);
    }
    return static_cast<uint64_t>(c02) * 100 / n > 60 && static_cast<uint64_t>(c13) * 100 / n > 60;
}

bool feature_dcs_sum_check(lumox_drv *drv, epc_ctx &ctx, const uint8_t *raw, uint32_t n) {
    const platform::LocalTime t = now();
    if (dcs_sums_plausible(raw, n)) return true;
    ctx.frame_valid = 0;
    if (t.epoch_s <= g_last_send_s.load()) return true;
    const uint16_t arg = ctx.sum_chk_arg;
    const uint8_t value[3] = {static_cast<uint8_t>(arg == 0 ? 1 : 0),
                              static_cast<uint8_t>(arg & 0xFF), static_cast<uint8_t>(arg >> 8)};
    port().param_set(drv->dev, LUMOX_PARAM_ID17, value, sizeof value);
    g_last_send_s = t.epoch_s;
    return false;
}

}  // namespace lumox::drivers

using namespace lumox::drivers;

uint8_t epc_filter_enable(lumox_drv *drv, uint32_t filter_id, void *arg, uint32_t arg_size) {
    epc_ctx *ctx = epc_context(drv);
    if (!ctx) return 0;
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    switch (filter_id) {
        case FILTER_LENS_UNDISTORT:
            ctx->undist_en = 1;
            return 1;
        case FILTER_DRNU:
            return enable_drnu(*ctx, arg, arg_size);
        case FILTER_DEPTH_SMOOTH:
            if (!read_arg(arg, arg_size, u8)) return 0;
            ctx->dfilter_size = u8;
            ctx->dfilter_en = 1;
            return 1;
        case FILTER_MIN_AMPLITUDE:
            if (!read_arg(arg, arg_size, u16)) return 0;
            ctx->minamp_thr = u16;
            ctx->minamp_en = 1;
            return 1;
        case FILTER_AUTO_INTEGRATION:
            if (!read_arg(arg, arg_size, u16)) return 0;
            ctx->sat_ratio = u16;
            ctx->auto_intg_en = 1;
            return 1;
        case FILTER_DCS_SUM_CHECK:
            if (!read_arg(arg, arg_size, u16)) return 0;
            ctx->sum_chk_arg = u16;
            ctx->sum_chk_en = 1;
            return 1;
        case FILTER_TEMP_MONITOR:
            if (!read_arg(arg, arg_size, u16)) return 0;
            ctx->temp_mon_arg = u16;
            ctx->temp_mon_en = 1;
            return 1;
        case FILTER_HDR:
            ctx->hdr_en = 1;
            configEnableHDR(1, configGetDeviceAddress());
            return 1;
        default:
            return 1;
    }
}

uint8_t epc_filter_disable(lumox_drv *drv, uint32_t filter_id) {
    epc_ctx *ctx = epc_context(drv);
    if (!ctx) return 0;
    switch (filter_id) {
        case FILTER_LENS_UNDISTORT:
            ctx->undist_en = 0;
            break;
        case FILTER_DRNU:
            if (ctx->firmware_corrects) {
                // The host has no correction of its own to switch off: a linear fit on top of
                // the firmware's correction would count the offset twice.
                lx_log(LX_LOG_WRN, "WRN",
                       "[%s] this camera corrects every pixel in its firmware, which cannot be "
                       "switched off: per-pixel correction stays on\n",
                       "epc_filter_disable");
                return 0;
            }
            ctx->drnu_en = 0;
            calculationSetEnableDRNU(0);
            break;
        case FILTER_DEPTH_SMOOTH:
            ctx->dfilter_en = 0;
            ctx->dfilter_size = 0;
            break;
        case FILTER_MIN_AMPLITUDE: {
            ctx->minamp_en = 0;
            // A decode may be using the mask right now.
            std::lock_guard<std::mutex> lock(ctx->decode_lock);
            release_mask(*ctx);
            break;
        }
        case FILTER_AUTO_INTEGRATION:
            ctx->auto_intg_en = 0;
            ctx->sat_ratio = 0;
            break;
        case FILTER_DCS_SUM_CHECK:
            ctx->sum_chk_en = 0;
            break;
        case FILTER_TEMP_MONITOR:
            ctx->temp_mon_en = 0;
            break;
        case FILTER_HDR:
            ctx->hdr_en = 0;
            configEnableHDR(0, configGetDeviceAddress());
            break;
        default:
            break;
    }
    return 1;
}
