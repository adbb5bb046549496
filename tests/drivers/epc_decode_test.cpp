// EPC frame description and decode: worked examples, double-precision references and the size,
// format and feature edge cases of the decode.

#include "drivers/epc_decode.h"

#include <gtest/gtest.h>

#include <cctype>

#include <cmath>
#include <numeric>
#include <random>
#include <string>

#include "drivers/epc_test_frames.h"
#include "lx/dcs.h"
#include "lx/simd.h"
#include "lumox/evk.h"
#include "lumox/log.h"

namespace lumox::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr int32_t kRange12MHz = 12491;

// Runs fn with the console log at level and returns what it printed.
template <typename F>
std::string console_log(uint32_t level, F fn) {
    lx_log_enable(LX_LOG_OUT_CONSOLE, level, nullptr);
    CaptureStdout();
    fn();
    const std::string out = GetCapturedStdout();
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    return out;
}

class EpcDecode : public testing::Test {
  protected:
    EpcDriver epc;
    std::vector<uint16_t> dist, amp;

    void calc_simple(const std::vector<uint8_t> &raw, uint32_t w, uint32_t h) {
        dist.assign(w * h, 0xDEAD);
        amp.assign(w * h, 0xDEAD);
        ASSERT_EQ(calc_dist_calib_simple(&epc.drv, dist.data(), amp.data(), raw.data(), w, h, 4),
                  1);
    }

    std::vector<uint16_t> decode(const std::vector<uint8_t> &raw, uint32_t w, uint32_t h,
                                 uint32_t mode = 1) {
        std::vector<uint16_t> out(w * h, 0xDEAD);
        const lumox_frame_info info = frame_info(w, h);
        EXPECT_EQ(epc_frame_decode(&epc.drv, out.data(), 2 * w * h, mode, raw.data(),
                                   static_cast<uint32_t>(raw.size()), &info),
                  static_cast<int32_t>(2 * w * h));
        return out;
    }
};

TEST_F(EpcDecode, RangeFollowsTheModulationFrequency) {
    EXPECT_EQ(epc.ctx.range_mm, kRange12MHz);
    EXPECT_EQ(epc.ctx.drnu_offset_ph, 295 * 30000 / kRange12MHz);
    EXPECT_NEAR(epc.ctx.tcoef_sensor_ph, 1.7 * 30000 / kRange12MHz, 1e-4);
}

TEST_F(EpcDecode, WorkedExamplePixel) {
    calc_simple(flat_frame(2, 2, kMidPixel), 2, 2);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(amp[i], 500);
        EXPECT_EQ(dist[i], 2845);
    }
    // An angle of 0 lies below the offset and folds into the range.
    calc_simple(flat_frame(2, 2, {3048, 2048, 2048, 2048}), 2, 2);
    EXPECT_EQ(dist[0], -3400 + kRange12MHz);
}

TEST_F(EpcDecode, SimpleFormulaMatchesDoubleReference) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(1, 4094);
    const uint32_t w = 16, h = 16;
    std::vector<Dcs> pixels(w * h);
    for (auto &p : pixels) {
        p = {static_cast<uint16_t>(sample(rng)), static_cast<uint16_t>(sample(rng)),
             static_cast<uint16_t>(sample(rng)), static_cast<uint16_t>(sample(rng))};
    }
    // High bits above the 12 measured ones are ignored.
    pixels[3][1] |= 0xF000;
    calc_simple(raw_frame(w, h, [&](uint32_t i) { return pixels[i]; }), w, h);
    for (uint32_t i = 0; i < w * h; ++i) {
        const double dx = pixels[i][2] - pixels[i][0];
        const double dy = (pixels[i][3] & 0xFFF) - (pixels[i][1] & 0xFFF);
        const double amplitude = std::sqrt(std::floor((dx * dx + dy * dy) / 4));
        EXPECT_NEAR(amp[i], amplitude, 1.0) << i;
        double turns = std::atan2(dy, dx) / (2 * M_PI);
        if (turns < 0) turns += 1;
        double p = std::fmod(turns * 30000 + 15000, 30000);
        double mm = p * kRange12MHz / 30000 - 3400;
        if (mm < 0) mm += kRange12MHz;
        // Table angle (+-1 unit) and three truncations; near 0 the fold may go either way.
        const double diff = std::fabs(dist[i] - mm);
        EXPECT_TRUE(diff <= 2.0 || std::fabs(diff - kRange12MHz) <= 2.0) << i << " " << dist[i];
    }
}

TEST_F(EpcDecode, TemperatureDriftRoundsHalfAwayFromZero) {
    epc.ctx.t_sensor = 10;  // 17 mm
    epc.ctx.t_ib = 3;       // 1.01 mm
    calc_simple(flat_frame(2, 2, kMidPixel), 2, 2);
    EXPECT_EQ(dist[0], 2845 - 18);
    epc.ctx.t_sensor = -5;  // -8.5 mm rounds to -9
    epc.ctx.t_ib = 0;
    calc_simple(flat_frame(2, 2, kMidPixel), 2, 2);
    EXPECT_EQ(dist[0], 2845 + 9);
    epc.ctx.t_sensor_cal = -5;  // no difference to the calibration temperature
    calc_simple(flat_frame(2, 2, kMidPixel), 2, 2);
    EXPECT_EQ(dist[0], 2845);
}

TEST_F(EpcDecode, InvalidPixelsPerRoutine) {
    const auto raw = raw_frame(2, 2, [](uint32_t i) -> Dcs {
        if (i == 0) return {4095, 2048, 2048, 2048};
        if (i == 1) return {2048, 0, 2048, 2048};
        return kMidPixel;
    });
    calc_simple(raw, 2, 2);
    EXPECT_EQ(dist[0], 65500);
    EXPECT_EQ(amp[0], 65500);
    EXPECT_EQ(dist[1], 65500);
    EXPECT_EQ(amp[1], 65500);
    EXPECT_EQ(dist[2], 2845);

    ASSERT_EQ(calc_dist_calib_drnu(&epc.drv, dist.data(), amp.data(), raw.data(), 2, 2, 4), 1);
    EXPECT_EQ(dist[0], 65500);
    EXPECT_EQ(amp[0], 0);
    EXPECT_EQ(amp[2], 500);

    std::vector<uint16_t> gray(4);
    ASSERT_EQ(calc_gray(&epc.drv, gray.data(), raw.data(), 2, 2, 4), 1);
    EXPECT_EQ(gray, (std::vector<uint16_t>{0, 0, 500, 500}));
}

TEST_F(EpcDecode, RoutinesRefuseOtherDcsCountsAndAreas) {
    const auto raw = flat_frame(3, 1, kMidPixel);
    std::vector<uint16_t> a(4, 7), b(4, 7);
    EXPECT_EQ(calc_dist_calib_simple(&epc.drv, a.data(), b.data(), raw.data(), 3, 1, 4), 0);
    EXPECT_EQ(calc_gray(&epc.drv, a.data(), raw.data(), 2, 2, 2), 0);
    EXPECT_EQ(calc_dist_calib_none(&epc.drv, a.data(), b.data(), raw.data(), 2, 2, 3, 1000, 0), 0);
    EXPECT_EQ(a, std::vector<uint16_t>(4, 7));
}

TEST_F(EpcDecode, NoneFormulaUsesItsOwnScaleAndOffset) {
    const auto raw = flat_frame(2, 2, kMidPixel);
    dist.assign(4, 0);
    amp.assign(4, 0);
    epc.ctx.t_sensor = 100;  // ignored
    ASSERT_EQ(calc_dist_calib_none(&epc.drv, dist.data(), amp.data(), raw.data(), 2, 2, 4, 2000, 0),
              1);
    EXPECT_EQ(dist[0], 12490);
    ASSERT_EQ(
        calc_dist_calib_none(&epc.drv, dist.data(), amp.data(), raw.data(), 2, 2, 4, 1000, 7000),
        1);
    EXPECT_EQ(dist[0], 6245 + 7000 - kRange12MHz);
}

class EpcDrnu : public EpcDecode {
  protected:
    int saved_k = calibrateGetNumDistances();
    void TearDown() override {
        std::fill(std::begin(distImagesDRNU[1]), std::end(distImagesDRNU[1]), 0);
        calibrateSetNumDistances(saved_k);
    }
    void fill_table(const std::vector<uint16_t> &row, uint32_t n) {
        calibrateSetNumDistances(static_cast<int>(row.size()));
        for (uint32_t i = 0; i < n; ++i) {
            std::copy(row.begin(), row.end(), distImagesDRNU[1] + i * row.size());
        }
    }
    uint16_t drnu_distance(const std::vector<uint8_t> &raw) {
        dist.assign(4, 0);
        amp.assign(4, 0);
        EXPECT_EQ(calc_dist_calib_drnu(&epc.drv, dist.data(), amp.data(), raw.data(), 2, 2, 4), 1);
        return dist[0];
    }
};

TEST_F(EpcDrnu, TableEntryMeansItsCalibrationDistance) {
    // Pixel angle 15000 equals entry 2 of the table: 295 + 2 x 1000 mm.
    fill_table({9000, 12000, 15000, 18000}, 4);
    EXPECT_NEAR(drnu_distance(flat_frame(2, 2, kMidPixel)), 2295, 2);
    // Halfway between entries 1 and 2.
    fill_table({9000, 12000, 18000, 21000}, 4);
    EXPECT_NEAR(drnu_distance(flat_frame(2, 2, kMidPixel)), 1795, 2);
}

TEST_F(EpcDrnu, EmptyTablePassesTheAngleThrough) {
    calibrateSetNumDistances(4);
    EXPECT_EQ(drnu_distance(flat_frame(2, 2, kMidPixel)), 15000 * kRange12MHz / 30000);
    // The sensor drift of 10 x 1.7 mm is taken off in angle units.
    epc.ctx.t_sensor = 10;
    EXPECT_NEAR(drnu_distance(flat_frame(2, 2, kMidPixel)), 6245 - 17, 1);
}

TEST_F(EpcDrnu, FlatTableRowsAndZeroRangeStaySafe) {
    fill_table({15000, 15000, 15000}, 4);  // not increasing: angle unchanged
    EXPECT_EQ(drnu_distance(flat_frame(2, 2, kMidPixel)), 6245);
    fill_table({9000, 15000, 15000, 27000}, 4);  // the pixel's segment has zero width
    drnu_distance(flat_frame(2, 2, kMidPixel));
    epc.ctx.range_mm = 0;
    EXPECT_EQ(calc_dist_calib_drnu(&epc.drv, dist.data(), amp.data(),
                                   flat_frame(2, 2, kMidPixel).data(), 2, 2, 4),
              0);
}

TEST(EpcDcsSort, ReadOutRowsGoCentreOut) {
    std::vector<uint16_t> src{0, 1, 2, 3}, dst(4);
    calc_dcs_sort(dst.data(), src.data(), 1, 4);
    // Read-out rows 0, 1, 2, 3 land on image rows 1, 2, 0, 3.
    EXPECT_EQ(dst, (std::vector<uint16_t>{2, 0, 1, 3}));
}

TEST(EpcDcsSort, UnsortInvertsSortForAnyHeight) {
    for (int32_t h : {1, 2, 3, 4, 5, 7, 8, 240}) {
        const int32_t w = 3;
        std::vector<uint16_t> src(w * h), sorted(w * h, 0xFFFF), back(w * h, 0xFFFF);
        std::iota(src.begin(), src.end(), 0);
        calc_dcs_sort(sorted.data(), src.data(), w, h);
        calc_dcs_unsort(back.data(), sorted.data(), w, h);
        EXPECT_EQ(back, src) << "h=" << h;
        std::vector<uint16_t> rows = sorted;
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, src) << "sort is a permutation, h=" << h;
    }
}

TEST_F(EpcDecode, FrameInfoFromHeader) {
    lx_raw_frame_info hdr{};
    hdr.frlen = 8 * 320 * 240;
    hdr.fridx = 77;
    hdr.frfmt = 2;
    hdr.temp_sensor = 412;
    hdr.temp_ib = -15;
    lumox_frame_info info{};
    epc.ctx.frame_valid = 0;
    ASSERT_EQ(epc_frame_get_info(&epc.drv, &info, &hdr), 1);
    EXPECT_EQ(info.width, 320u);  // 0 x 0 in the header
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.frame_size, hdr.frlen);
    EXPECT_EQ(info.frame_idx, 77);
    EXPECT_EQ(info.pixel_bytes, 8);
    EXPECT_EQ(epc.ctx.frame_valid, 1);
    EXPECT_EQ(epc.ctx.t_sensor, 412);
    EXPECT_EQ(epc.ctx.t_ib, -15);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 412);

    hdr.width = 160;
    hdr.height = 120;
    hdr.frlen = 160 * 120 * 8 + 1;
    EXPECT_EQ(epc_frame_get_info(&epc.drv, &info, &hdr), 0);
    EXPECT_EQ(info.frame_size, 0u);
    EXPECT_EQ(info.width, 0u);
    // A calibration frame is described whatever its length.
    hdr.frfmt = 171;
    EXPECT_EQ(epc_frame_get_info(&epc.drv, &info, &hdr), 1);
    EXPECT_EQ(info.frame_format, 171);
}

TEST_F(EpcDecode, RefusesShortDataAndSmallDestinations) {
    epc.plain();
    const auto raw = flat_frame(4, 4, kMidPixel);
    lumox_frame_info info = frame_info(4, 4);
    std::vector<uint16_t> out(16);
    epc.ctx.frame_valid = 1;
    const std::string log = console_log(LX_LOG_ERR, [&] {
        EXPECT_EQ(epc_frame_decode(&epc.drv, out.data(), 32, 1, raw.data(), 127, &info), -1);
    });
    EXPECT_NE(log.find("wrong data len: src=127, dst=32"), std::string::npos) << log;
    EXPECT_EQ(epc.ctx.frame_valid, 0);
    EXPECT_EQ(epc_frame_decode(&epc.drv, out.data(), 31, 1, raw.data(), 128, &info), -1);
    // The raw length counts only up to the frame size.
    info.frame_size = 120;
    EXPECT_EQ(epc_frame_decode(&epc.drv, out.data(), 32, 1, raw.data(), 128, &info), -1);
    info.frame_size = 128;
    EXPECT_EQ(epc_frame_decode(&epc.drv, out.data(), 32, 1, raw.data(), 128, &info), 32);
    EXPECT_EQ(out[0], 2845);
}

TEST_F(EpcDecode, OnlyFormatTwoDecodes) {
    const auto raw = flat_frame(4, 4, kMidPixel);
    std::vector<uint16_t> out(16);
    auto run = [&](uint16_t format, uint32_t mode) {
        epc.ctx.frame_valid = 1;
        const lumox_frame_info info = frame_info(4, 4, format);
        return epc_frame_decode(&epc.drv, out.data(), 32, mode, raw.data(), 128, &info);
    };
    EXPECT_EQ(run(0, 1), -1);
    EXPECT_EQ(epc.ctx.frame_valid, 1);
    EXPECT_EQ(run(8, 2), -1);
    EXPECT_EQ(epc.ctx.frame_valid, 1);
    EXPECT_EQ(run(8, 1), -1);
    EXPECT_EQ(epc.ctx.frame_valid, 0);
    const std::string log = console_log(LX_LOG_INF, [&] { EXPECT_EQ(run(171, 1), -1); });
    EXPECT_NE(log.find("Calibration data frame,size:128"), std::string::npos) << log;
    EXPECT_EQ(run(3, 1), -1);
    EXPECT_EQ(epc.ctx.frame_valid, 0);
    EXPECT_EQ(run(2, 3), -1);  // unknown mode
    EXPECT_EQ(epc.ctx.frame_valid, 0);
}

TEST_F(EpcDecode, DistanceAndGrayComeOutInImageRowOrder) {
    epc.plain();
    // Read-out row r has amplitude 100 x (r + 1).
    const uint32_t w = 2, h = 4;
    const auto raw = raw_frame(w, h, [&](uint32_t i) -> Dcs {
        const uint16_t a = static_cast<uint16_t>(100 * (i / w + 1));
        return {2048, 2048, static_cast<uint16_t>(2048 + 2 * a), 2048};
    });
    const auto gray = decode(raw, w, h, 2);
    EXPECT_EQ(gray, (std::vector<uint16_t>{300, 300, 100, 100, 200, 200, 400, 400}));
    const auto distance = decode(raw, w, h, 1);
    EXPECT_EQ(distance, std::vector<uint16_t>(w * h, 2845));
}

TEST_F(EpcDecode, HdrMergeKeepsTheStrongerRowOfEachPair) {
    epc.plain();
    epc.ctx.hdr_en = 1;
    // Image rows 0/1 and 2/3 pair up; in each pair one row is strong and has its own distance.
    const uint32_t w = 2, h = 4;
    // Read-out rows: 0 -> image 1, 1 -> image 2, 2 -> image 0, 3 -> image 3.
    const Dcs weak_far = {2048, 2048, 2248, 2148};  // amplitude ~56, angle > 15000
    const Dcs strong = kMidPixel;                   // amplitude 500, 2845 mm
    const auto raw = raw_frame(w, h, [&](uint32_t i) {
        const uint32_t row = i / w;
        return (row == 0 || row == 3) ? strong : weak_far;
    });
    const auto distance = decode(raw, w, h, 1);
    EXPECT_EQ(distance, std::vector<uint16_t>(w * h, 2845));
    const auto gray = decode(raw, w, h, 2);
    EXPECT_EQ(gray, std::vector<uint16_t>(w * h, 500));
    epc.ctx.hdr_en = 0;
    EXPECT_NE(decode(raw, w, h, 1), std::vector<uint16_t>(w * h, 2845));
}

TEST_F(EpcDecode, MinimumAmplitudeRemovesWeakPixels) {
    epc.ctx.dfilter_en = 0;
    epc.ctx.minamp_en = 1;
    epc.ctx.minamp_thr = 501;
    EXPECT_EQ(decode(flat_frame(4, 4, kMidPixel), 4, 4), std::vector<uint16_t>(16, 65300));
    epc.ctx.minamp_thr = 500;
    EXPECT_EQ(decode(flat_frame(4, 4, kMidPixel), 4, 4), std::vector<uint16_t>(16, 2845));
}

TEST_F(EpcDecode, DepthFilterChainEndsWithTheRangeCheck) {
    epc.ctx.minamp_en = 0;
    epc.ctx.offset_mm = -6245 + 80;  // every pixel at 80 mm
    EXPECT_EQ(decode(flat_frame(8, 8, kMidPixel), 8, 8), std::vector<uint16_t>(64, 65300));
    epc.ctx.dfilter_size = 1;  // chain off: no range check
    EXPECT_EQ(decode(flat_frame(8, 8, kMidPixel), 8, 8), std::vector<uint16_t>(64, 80));
    epc.ctx.dfilter_size = 5;
    epc.ctx.offset_mm = -3400;
    EXPECT_EQ(decode(flat_frame(8, 8, kMidPixel), 8, 8), std::vector<uint16_t>(64, 2845));
}

TEST_F(EpcDecode, DepthFilterChainSmoothsAnOutlier) {
    epc.ctx.minamp_en = 0;
    auto raw = raw_frame(8, 8, [](uint32_t i) -> Dcs {
        return i == 27 ? Dcs{2048, 2048, 2048, 3048} : kMidPixel;  // one pixel a quarter turn off
    });
    EXPECT_EQ(decode(raw, 8, 8), std::vector<uint16_t>(64, 2845));
}

TEST_F(EpcDecode, UndistortionOnlyForFullFrames) {
    epc.plain();
    epc.ctx.undist_en = 1;
    // A distortion-free lens: the last column and row sample outside the image and get 0.
    lx_lens_param lens{};
    lens.cx = 160;
    lens.cy = 120;
    lens.fx = lens.fy = 200;
    lens.img_w = 320;
    lens.img_h = 240;
    ASSERT_EQ(lx_calib_len_init_map(&epc.ctx.undist_map, &lens), 320 * 240);
    const auto full = decode(flat_frame(320, 240, kMidPixel), 320, 240);
    EXPECT_EQ(full[0], 2845);
    EXPECT_EQ(full[318], 2845);
    EXPECT_EQ(full[319], 0);
    EXPECT_EQ(full[239 * 320], 0);
    const auto gray = decode(flat_frame(320, 240, kMidPixel), 320, 240, 2);
    EXPECT_EQ(gray[319], 0);
    EXPECT_EQ(gray[318], 500);
    const auto binned = decode(flat_frame(160, 120, kMidPixel), 160, 120);
    EXPECT_EQ(binned, std::vector<uint16_t>(160 * 120, 2845));
    lx_calib_len_uninit_map(&epc.ctx.undist_map);
}

}  // namespace
}  // namespace lumox::test

namespace lumox::test {
namespace {

// Random samples with saturated (4095) and empty (0) ones mixed in.
std::vector<uint8_t> random_frame(uint32_t w, uint32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    return raw_frame(w, h, [&](uint32_t) {
        Dcs d;
        for (auto &v : d) {
            const uint32_t r = rng();
            v = static_cast<uint16_t>(r % 4096);
            if (r % 41 == 0) v = 4095;
            if (r % 43 == 0) v = 0;
        }
        return d;
    });
}

// The linear calibration worked out per pixel, in read-out order, the plain way.
void reference_linear(const epc_ctx &ctx, const std::vector<uint8_t> &raw, uint32_t n,
                      std::vector<uint16_t> &dist, std::vector<uint16_t> &amp) {
    const int32_t d_sensor = ctx.t_sensor - ctx.t_sensor_cal;
    const int32_t d_ib = ctx.t_ib - ctx.t_ib_cal;
    const auto sensor_mm = static_cast<float>(d_sensor * static_cast<double>(ctx.tcoef_sensor));
    const double drift = static_cast<double>(sensor_mm) + d_ib * static_cast<double>(ctx.tcoef_ib);
    const auto temp_term = static_cast<int32_t>(drift < 0 ? drift - 0.5 : drift + 0.5);
    dist.resize(n);
    amp.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        const dcs::Pixel px = dcs::pixel(raw.data(), n, i);
        if (!px.valid) {
            dist[i] = amp[i] = 65500;
            continue;
        }
        amp[i] = px.amplitude;
        const uint32_t mm = px.phase * static_cast<uint32_t>(ctx.range_mm) / 30000;
        int64_t d = static_cast<int64_t>(mm) * ctx.scale / 1000 + ctx.offset_mm - temp_term;
        if (d < 0) {
            d += ctx.range_mm;
        } else if (d > ctx.range_mm) {
            d -= ctx.range_mm;
        }
        dist[i] = static_cast<uint16_t>(d);
    }
}

std::vector<uint16_t> image_order(const std::vector<uint16_t> &readout, uint32_t w, uint32_t h) {
    std::vector<uint16_t> out(readout.size());
    calc_dcs_sort(out.data(), readout.data(), static_cast<int32_t>(w), static_cast<int32_t>(h));
    return out;
}

// Every vector target the library was compiled for and the processor runs.
class EpcFastDecode : public EpcDecode, public testing::WithParamInterface<int64_t> {
  protected:
    void SetUp() override { simd::force_target(GetParam()); }
    void TearDown() override { simd::force_target(0); }
};

INSTANTIATE_TEST_SUITE_P(Targets, EpcFastDecode, testing::ValuesIn(simd::targets()),
                         [](const auto &target) {
                             std::string name = simd::target_name(target.param);
                             for (char &c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

TEST_P(EpcFastDecode, DistanceAndGrayEqualThePlainPerPixelDecode) {
    epc.plain();
    const struct {
        uint32_t w, h;
    } sizes[] = {{2, 2}, {4, 3}, {3, 4}, {5, 4}, {2, 6}, {17, 4}, {37, 4}, {64, 5}, {320, 240}};
    uint32_t seed = 1;
    for (const auto &s : sizes) {
        const uint32_t n = s.w * s.h;
        const auto raw = random_frame(s.w, s.h, seed++);
        // Each frame twice, at two temperatures: the cached distance table must follow.
        for (const int16_t t : {int16_t{0}, int16_t{-37}}) {
            epc.ctx.t_sensor = t;
            std::vector<uint16_t> ref_dist, ref_amp;
            reference_linear(epc.ctx, raw, n, ref_dist, ref_amp);
            EXPECT_EQ(decode(raw, s.w, s.h, 1), image_order(ref_dist, s.w, s.h))
                << s.w << "x" << s.h;
            calc_simple(raw, s.w, s.h);
            EXPECT_EQ(dist, ref_dist) << s.w << "x" << s.h;
            EXPECT_EQ(amp, ref_amp) << s.w << "x" << s.h;
            for (auto &a : ref_amp) a = a == 65500 ? 0 : a;
            EXPECT_EQ(decode(raw, s.w, s.h, 2), image_order(ref_amp, s.w, s.h))
                << s.w << "x" << s.h;
        }
    }
}

TEST_P(EpcFastDecode, DrnuDecodeEqualsTheRoutineInImageOrder) {
    epc.plain();
    epc.ctx.drnu_en = 1;
    const int saved_k = calibrateGetNumDistances();
    const uint32_t w = 40, h = 6, n = w * h;
    calibrateSetNumDistances(4);
    for (uint32_t i = 0; i < n; ++i) {
        const uint16_t row[4] = {static_cast<uint16_t>(9000 + i), 12000,
                                 static_cast<uint16_t>(15000 + 7 * i), 27000};
        std::copy(std::begin(row), std::end(row), distImagesDRNU[1] + 4 * i);
    }
    const auto raw = random_frame(w, h, 99);
    dist.assign(n, 0);
    amp.assign(n, 0);
    ASSERT_EQ(calc_dist_calib_drnu(&epc.drv, dist.data(), amp.data(), raw.data(), w, h, 4), 1);
    EXPECT_EQ(decode(raw, w, h, 1), image_order(dist, w, h));
    std::fill(std::begin(distImagesDRNU[1]), std::end(distImagesDRNU[1]), 0);
    calibrateSetNumDistances(saved_k);
}

}  // namespace
}  // namespace lumox::test

namespace lumox::test {
namespace {

TEST_P(EpcFastDecode, FeatureChainEqualsThePlainStepsInTurn) {
    // Minimum amplitude with hysteresis, the depth filters and the range check, over two frames
    // (the hysteresis state carries over), against the plain per-pixel steps.
    epc.ctx.minamp_en = 1;
    epc.ctx.minamp_thr = 1200;
    epc.ctx.minamp_hyst = 300;
    const uint32_t w = 53, h = 12, n = w * h;
    std::vector<uint8_t> on(n, 0);
    for (uint32_t seed : {5u, 6u}) {
        const auto raw = random_frame(w, h, seed);
        std::vector<uint16_t> d, a;
        reference_linear(epc.ctx, raw, n, d, a);
        d = image_order(d, w, h);
        a = image_order(a, w, h);
        for (uint32_t i = 0; i < n; ++i) {
            if (a[i] >= 1200) {
                on[i] = 1;
            } else if (a[i] + 300 < 1200) {
                on[i] = 0;
            }
            if (!on[i]) d[i] = 65300;
        }
        std::vector<uint16_t> t(n);
        const auto iw = static_cast<int32_t>(w), ih = static_cast<int32_t>(h);
        lx_median2d_u16(t.data(), d.data(), iw, ih, 5);
        lx_gauss2d_u16_k3(d.data(), t.data(), iw, ih);
        lx_flypix_u16_k3(t.data(), d.data(), iw, ih,
                         static_cast<uint32_t>(epc.ctx.flypix_thr.load()));
        lx_fhole_u16_k3(d.data(), t.data(), iw, ih);
        for (auto &v : d) {
            if (v <= 60000 && (v >= kRange12MHz || v <= 100)) v = 65300;
        }
        EXPECT_EQ(decode(raw, w, h), d) << "frame " << seed;
    }
}

}  // namespace
}  // namespace lumox::test
