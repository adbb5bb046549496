// EPC frame description and decode, and the exported per-pixel routines.
//
// Per pixel i of a four-DCS frame with 12-bit samples d0..d3:
//   valid      max(d) < 4095 and min(d) > 0 (otherwise saturated or empty: no distance)
//   amplitude  trunc(sqrt(((d2 - d0)^2 + (d3 - d1)^2) >> 2)), half the length of the vector
//   angle p    (atan2(d3 - d1, d2 - d0) + 15000) mod 30000, 30000 units per modulation period
// The floating-point steps keep the rounding of the formulas they implement (single-precision
// roundings where a float is formed, wider intermediates elsewhere).
//
// Amplitudes and angles come from the batch decode (lx/dcs.h) a piece of pixels at a time. The
// frame decode writes straight into image row order, and takes the linear calibration's
// distances from a table of every angle kept per device; the exported routines keep read-out
// order and work each distance out.

#include "drivers/epc_decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "drivers/epc_drnu.h"
#include "drivers/epc_features.h"
#include "drivers/range_lanes.h"
#include "lumox/evk.h"
#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/dcs.h"

namespace lumox::drivers {
namespace {

constexpr uint16_t kInvalid = LUMOX_DIST_INVALID;
constexpr uint16_t kRemoved = LUMOX_DIST_FILTERED;
constexpr uint32_t kPhaseUnits = 30000;
constexpr uint32_t kDcsCount = 4;
constexpr uint16_t kUndistortWidth = 320;
constexpr uint16_t kUndistortHeight = 240;
constexpr uint16_t kDefaultWidth = 320;
constexpr uint16_t kDefaultHeight = 240;
// Larger frames than any sensor delivers; keeps every byte count within 32 bits.
constexpr uint64_t kMaxPixels = 1u << 24;

// Pixels decoded per piece on the stack between the batch decode and the calibration.
constexpr uint32_t kPiece = 512;

// Image row of read-out row r of an h-row frame: the sensor reads the two halves of the image
// from the middle outwards, interleaved (the order calc_dcs_sort undoes). An odd last row stays.
uint32_t image_row(uint32_t r, uint32_t h) {
    const uint32_t half = h / 2;
    if (r >= 2 * half) return r;
    return r % 2 == 0 ? half - 1 - r / 2 : half + r / 2;
}

// Decodes the w x h pixels of raw piece by piece: f(src, dst, amp, phase, len) gets the amplitudes
// and phases of the len pixels from read-out index src, which belong at index dst of the output
// (the same index, or the image row order when in_image_order).
template <typename F>
void for_each_piece(const uint8_t *raw, uint32_t w, uint32_t h, bool in_image_order, F &&f) {
    const uint32_t n = w * h;
    if (!in_image_order) {
        w = n;
        h = n ? 1 : 0;
    }
    uint16_t amp[kPiece];
    uint16_t phase[kPiece];
    for (uint32_t r = 0; r < h; ++r) {
        const uint32_t src_row = r * w;
        const uint32_t dst_row = (in_image_order ? image_row(r, h) : r) * w;
        for (uint32_t c = 0; c < w; c += kPiece) {
            const uint32_t len = std::min(kPiece, w - c);
            lumox::dcs::amplitude_phase(raw, n, src_row + c, len, amp, phase);
            f(src_row + c, dst_row + c, amp, phase, len);
        }
    }
}

// Amplitudes alone (0 where not valid) into gray, in read-out or image row order.
void decode_amplitudes(uint16_t *gray, const uint8_t *raw, uint32_t w, uint32_t h,
                       bool in_image_order) {
    const uint32_t n = w * h;
    if (!in_image_order) {
        lumox::dcs::amplitude(raw, n, 0, n, gray);
        return;
    }
    for (uint32_t r = 0; r < h; ++r) {
        lumox::dcs::amplitude(raw, n, r * w, w, gray + static_cast<size_t>(image_row(r, h)) * w);
    }
}

// The linear phase-to-millimetre formula: scale per mille, then the offset and temperature term
// (shift, millimetres), folded into 0..range.
struct LinearDistance {
    int32_t range_mm;
    int32_t scale;
    int64_t shift;

    uint16_t operator()(uint32_t phase) const {
        const uint32_t mm = phase * static_cast<uint32_t>(range_mm) / kPhaseUnits;
        int64_t d = static_cast<int64_t>(static_cast<int32_t>(mm)) * scale / 1000 + shift;
        if (d < 0) {
            d += range_mm;
        } else if (d > range_mm) {
            d -= range_mm;
        }
        return static_cast<uint16_t>(d);
    }
};

// The distance of every 16-bit phase code under f, kept in the context until the formula
// changes: phases 0..29999 by the formula, every other code (kNoPhase among them) invalid; and
// the distance of every angle code of the batch decode.
lumox::dcs::Lookup phase_distances(epc_ctx &ctx, const LinearDistance &f) {
    constexpr size_t kCodes = 65536;
    if (ctx.phase_dist.size() != kCodes || ctx.phase_dist_range != f.range_mm ||
        ctx.phase_dist_scale != f.scale || ctx.phase_dist_shift != f.shift) {
        ctx.phase_dist.assign(kCodes, kInvalid);
        for (uint32_t p = 0; p < kPhaseUnits; ++p) ctx.phase_dist[p] = f(p);
        ctx.code_dist.assign(lumox::dcs::kAngleCodes + 1, 0);
        for (uint32_t c = 0; c < lumox::dcs::kAngleCodes; ++c) {
            ctx.code_dist[c] = ctx.phase_dist[lumox::dcs::phase_of_code(c)];
        }
        ctx.phase_dist_range = f.range_mm;
        ctx.phase_dist_scale = f.scale;
        ctx.phase_dist_shift = f.shift;
    }
    return {ctx.code_dist.data(), ctx.phase_dist.data(), kInvalid};
}

// Truncation toward zero; values outside the 32-bit range (and NaN) give INT32_MIN, the
// "integer indefinite" of the hardware conversion.
inline int32_t trunc_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Rounds half away from zero.
inline int32_t round_i32(double v) { return trunc_i32(v < 0 ? v - 0.5 : v + 0.5); }

// Pixels of a w x h frame the per-pixel routines accept, or 0.
uint32_t routine_pixels(uint32_t w, uint32_t h, uint32_t dcs) {
    const uint64_t n = static_cast<uint64_t>(w) * h;
    if (dcs != kDcsCount || n % 4 != 0 || n > kMaxPixels) return 0;
    return static_cast<uint32_t>(n);
}

// Distances with a linear phase-to-millimetre formula (scale per mille, offset and temperature
// term in millimetres), folded into 0..range. With a cache context the distances come from its
// table of every phase and land in image row order; without, they are worked out per pixel in
// read-out order.
int32_t calc_linear(const epc_ctx &ctx, uint16_t *dist, uint16_t *amp, const uint8_t *raw,
                    uint32_t w, uint32_t h, uint32_t dcs, int32_t scale, int32_t offset,
                    int32_t temp_term, epc_ctx *cache = nullptr) {
    const uint64_t pixels = static_cast<uint64_t>(w) * h;
    const uint32_t n = routine_pixels(w, h, dcs);
    if (!dist || !amp || !raw || (n == 0 && pixels != 0)) return 0;
    const LinearDistance f{ctx.range_mm, scale, static_cast<int64_t>(offset) - temp_term};
    if (cache) {
        // Straight into image row order, the distances read in the decode's own table read.
        const lumox::dcs::Lookup table = phase_distances(*cache, f);
        for (uint32_t r = 0; r < h; ++r) {
            const size_t at = static_cast<size_t>(image_row(r, h)) * w;
            lumox::dcs::amplitude_lookup(raw, n, r * w, w, table, amp + at, dist + at);
        }
        return 1;
    }
    for_each_piece(raw, w, h, false,
                   [&](uint32_t, uint32_t at, const uint16_t *a, const uint16_t *ph, uint32_t len) {
                       for (uint32_t k = 0; k < len; ++k) {
                           const bool valid = ph[k] != lumox::dcs::kNoPhase;
                           amp[at + k] = valid ? a[k] : kInvalid;
                           dist[at + k] = valid ? f(ph[k]) : kInvalid;
                       }
                   });
    return 1;
}

// Distances through the per-pixel DRNU table (bank 1), in read-out or image row order.
int32_t calc_drnu(const epc_ctx &ctx, uint16_t *dist, uint16_t *amp, const uint8_t *raw,
                  uint32_t width, uint32_t height, uint32_t dcs, bool in_image_order) {
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    const uint32_t n = routine_pixels(width, height, dcs);
    if (!dist || !amp || !raw || (n == 0 && pixels != 0)) return 0;
    const int32_t range = ctx.range_mm;
    if (range <= 0) return 0;
    const int32_t k_count = calibrateGetNumDistances();
    // Pixel i's table row is entries i*K .. i*K+K-1 of bank 1.
    const bool use_table = k_count >= 2;
    if (use_table && static_cast<uint64_t>(n) * k_count > LUMOX_DRNU_BANK_ENTRIES) return 0;

    const int32_t d_sensor = ctx.t_sensor - ctx.t_sensor_cal;
    const int32_t d_ib = ctx.t_ib - ctx.t_ib_cal;
    const float sensor_ph = static_cast<float>(d_sensor * static_cast<double>(ctx.tcoef_sensor_ph));
    drnu::Params params;
    params.table = distImagesDRNU[1];
    params.k = use_table ? k_count : 0;
    params.step_ph =
        static_cast<float>(static_cast<uint32_t>(static_cast<int64_t>(ctx.step_mm) * 30000) /
                           static_cast<uint32_t>(range));
    params.temp_ph = static_cast<float>(static_cast<double>(sensor_ph) +
                                        d_ib * static_cast<double>(ctx.tcoef_ib_ph));
    params.offset_ph = ctx.drnu_offset_ph;
    params.range_mm = range;

    for_each_piece(
        raw, width, height, in_image_order,
        [&](uint32_t src, uint32_t at, const uint16_t *a, const uint16_t *ph, uint32_t len) {
            // Invalid pixels have amplitude 0 from the batch decode.
            std::memcpy(amp + at, a, static_cast<size_t>(len) * sizeof(uint16_t));
            drnu::distances(params, ph, src, len, dist + at);
        });
    return 1;
}

// Temperature drift in millimetres of the linear calibration; the sensor term is rounded to
// single precision first.
int32_t linear_temp_term(const epc_ctx &ctx) {
    const int32_t d_sensor = ctx.t_sensor - ctx.t_sensor_cal;
    const int32_t d_ib = ctx.t_ib - ctx.t_ib_cal;
    const float sensor_mm = static_cast<float>(d_sensor * static_cast<double>(ctx.tcoef_sensor));
    return round_i32(static_cast<double>(sensor_mm) + d_ib * static_cast<double>(ctx.tcoef_ib));
}

void copy_rows(uint16_t *dst, int32_t dst_row, const uint16_t *src, int32_t src_row, int32_t w) {
    std::memcpy(dst + static_cast<size_t>(dst_row) * w, src + static_cast<size_t>(src_row) * w,
                static_cast<size_t>(w) * sizeof(uint16_t));
}

void log_wrong_len(uint32_t raw_len, uint32_t dst_size) {
    lx_log(LX_LOG_ERR, "ERR", "[%s] wrong data len: src=%d, dst=%d\n", "epc_frame_decode",
           static_cast<int>(raw_len), static_cast<int>(dst_size));
}

// Grows a scratch buffer to n values (kept for later frames).
uint16_t *scratch(std::vector<uint16_t> &buffer, uint32_t n) {
    if (buffer.size() < n) buffer.resize(n);
    return buffer.data();
}

// Undistorts src into out when enabled for this frame; returns the buffer holding the result.
// Whether the undistortion applies to a w x h frame; the switch is read once per frame.
bool undistorts(const epc_ctx &ctx, uint32_t w, uint32_t h) {
    return ctx.undist_en && w == kUndistortWidth && h == kUndistortHeight;
}

uint16_t *undistort(epc_ctx &ctx, bool enabled, uint16_t *src, uint16_t *out, uint32_t w,
                    uint32_t h) {
    if (!enabled) return src;
    const int32_t n = static_cast<int32_t>(w * h);
    if (!lx_calib_len_undistort_u16(&ctx.undist_map, out, n, src, static_cast<int32_t>(w),
                                    static_cast<int32_t>(h), 0)) {
        return src;
    }
    return out;
}

// Distances into dst; with gray, the frame's gray image as well (what decode_gray gives): the
// amplitudes the distance decode works out anyway, decoded straight into gray.
int32_t decode_distance(epc_ctx &ctx, uint16_t *dst, const uint8_t *raw, uint32_t w, uint32_t h,
                        uint16_t *gray = nullptr) {
    const uint32_t n = w * h;
    uint16_t *a = scratch(ctx.scratch_a, n);
    uint16_t *b = gray ? gray : scratch(ctx.scratch_b, n);
    // Distances in a and amplitudes in b, both in image row order.
    const int32_t ok = ctx.drnu_en ? calc_drnu(ctx, a, b, raw, w, h, kDcsCount, true)
                                   : calc_linear(ctx, a, b, raw, w, h, kDcsCount, ctx.scale,
                                                 ctx.offset_mm, linear_temp_term(ctx), &ctx);
    if (!ok) return -1;
    if (ctx.hdr_en) hdr_merge(a, b, w, h);
    feature_minamp_filter(ctx, a, b, n);
    if (gray && !ctx.drnu_en) {
        // The gray image has amplitude 0 where a pixel has no phase, as the DRNU decode's
        // amplitudes do; the linear decode marks those amplitudes invalid (no amplitude reaches
        // that code). The HDR merge picks the same values either way: it only tells such a pixel
        // from one of amplitude 0 otherwise.
        std::replace(gray, gray + n, kInvalid, uint16_t{0});
    }

    uint16_t *result = a;
    // The filters need at least 2 x 2 pixels.
    if (ctx.dfilter_en && ctx.dfilter_size > 1 && w > 1 && h > 1) {
        result = depth_filter_chain(ctx, dst, a, w, h);
    }
    const bool undistorting = undistorts(ctx, w, h);
    result = undistort(ctx, undistorting, result, result == a ? dst : a, w, h);
    if (result != dst) std::memcpy(dst, result, static_cast<size_t>(n) * sizeof(uint16_t));
    if (gray && undistorting) {
        // Where the undistortion fails, gray keeps the image as decoded, as decode_gray's does.
        uint16_t *decoded = scratch(ctx.scratch_b, n);
        std::memcpy(decoded, gray, static_cast<size_t>(n) * sizeof(uint16_t));
        undistort(ctx, true, decoded, gray, w, h);
    }
    return static_cast<int32_t>(2 * n);
}

int32_t decode_gray(epc_ctx &ctx, uint16_t *dst, const uint8_t *raw, uint32_t w, uint32_t h) {
    const uint32_t n = w * h;
    if (routine_pixels(w, h, kDcsCount) == 0 && n != 0) return -1;
    // Straight into dst unless the undistortion needs a source image of its own.
    const bool undistorting = undistorts(ctx, w, h);
    uint16_t *t = undistorting ? scratch(ctx.scratch_a, n) : dst;
    decode_amplitudes(t, raw, w, h, true);
    if (ctx.hdr_en && w > 0 && h > 0) {
        for (uint32_t row = 0; row + 1 < h; row += 2) {
            uint16_t *even = t + static_cast<size_t>(row) * w;
            uint16_t *odd = even + w;
            for (uint32_t c = 0; c < w; ++c) {
                const uint16_t v =
                    static_cast<int16_t>(even[c]) > static_cast<int16_t>(odd[c]) ? even[c] : odd[c];
                even[c] = v;
                odd[c] = v;
            }
        }
    }
    uint16_t *result = undistort(ctx, undistorting, t, dst, w, h);
    if (result != dst) std::memcpy(dst, result, static_cast<size_t>(n) * sizeof(uint16_t));
    return static_cast<int32_t>(2 * n);
}

// Removes distances at or beyond the range and at or below 100 mm; codes above 60000 stay.
void range_check(uint16_t *d, size_t n, int32_t range) {
    size_t i = drivers::range_lanes(d, n, range, kRemoved);
    for (; i < n; ++i) {
        const int32_t v = d[i];
        if (v <= 60000 && (v >= range || v <= 100)) d[i] = kRemoved;
    }
}

}  // namespace

void hdr_merge(uint16_t *dist, uint16_t *amp, uint32_t w, uint32_t h) {
    for (uint32_t row = 0; row + 1 < h; row += 2) {
        const size_t even = static_cast<size_t>(row) * w;
        const size_t odd = even + w;
        for (uint32_t c = 0; c < w; ++c) {
            const size_t from =
                static_cast<int16_t>(amp[even + c]) > static_cast<int16_t>(amp[odd + c]) ? even + c
                                                                                         : odd + c;
            const size_t to = from == even + c ? odd + c : even + c;
            amp[to] = amp[from];
            dist[to] = dist[from];
        }
    }
}

uint16_t *depth_filter_chain(const epc_ctx &ctx, uint16_t *dst, uint16_t *a, uint32_t w,
                             uint32_t h) {
    const auto iw = static_cast<int32_t>(w);
    const auto ih = static_cast<int32_t>(h);
    lx_median2d_u16(dst, a, iw, ih, 5);
    lx_gauss2d_u16_k3(a, dst, iw, ih);
    uint16_t *result;
    if (ctx.flypix_en) {
        lx_flypix_u16_k3(dst, a, iw, ih, static_cast<uint32_t>(ctx.flypix_thr.load()));
        lx_fhole_u16_k3(a, dst, iw, ih);
        result = a;
    } else {
        lx_fhole_u16_k3(dst, a, iw, ih);
        result = dst;
    }
    range_check(result, static_cast<size_t>(w) * h, ctx.range_mm);
    return result;
}

}  // namespace lumox::drivers

using namespace lumox::drivers;

uint8_t epc_frame_get_info(lumox_drv *drv, lumox_frame_info *info, const lx_raw_frame_info *hdr) {
    if (!info || !hdr) return 0;
    temperatureSetTemperatureByFrameHeader(hdr->temp_sensor, hdr->temp_ib);
    // A record whose set-up failed has no context; its frames are still described.
    if (epc_ctx *ctx = epc_context(drv)) {
        ctx->frame_valid = 1;
        ctx->t_sensor = hdr->temp_sensor;
        ctx->t_ib = hdr->temp_ib;
        feature_temp_monitor(*ctx);
    }

    *info = lumox_frame_info{};
    const uint32_t width = hdr->width ? hdr->width : kDefaultWidth;
    const uint32_t height = hdr->height ? hdr->height : kDefaultHeight;
    pruSetSize(hdr->width, hdr->height / 2);
    lx_log(LX_LOG_TRC, "TRC", "[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", "epc_frame_get_info",
           hdr->frfmt, static_cast<int>(hdr->frlen), static_cast<int>(width),
           static_cast<int>(height));
    if (hdr->frfmt != kEpcFormatCalibration && hdr->frlen % (width * height) != 0) return 0;
    info->frame_size = hdr->frlen;
    info->frame_format = hdr->frfmt;
    info->frame_idx = hdr->fridx;
    info->width = width;
    info->height = height;
    info->pixel_bytes = static_cast<uint8_t>(hdr->frlen / width / height);
    return 1;
}

int32_t epc_frame_decode(lumox_drv *drv, uint16_t *dst, uint32_t dst_size, uint32_t mode,
                         const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info) {
    epc_ctx *ctx = epc_context(drv);
    if (!ctx || !dst || !raw || !info) return -1;
    std::lock_guard<std::mutex> lock(ctx->decode_lock);
    raw_len = std::min(raw_len, info->frame_size);
    const uint32_t w = info->width;
    const uint32_t h = info->height;
    const uint64_t n = static_cast<uint64_t>(w) * h;

    if (ctx->auto_intg_en && ctx->sat_ratio != 0 && !evk_hdr_active()) {
        feature_auto_intg(*ctx, raw, raw_len);
    }

    switch (info->frame_format) {
        case kEpcFormatRaw:
            break;
        case 0:
            return -1;
        case 8:
            if (mode == kEpcModeDistance || mode == kEpcModeDistanceGray) ctx->frame_valid = 0;
            return -1;
        case kEpcFormatCalibration:
            lx_log(LX_LOG_INF, "INF", "[%s] Calibration data frame,size:%d\n", "epc_frame_decode",
                   static_cast<int>(info->frame_size));
            ctx->frame_valid = 0;
            return -1;
        default:
            ctx->frame_valid = 0;
            return -1;
    }
    if (dst_size < 2 * n || raw_len < 8 * n || n > kMaxPixels) {
        log_wrong_len(raw_len, dst_size);
        ctx->frame_valid = 0;
        return -1;
    }
    if (ctx->sum_chk_en && !feature_dcs_sum_check(drv, *ctx, raw, static_cast<uint32_t>(n))) {
        return -1;
    }
    int32_t result = -1;
    if (mode == kEpcModeDistance) {
        result = decode_distance(*ctx, dst, raw, w, h);
    } else if (mode == kEpcModeGray) {
        result = decode_gray(*ctx, dst, raw, w, h);
    } else if (mode == kEpcModeDistanceGray) {
        if (dst_size / 4 < n) {
            log_wrong_len(raw_len, dst_size);
            ctx->frame_valid = 0;
            return -1;
        }
        result = decode_distance(*ctx, dst + n, raw, w, h, dst);
        if (result > 0) result *= 2;
    }
    if (result < 0) ctx->frame_valid = 0;
    return result;
}

extern "C" {

LUMOX_API int32_t calc_dist_calib_simple(lumox_drv *drv, uint16_t *dist, uint16_t *amp,
                                         const uint8_t *raw, uint32_t width, uint32_t height,
                                         uint32_t dcs) noexcept {
    const epc_ctx *ctx = epc_context(drv);
    if (!ctx) return 0;
    return calc_linear(*ctx, dist, amp, raw, width, height, dcs, ctx->scale, ctx->offset_mm,
                       linear_temp_term(*ctx));
}

LUMOX_API int32_t calc_dist_calib_none(lumox_drv *drv, uint16_t *dist, uint16_t *amp,
                                       const uint8_t *raw, uint32_t width, uint32_t height,
                                       uint32_t dcs, int32_t scale, int32_t offset) noexcept {
    const epc_ctx *ctx = epc_context(drv);
    if (!ctx) return 0;
    return calc_linear(*ctx, dist, amp, raw, width, height, dcs, scale, offset, 0);
}

LUMOX_API int32_t calc_dist_calib_drnu(lumox_drv *drv, uint16_t *dist, uint16_t *amp,
                                       const uint8_t *raw, uint32_t width, uint32_t height,
                                       uint32_t dcs) noexcept {
    const epc_ctx *ctx = epc_context(drv);
    if (!ctx) return 0;
    return calc_drnu(*ctx, dist, amp, raw, width, height, dcs, false);
}

LUMOX_API int32_t calc_gray(lumox_drv *, uint16_t *gray, const uint8_t *raw, uint32_t width,
                            uint32_t height, uint32_t dcs) noexcept {
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    const uint32_t n = routine_pixels(width, height, dcs);
    if (!gray || !raw || (n == 0 && pixels != 0)) return 0;
    decode_amplitudes(gray, raw, width, height, false);
    return 1;
}

LUMOX_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width,
                             int32_t height) noexcept {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int32_t half = height / 2;
    for (int32_t m = 0; m < half; ++m) {
        copy_rows(dst, half - 1 - m, src, 2 * m, width);
        copy_rows(dst, half + m, src, 2 * m + 1, width);
    }
    // An odd height leaves one read-out row without a partner: it stays the last row.
    if (height % 2) copy_rows(dst, height - 1, src, height - 1, width);
}

LUMOX_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width,
                               int32_t height) noexcept {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int32_t half = height / 2;
    for (int32_t m = 0; m < half; ++m) {
        copy_rows(dst, 2 * half - 2 - 2 * m, src, m, width);
        copy_rows(dst, 2 * m + 1, src, half + m, width);
    }
    if (height % 2) copy_rows(dst, height - 1, src, height - 1, width);
}

}  // extern "C"
