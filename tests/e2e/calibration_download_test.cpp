// A camera carries the calibration of its own non-uniform sensor. Opening it with an empty
// calibration directory downloads the package, unpacks it, writes the two calibration files and
// switches the per-pixel correction on; the corrected distances are measured against the truth.
// The sensor is noisy: distances are averaged over frames before they are compared, so that what
// is measured is the calibration.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "vcam/depth_sensor.h"

namespace lumox::test {
namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;

struct Error {
    double mean_abs_mm = 0;
    double rms_mm = 0;
    uint32_t valid = 0;
};

class CalibrationDownload : public VcamTest {
  protected:
    // Firmware 1.x: without the extension module, whose firmware (2.0 on) keeps the distance
    // images in the bank that the driver's own distance formula does not read.
    CalibrationDownload() {
        options_.cameras.resize(1);
        options_.cameras[0].camera.product = "LXC660-E2-1.9.0";
    }

    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        log_path_ = dir_.path() + "/lx.log";
        lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_DBG, log_path_.c_str());
        prefix_ = dir_.path() + "/calib/";
        lumox_path_cfg(prefix_.c_str());
    }
    void TearDown() override {
        if (dev_.state) lumox_dev_close(&dev_);
        epc_adapter_uninit();
        lumox_path_cfg(".\\");
        lx_log_disable();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }

    bool open() {
        lumox_dev_t list[2];
        if (lumox_dev_list(list, 2) != 1) return false;
        dev_ = list[0];
        if (lumox_dev_open(&dev_) != &dev_) return false;
        return lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT);
    }

    std::string file_name(int (*name)(char *)) const {
        char buffer[300] = {};
        name(buffer);
        return prefix_ + buffer;
    }

    // Distance of every pixel of a wall, averaged over frames, against its true distance. The
    // integration time keeps the wall's amplitude near 800 (at most 4000 us).
    Error measure(double wall_mm) {
        constexpr int kFrames = 16;
        auto model = std::make_shared<vcam::SensorModel>(vcam::Scene::wall(wall_mm));
        camera().set_live_source(model);
        const double m = wall_mm / 1000.0;
        const auto intg = static_cast<uint16_t>(std::min(4000.0, 440.0 * m * m));
        const uint8_t intg_bytes[2] = {static_cast<uint8_t>(intg), static_cast<uint8_t>(intg >> 8)};
        camera().set_param(vcam::kParamIntgTime, intg_bytes);
        const vcam::Truth truth = model->truth_for(camera().exposure());
        std::vector<uint8_t> raw(8 * kPixels);
        lumox_frame_info info{};
        Error e;
        std::vector<double> sum_mm(kPixels, 0.0);
        std::vector<int> count(kPixels, 0);
        if (!lumox_cap_start(&dev_)) return e;
        for (int f = 0; f < kFrames; ++f) {
            if (lumox_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()),
                                     &info) != 1)
                break;
            std::vector<float> dist(kPixels);
            if (lumox_frame_get_distance(&dev_, dist.data(), kPixels, raw.data(), raw.size(),
                                         &info) != static_cast<int32_t>(kPixels))
                return e;
            for (uint32_t i = 0; i < kPixels; ++i) {
                if (!(dist[i] > 0.0f && dist[i] < 60.0f)) continue;  // codes are not distances
                sum_mm[i] += dist[i] * 1000.0;
                ++count[i];
            }
        }
        lumox_cap_stop(&dev_);
        double sum = 0, sum2 = 0;
        for (uint32_t i = 0; i < kPixels; ++i) {
            if (count[i] < kFrames) continue;
            const double err = sum_mm[i] / count[i] - truth.distance_mm[i];
            sum += std::abs(err);
            sum2 += err * err;
            ++e.valid;
        }
        if (e.valid > 0) {
            e.mean_abs_mm = sum / e.valid;
            e.rms_mm = std::sqrt(sum2 / e.valid);
        }
        return e;
    }

    size_t commands_for_param(uint16_t value, uint8_t id) {
        const auto commands = camera().commands();
        return static_cast<size_t>(std::count_if(commands.begin(), commands.end(), [&](auto &c) {
            return c.type() == vcam::kCmdDevice && c.value() == value && !c.is_in() &&
                   !c.data.empty() && c.data[0] == id;
        }));
    }

    std::string log() { return read_file(log_path_); }

    TempDir dir_;
    std::string log_path_;
    std::string prefix_;
    vcam::DepthSensor sensor_;
    lumox_dev_t dev_{};
};

TEST_F(CalibrationDownload, OpeningFetchesAppliesAndImprovesTheDistances) {
    camera().set_calibration_package(sensor_.package(), 1);
    ASSERT_TRUE(open());

    // Both files written with the camera's calibration, temporary files gone, correction on.
    const std::string params = file_name(calibrationGetParamName);
    const std::string images = file_name(calibrationGetDistanceImagesName);
    const auto expected_params = sensor_.parameter_file();
    EXPECT_EQ(read_file(params), std::string(expected_params.begin(), expected_params.end()));
    EXPECT_EQ(read_file(images).size(), sensor_.distance_images().size());
    for (const char *temp : {"calibration.bin", "tmp.zip", "calib_and_param_012.bin"})
        EXPECT_FALSE(std::filesystem::exists(prefix_ + temp)) << temp;
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(camera().param(vcam::kParamMode).at(0), vcam::kModeNormal);

    // Raw per-pixel errors: no smoothing across neighbours. The first measurement runs with
    // the correction as the open left it: on.
    ASSERT_EQ(lumox_filter_disable(&dev_, FILTER_DEPTH_SMOOTH), 1);
    camera().set_paced(false);
    for (double wall : {1000.0, 2500.0, 4200.0}) {
        const Error drnu = measure(wall);
        ASSERT_EQ(lumox_filter_disable(&dev_, FILTER_DRNU), 1);
        const Error simple = measure(wall);
        uint8_t set = 0;
        ASSERT_EQ(lumox_filter_enable(&dev_, FILTER_DRNU, &set, 1), 1);
        std::printf(
            "wall %6.0f mm: simple formula mean |e| %6.1f mm rms %6.1f mm (%u px); "
            "DRNU mean |e| %5.1f mm rms %5.1f mm (%u px)\n",
            wall, simple.mean_abs_mm, simple.rms_mm, simple.valid, drnu.mean_abs_mm, drnu.rms_mm,
            drnu.valid);
        EXPECT_GT(drnu.valid, kPixels * 9 / 10);
        EXPECT_GT(simple.valid, kPixels * 9 / 10);
        // The decode works with the step in whole millimetres (298 of 298.2): the residual grows
        // by about 0.5 mm per calibration step along the table. The mean over the whole image
        // includes the corners' noise: they get a quarter of the light, and at 4.2 m their random
        // error is several centimetres.
        EXPECT_LT(drnu.mean_abs_mm, wall > 4000 ? 16.0 : 10.0);
        EXPECT_GT(simple.mean_abs_mm, 4 * drnu.mean_abs_mm);
    }
}

TEST_F(CalibrationDownload, PresentFilesAreUsedWithoutAskingTheCamera) {
    camera().set_calibration_package(sensor_.package(), 1);
    ASSERT_TRUE(open());
    lumox_dev_close(&dev_);
    camera().clear_commands();
    ASSERT_TRUE(open());
    // No download: the open only asks whether the camera stores a package the files belong to.
    EXPECT_EQ(commands_for_param(vcam::kDeviceParamSet, vcam::kParamMode), 0u);
    EXPECT_EQ(commands_for_param(vcam::kDeviceParamGet, vcam::kParamCalibInfo), 1u);
    EXPECT_NE(log().find("Find "), std::string::npos);
    // Present files leave the simple formula on: the per-pixel errors stay.
    ASSERT_EQ(lumox_filter_disable(&dev_, FILTER_DEPTH_SMOOTH), 1);
    EXPECT_GT(measure(2500.0).mean_abs_mm, 20.0);
}

TEST_F(CalibrationDownload, UnusablePackagesWriteNothingAndRestoreTheMode) {
    auto package = sensor_.package();
    package[0] = 0;  // not valid
    camera().set_calibration_package(package, 1);
    ASSERT_TRUE(open());
    EXPECT_NE(log().find("Calib data not valid"), std::string::npos);
    EXPECT_EQ(camera().param(vcam::kParamMode).at(0), vcam::kModeNormal);
    EXPECT_FALSE(std::filesystem::exists(file_name(calibrationGetDistanceImagesName)));
    lumox_dev_close(&dev_);

    // Valid, but the archive is cut short: nothing is written, the device still opens.
    package = sensor_.package();
    package.resize(package.size() / 2);
    camera().set_calibration_package(package, 1);
    ASSERT_TRUE(open());
    EXPECT_FALSE(std::filesystem::exists(file_name(calibrationGetDistanceImagesName)));
    EXPECT_FALSE(std::filesystem::exists(prefix_ + "calibration.bin"));
    EXPECT_EQ(camera().param(vcam::kParamMode).at(0), vcam::kModeNormal);
    lumox_dev_close(&dev_);

    // Not a zip archive at all.
    package.assign(4000, 0x5A);
    package[0] = 1;
    package[2] = 1;
    package[11] = static_cast<uint8_t>(3983 & 0xFF);
    package[12] = static_cast<uint8_t>(3983 >> 8);
    camera().set_calibration_package(package, 1);
    ASSERT_TRUE(open());
    EXPECT_NE(log().find("zip failed"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(file_name(calibrationGetDistanceImagesName)));
}

}  // namespace
}  // namespace lumox::test
