// EPC run-time features: filter switches, automatic integration time, DCS sum check, minimum
// amplitude with hysteresis and the temperature monitor.

#include "drivers/epc_features.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include "api/fake_transport.h"
#include "drivers/epc_decode.h"
#include "drivers/epc_test_frames.h"
#include "lumox/evk.h"
#include "lumox/log.h"
#include "lx/simd.h"
#include "support/targets.h"
#include "support/temp_dir.h"

namespace lumox::test {
namespace {

using drivers::SampleCounts;

platform::LocalTime g_now{};
platform::LocalTime fixed_clock() { return g_now; }

// Installs a clock that tests move by hand, and forgets the features' time stamps.
class FeatureClockScope {
  public:
    FeatureClockScope() {
        g_now = {};
        g_now.epoch_s = 1000;
        previous_ = drivers::set_feature_clock(fixed_clock);
        drivers::reset_feature_times();
    }
    ~FeatureClockScope() {
        drivers::set_feature_clock(previous_);
        drivers::reset_feature_times();
    }

  private:
    drivers::FeatureClock previous_;
};

template <typename F>
std::string console_log(uint32_t level, F fn) {
    lx_log_enable(LX_LOG_OUT_CONSOLE, level, nullptr);
    testing::internal::CaptureStdout();
    fn();
    const std::string out = testing::internal::GetCapturedStdout();
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    return out;
}

TEST(EpcFilterSwitch, SetsAndClearsTheContextFields) {
    EpcDriver epc;
    lumox_drv *drv = &epc.drv;
    uint8_t size = 3;
    uint16_t value = 120;
    EXPECT_EQ(epc_filter_enable(drv, FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    EXPECT_EQ(epc.ctx.undist_en, 1);
    EXPECT_EQ(epc_filter_enable(drv, FILTER_DEPTH_SMOOTH, &size, 1), 1);
    EXPECT_EQ(epc.ctx.dfilter_size, 3);
    EXPECT_EQ(epc_filter_enable(drv, FILTER_MIN_AMPLITUDE, &value, 2), 1);
    EXPECT_EQ(epc.ctx.minamp_thr, 120);
    EXPECT_EQ(epc_filter_enable(drv, FILTER_AUTO_INTEGRATION, &value, 2), 1);
    EXPECT_EQ(epc.ctx.auto_intg_en, 1);
    EXPECT_EQ(epc.ctx.sat_ratio, 120);
    EXPECT_EQ(epc_filter_enable(drv, FILTER_DCS_SUM_CHECK, &value, 2), 1);
    EXPECT_EQ(epc.ctx.sum_chk_arg, 120);
    EXPECT_EQ(epc_filter_enable(drv, FILTER_TEMP_MONITOR, &value, 2), 1);
    EXPECT_EQ(epc.ctx.temp_mon_arg, 120);
    EXPECT_EQ(epc.ctx.temp_mon_en, 1);

    EXPECT_EQ(epc_filter_disable(drv, FILTER_DEPTH_SMOOTH), 1);
    EXPECT_EQ(epc.ctx.dfilter_en, 0);
    EXPECT_EQ(epc.ctx.dfilter_size, 0);
    EXPECT_EQ(epc_filter_disable(drv, FILTER_AUTO_INTEGRATION), 1);
    EXPECT_EQ(epc.ctx.sat_ratio, 0);
    epc.ctx.minamp_mask.reset(new uint8_t[4]());
    epc.ctx.minamp_mask_len = 4;
    EXPECT_EQ(epc_filter_disable(drv, FILTER_MIN_AMPLITUDE), 1);
    EXPECT_EQ(epc.ctx.minamp_mask.get(), nullptr);
    EXPECT_EQ(epc.ctx.minamp_en, 0);
    // Unused identifiers are accepted and change nothing.
    EXPECT_EQ(epc_filter_enable(drv, 3, nullptr, 0), 1);
    EXPECT_EQ(epc_filter_enable(drv, 9, nullptr, 0), 1);
    EXPECT_EQ(epc_filter_disable(drv, 42), 1);
}

TEST(EpcFilterSwitch, RefusesMissingOrShortArguments) {
    EpcDriver epc;
    uint8_t one_byte = 7;
    EXPECT_EQ(epc_filter_enable(&epc.drv, FILTER_MIN_AMPLITUDE, nullptr, 2), 0);
    EXPECT_EQ(epc_filter_enable(&epc.drv, FILTER_MIN_AMPLITUDE, &one_byte, 1), 0);
    EXPECT_EQ(epc.ctx.minamp_thr, 0);
    EXPECT_EQ(epc_filter_enable(&epc.drv, FILTER_DEPTH_SMOOTH, nullptr, 0), 0);
    EXPECT_EQ(epc.ctx.dfilter_size, 5);
}

TEST(EpcFilterSwitch, DrnuSelectorAboveOneIsRewrittenAndNeedsCalibrationFiles) {
    EpcDriver epc;
    uint8_t selector = 5;
    const uint8_t enabled = epc_filter_enable(&epc.drv, FILTER_DRNU, &selector, 1);
    EXPECT_EQ(selector, 1);
    EXPECT_EQ(epc.ctx.calib_sel, 2);
    // No calibration files in the working directory: DRNU stays off.
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(epc.ctx.drnu_en, 0);
    selector = 0;
    epc_filter_enable(&epc.drv, FILTER_DRNU, &selector, 1);
    EXPECT_EQ(epc.ctx.calib_sel, 0);

    // With the distance-image file in the path prefix DRNU switches on.
    TempDir dir;
    const std::string saved_prefix = lumox_path_get();
    lumox_path_cfg((dir.path() + "/").c_str());
    char name[256] = {};
    calibrationGetDistanceImagesName(name);
    std::ofstream(dir.file(name)) << "x";
    selector = 5;
    EXPECT_EQ(epc_filter_enable(&epc.drv, FILTER_DRNU, &selector, 1), 1);
    EXPECT_EQ(epc.ctx.drnu_en, 1);
    lumox_path_cfg(saved_prefix.c_str());
    epc.ctx.drnu_en = 1;
    EXPECT_EQ(epc_filter_disable(&epc.drv, FILTER_DRNU), 1);
    EXPECT_EQ(epc.ctx.drnu_en, 0);
}

TEST(EpcAutoIntegration, StepRules) {
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    // 9000 of 300000 samples saturated: 30 per mille.
    EXPECT_EQ(drivers::auto_intg_step({300000, 0, 0, 9000}, 20), -30);
    EXPECT_EQ(drivers::auto_intg_step({300000, 0, 0, 9000}, 31), 50);
    // 5 per mille with many bright samples steps down by 10, with few it holds.
    EXPECT_EQ(drivers::auto_intg_step({1000, 0, 600, 5}, 5), -10);
    EXPECT_EQ(drivers::auto_intg_step({1000, 0, 100, 5}, 5), 0);
    EXPECT_EQ(drivers::auto_intg_step({100000, 600, 0, 0}, 5), 0);
    EXPECT_EQ(drivers::auto_intg_step({100000, 0, 0, 0}, 5), 50);
    EXPECT_EQ(drivers::auto_intg_step({0, 0, 0, 0}, 5), 50);
}

TEST(EpcAutoIntegration, SampleClassesUseWholeSixteenBitValues) {
    const std::vector<uint8_t> raw = {0,    0,    1,    0,    2,    0,    0xFF, 0x01, 0x00, 0x02,
                                      0x00, 0x0E, 0x01, 0x0E, 0xFE, 0x0F, 0xFF, 0x0F, 0x02, 0x10};
    const SampleCounts c = drivers::count_samples(raw.data(), static_cast<uint32_t>(raw.size()));
    // 0, 1, 2, 511, 512, 3584, 3585, 4094, 4095, 4098
    EXPECT_EQ(c.samples, 10u);
    EXPECT_EQ(c.low, 2u);
    EXPECT_EQ(c.high, 2u);
    EXPECT_EQ(c.bad, 4u);
}

TEST(EpcAutoIntegration, ClampsAtTheLimitsAndIsTimeGated) {
    FeatureClockScope clock;
    EpcDriver epc;
    const auto mid = flat_frame(8, 8, {2048, 2048, 2048, 2048});
    configSetIntegrationTime3D(1480);
    std::string log = console_log(LX_LOG_DBG, [&] {
        drivers::feature_auto_intg(epc.ctx, mid.data(), static_cast<uint32_t>(mid.size()));
    });
    EXPECT_NE(log.find("AUTO_INTG: 1480->1500"), std::string::npos) << log;
    // No camera took the new time: the configuration keeps the old one.
    EXPECT_NE(log.find("adjust intg from 1480 to 1500 failed"), std::string::npos) << log;
    EXPECT_EQ(configGetIntegrationTime3D(), 1480);

    // Within a millisecond of the last step nothing happens.
    g_now.millis = 1;
    log = console_log(LX_LOG_TRC, [&] {
        drivers::feature_auto_intg(epc.ctx, mid.data(), static_cast<uint32_t>(mid.size()));
    });
    EXPECT_EQ(log, "");

    configSetIntegrationTime3D(1500);
    g_now.millis = 10;
    log = console_log(LX_LOG_DBG, [&] {
        drivers::feature_auto_intg(epc.ctx, mid.data(), static_cast<uint32_t>(mid.size()));
    });
    EXPECT_EQ(log.find("AUTO_INTG"), std::string::npos) << log;
}

TEST(EpcMinAmplitude, HysteresisKeepsEachPixelsLastDecision) {
    EpcDriver epc;
    epc.ctx.minamp_thr = 100;
    epc.ctx.minamp_hyst = 10;
    auto frame = [&](uint16_t amplitude) {
        uint16_t dist = 1000;
        drivers::feature_minamp_filter(epc.ctx, &dist, &amplitude, 1);
        return dist;
    };
    EXPECT_EQ(frame(95), 65300);  // a new pixel starts removed
    EXPECT_EQ(frame(100), 1000);
    EXPECT_EQ(frame(95), 1000);  // within the hysteresis: still kept
    EXPECT_EQ(frame(90), 1000);
    EXPECT_EQ(frame(89), 65300);
    EXPECT_EQ(frame(95), 65300);  // still removed
    EXPECT_EQ(frame(100), 1000);

    epc.ctx.minamp_hyst_en = 0;
    EXPECT_EQ(frame(99), 65300);
    EXPECT_EQ(frame(100), 1000);
}

TEST(EpcMinAmplitude, EveryVectorPathKeepsThePerPixelDecisions) {
    // Frames of random amplitudes around the threshold (and at the 16-bit extremes) through
    // every vector target, against the per-pixel rule with its own mask.
    constexpr uint32_t kPixels = 1000 + 37;
    uint32_t seed = 0;
    for (const int64_t target : simd::targets()) {
        for (const bool hysteresis : {true, false}) {
            const lumox::test::ForcedTarget forced(target);
            EpcDriver epc;
            epc.ctx.minamp_thr = 100;
            epc.ctx.minamp_hyst = 10;
            epc.ctx.minamp_hyst_en = hysteresis;
            std::vector<uint8_t> on(kPixels, 0);
            std::mt19937 rng(seed++);
            for (int f = 0; f < 6; ++f) {
                std::vector<uint16_t> amp(kPixels), dist(kPixels), want(kPixels);
                for (uint32_t i = 0; i < kPixels; ++i) {
                    const uint32_t r = rng();
                    amp[i] = r % 7 == 0 ? static_cast<uint16_t>(r >> 16) : 80 + r % 30;
                    dist[i] = static_cast<uint16_t>(r >> 8);
                    if (amp[i] >= 100) {
                        on[i] = 1;
                    } else if (amp[i] + 10 < 100 || !hysteresis) {
                        on[i] = 0;
                    }
                    want[i] = on[i] ? dist[i] : 65300;
                }
                drivers::feature_minamp_filter(epc.ctx, dist.data(), amp.data(), kPixels);
                ASSERT_EQ(dist, want) << simd::target_name(target) << " frame " << f;
            }
        }
    }
}

TEST(EpcMinAmplitude, MaskGrowsAndIsReusedForSmallerFrames) {
    EpcDriver epc;
    epc.ctx.minamp_en = 0;  // the mask is kept even while the filter is off
    std::vector<uint16_t> dist(16, 1), amp(16, 0);
    drivers::feature_minamp_filter(epc.ctx, dist.data(), amp.data(), 16);
    EXPECT_EQ(epc.ctx.minamp_mask_len, 16);
    EXPECT_EQ(dist, std::vector<uint16_t>(16, 1));
    uint8_t *mask = epc.ctx.minamp_mask.get();
    drivers::feature_minamp_filter(epc.ctx, dist.data(), amp.data(), 4);
    EXPECT_EQ(epc.ctx.minamp_mask.get(), mask);
    std::vector<uint16_t> big_dist(64, 1), big_amp(64, 0);
    drivers::feature_minamp_filter(epc.ctx, big_dist.data(), big_amp.data(), 64);
    EXPECT_EQ(epc.ctx.minamp_mask_len, 64);
}

TEST(EpcDcsSum, PlausibleFramesHaveSumsNearFullScale) {
    EXPECT_TRUE(drivers::dcs_sums_plausible(flat_frame(4, 4, {2048, 2048, 2048, 2048}).data(), 16));
    EXPECT_FALSE(drivers::dcs_sums_plausible(flat_frame(4, 4, {0, 0, 0, 0}).data(), 16));
    // 10 of 16 pixels (62 %) plausible passes, 9 (56 %) does not.
    auto partly = [](uint32_t good) {
        return raw_frame(4, 4, [good](uint32_t i) -> Dcs {
            return i < good ? Dcs{2048, 2048, 2048, 2048} : Dcs{100, 100, 100, 100};
        });
    };
    EXPECT_TRUE(drivers::dcs_sums_plausible(partly(10).data(), 16));
    EXPECT_FALSE(drivers::dcs_sums_plausible(partly(9).data(), 16));
}

class EpcDcsSumDevice : public FakeTransportTest {};

TEST_F(EpcDcsSumDevice, ImplausibleFrameSendsParameter17OncePerSecond) {
    FeatureClockScope clock;
    ASSERT_NE(open_device(), nullptr);
    lumox_drv *drv = lumox_dev_get_drv(&dev_);
    ASSERT_NE(drv, nullptr);
    epc_ctx *ctx = epc_context(drv);
    ASSERT_NE(ctx, nullptr);
    uint16_t arg = 0x1234;
    ASSERT_EQ(epc_filter_enable(drv, FILTER_DCS_SUM_CHECK, &arg, 2), 1);

    const auto zeros = flat_frame(4, 4, {0, 0, 0, 0});
    const lumox_frame_info info = frame_info(4, 4);
    std::vector<uint16_t> out(16);
    auto decode = [&](const std::vector<uint8_t> &raw) {
        return epc_frame_decode(drv, out.data(), 32, 1, raw.data(), 128, &info);
    };
    ctx->frame_valid = 1;
    EXPECT_EQ(decode(zeros), -1);
    EXPECT_EQ(ctx->frame_valid, 0);
    EXPECT_EQ(fake().params[LUMOX_PARAM_ID17], (std::vector<uint8_t>{}));  // length byte 0
    EXPECT_EQ(std::vector<uint8_t>(fake().last_set_wire.begin(), fake().last_set_wire.begin() + 5),
              (std::vector<uint8_t>{17, 0, 0, 0x34, 0x12}));
    const int sets = fake().param_sets.load();
    // Within the same second the frame goes on to be decoded.
    EXPECT_EQ(decode(zeros), 32);
    EXPECT_EQ(fake().param_sets.load(), sets);
    g_now.epoch_s += 1;
    EXPECT_EQ(decode(zeros), -1);
    EXPECT_EQ(fake().param_sets.load(), sets + 1);
    // A plausible frame passes.
    g_now.epoch_s += 1;
    EXPECT_EQ(decode(flat_frame(4, 4, {2048, 2048, 2048, 2048})), 32);
    // Argument 0 sends the flag byte 1.
    arg = 0;
    epc_filter_enable(drv, FILTER_DCS_SUM_CHECK, &arg, 2);
    EXPECT_EQ(decode(zeros), -1);
    EXPECT_EQ(fake().last_set_wire[2], 1);
}

TEST_F(EpcDcsSumDevice, AutomaticIntegrationWritesParameter13) {
    FeatureClockScope clock;
    ASSERT_NE(open_device(), nullptr);
    lumox_drv *drv = lumox_dev_get_drv(&dev_);
    uint16_t ratio = 20;
    ASSERT_EQ(epc_filter_enable(drv, FILTER_AUTO_INTEGRATION, &ratio, 2), 1);
    configSetIntegrationTime3D(500);
    // 3 of 64 pixels with a saturated sample in every plane: 46 per mille.
    const auto raw = raw_frame(8, 8, [](uint32_t i) -> Dcs {
        return i < 3 ? Dcs{4095, 4095, 4095, 4095} : Dcs{2048, 2048, 2048, 2048};
    });
    const lumox_frame_info info = frame_info(8, 8);
    std::vector<uint16_t> out(64);
    EXPECT_EQ(epc_frame_decode(drv, out.data(), 128, 1, raw.data(), 512, &info), 128);
    EXPECT_EQ(configGetIntegrationTime3D(), 460);
    EXPECT_EQ(std::vector<uint8_t>(fake().last_set_wire.begin(), fake().last_set_wire.begin() + 4),
              (std::vector<uint8_t>{13, 0, 460 & 0xFF, 460 >> 8}));
}

TEST_F(EpcDcsSumDevice, TemperatureMonitorLogsEveryTenSeconds) {
    FeatureClockScope clock;
    ASSERT_NE(open_device(), nullptr);
    lumox_drv *drv = lumox_dev_get_drv(&dev_);
    fake().fps = 25;
    lx_raw_frame_info hdr{};
    hdr.frlen = 8 * 4 * 4;
    hdr.frfmt = 2;
    hdr.width = 4;
    hdr.height = 4;
    hdr.temp_sensor = 415;
    hdr.temp_ib = 388;
    lumox_frame_info info{};
    auto describe = [&] {
        return console_log(LX_LOG_DBG, [&] { drv->ops->frame_get_info(drv, &info, &hdr); });
    };
    EXPECT_NE(describe().find("IBtemp:38.80, Tsensor:41.50, FPS:25"), std::string::npos);
    g_now.epoch_s += 9;
    EXPECT_EQ(describe().find("INTERV"), std::string::npos);
    g_now.epoch_s += 1;
    EXPECT_NE(describe().find("INTERV:10,"), std::string::npos);
    ASSERT_EQ(epc_filter_disable(drv, FILTER_TEMP_MONITOR), 1);
    g_now.epoch_s += 100;
    EXPECT_EQ(describe().find("INTERV"), std::string::npos);
}

}  // namespace
}  // namespace lumox::test
