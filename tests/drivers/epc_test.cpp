// EPC driver set-up: the lens parameter file, lens parameters scaled to a frame, the firmware flag
// from the product string and the frame-valid accessors.

#include "drivers/epc.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "api/fake_transport.h"
#include "lumox/log.h"
#include "support/temp_dir.h"

namespace lumox::test {
namespace {

class EpcLensFile : public testing::Test {
  protected:
    TempDir dir;
    std::string saved_prefix = lumox_path_get();

    void SetUp() override { lumox_path_cfg((dir.path() + "/").c_str()); }
    void TearDown() override {
        lumox_path_cfg(saved_prefix.c_str());
        drivers::lens_param() = drivers::default_lens_param();
    }
    void write(const std::string &text) { std::ofstream(dir.file("lens_param.txt")) << text; }
    std::string load(int expected) {
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_DBG, nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(drivers::lens_param_update(), expected);
        const std::string out = testing::internal::GetCapturedStdout();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        return out;
    }
};

TEST_F(EpcLensFile, ElevenLinesReplaceTheWholeRecord) {
    write("150.5\n120\n200\n  200 focal y\n0\n0\n0\n0\n0\n0x140\n240\n");
    EXPECT_NE(load(1).find("Reload lens param ok"), std::string::npos);
    const lx_lens_param &lens = drivers::lens_param();
    EXPECT_EQ(lens.cx, 150.5);
    EXPECT_EQ(lens.cy, 120);
    EXPECT_EQ(lens.fx, 200);
    EXPECT_EQ(lens.fy, 200);
    for (double k : lens.dcoeff) EXPECT_EQ(k, 0);
    EXPECT_EQ(lens.img_w, 320);
    EXPECT_EQ(lens.img_h, 240);
}

TEST_F(EpcLensFile, ShortFileKeepsWhatItDidNotReach) {
    write("150.5 and a remark\n120\n200\n200\n0\n0\n0\n0\n0\n160\n");
    EXPECT_NE(load(0).find("Param number maybe not right"), std::string::npos);
    EXPECT_EQ(drivers::lens_param().cx, 150.5);
    EXPECT_EQ(drivers::lens_param().img_w, 160);
    EXPECT_EQ(drivers::lens_param().img_h, 240);
}

TEST_F(EpcLensFile, MissingFileKeepsTheRecord) {
    drivers::lens_param().cx = 99;
    EXPECT_NE(load(0).find("lens_param.txt Open failed, use default param"), std::string::npos);
    EXPECT_EQ(drivers::lens_param().cx, 99);
}

TEST_F(EpcLensFile, ValuesThatDescribeNoLensKeepTheRecord) {
    const char *const files[] = {
        "nan\n120\n200\n200\n0\n0\n0\n0\n0\n320\n240\n",
        "150\n120\ninf\n200\n0\n0\n0\n0\n0\n320\n240\n",
        "150\n120\n200\n0\n0\n0\n0\n0\n0\n320\n240\n",
        "-150\n120\n200\n200\n0\n0\n0\n0\n0\n320\n240\n",
        "150\n120\n200\n200\n0\n-inf\n0\n0\n0\n320\n240\n",
        "150\n120\n200\n200\n0\n0\n0\n0\n0\n1\n1\n",
        "150\n120\n200\n200\n0\n0\n0\n0\n0\n-320\n240\n",
        "150\n120\n200\n200\n0\n0\n0\n0\n0\n320\n100000\n",
        // finite, positive, and still no lens
        "150\n120\n1e-300\n200\n0\n0\n0\n0\n0\n320\n240\n",
        "150\n120\n200\n2e6\n0\n0\n0\n0\n0\n320\n240\n",
        "150\n120\n200\n200\n1e308\n0\n0\n0\n0\n320\n240\n",
        "150\n120\n200\n200\n0\n0\n0\n-2e4\n0\n320\n240\n",
    };
    for (const char *text : files) {
        write(text);
        const std::string log = load(0);
        EXPECT_NE(log.find("lens_param.txt refused"), std::string::npos) << text << log;
        EXPECT_EQ(log.find("Reload lens param ok"), std::string::npos) << text;
        const lx_lens_param &lens = drivers::lens_param();
        const lx_lens_param defaults = drivers::default_lens_param();
        EXPECT_EQ(lens.cx, defaults.cx) << text;
        EXPECT_EQ(lens.fy, defaults.fy) << text;
        EXPECT_EQ(lens.dcoeff[1], defaults.dcoeff[1]) << text;
        EXPECT_EQ(lens.img_w, 320) << text;
        EXPECT_EQ(lens.img_h, 240) << text;
    }
}

TEST(EpcLensParam, ScaledToTheFrameSize) {
    lx_lens_param out{};
    ASSERT_EQ(epc_lens_param_get(nullptr, &out, 160, 120), 1);
    EXPECT_DOUBLE_EQ(out.cx, 78.631);
    EXPECT_DOUBLE_EQ(out.cy, 61.0415);
    EXPECT_DOUBLE_EQ(out.fx, 105.3915);
    EXPECT_DOUBLE_EQ(out.fy, 102.4085);
    EXPECT_EQ(out.dcoeff[0], -0.378924);
    EXPECT_EQ(out.img_w, 160);
    EXPECT_EQ(out.img_h, 120);
    ASSERT_EQ(epc_lens_param_get(nullptr, &out, 320, 240), 1);
    EXPECT_EQ(out.cx, 157.262);
    EXPECT_EQ(out.fy, 204.817);

    lx_lens_param untouched{};
    EXPECT_EQ(epc_lens_param_get(nullptr, &untouched, 100, 120), 0);
    EXPECT_EQ(epc_lens_param_get(nullptr, &untouched, 0, 120), 0);
    EXPECT_EQ(epc_lens_param_get(nullptr, &untouched, 640, 480), 0);
    EXPECT_EQ(untouched.fx, 0);
}

class EpcInit : public FakeTransportTest {};

TEST_F(EpcInit, FirmwareDesignationSetsTheExtensionFlag) {
    fake().product = "XX-E1-2.0";
    ASSERT_NE(open_device(), nullptr);
    EXPECT_EQ(epcgetExtModEnable(), 1);
    lumox_dev_close(&dev_);
    EXPECT_EQ(epcgetExtModEnable(), 0) << "the closed camera's flag is not kept";
    epcSetExtModEnable(1);
    fake().product = "XX-E1-1.5";
    ASSERT_NE(open_device(), nullptr);
    EXPECT_EQ(epcgetExtModEnable(), 0);
}

TEST_F(EpcInit, ContextStartsWithTheFeatureDefaults) {
    ASSERT_NE(open_device(), nullptr);
    epc_ctx *ctx = epc_context(lumox_dev_get_drv(&dev_));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->calib_sel, 2);
    EXPECT_EQ(ctx->minamp_en, 1);
    EXPECT_EQ(ctx->temp_mon_en, 1);
    EXPECT_EQ(ctx->dfilter_en, 1);
    EXPECT_EQ(ctx->dfilter_size, 5);
    EXPECT_EQ(ctx->flypix_thr, 90000);
    EXPECT_EQ(ctx->minamp_hyst, 10);
    EXPECT_EQ(ctx->temp_mon_arg, 75);
    EXPECT_EQ(ctx->drnu_en, 0);
    EXPECT_EQ(ctx->undist_map.ready, 1);
    EXPECT_GT(ctx->range_mm, 0);
}

TEST_F(EpcInit, FrameValidFollowsTheBoundDevice) {
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);  // nothing bound
    epc_adapater_set_frame_valid(0);
    ASSERT_NE(open_device(), nullptr);
    epc_ctx *ctx = epc_context(lumox_dev_get_drv(&dev_));
    EXPECT_EQ(epc_adapater_get_frame_valid(), 0);
    epc_adapater_set_frame_valid(1);
    EXPECT_EQ(ctx->frame_valid, 1);
}

}  // namespace
}  // namespace lumox::test
