// Common set-up of the evaluation-kit tests: a fresh configuration record, the fake sensor with
// the clock registers of a 96 MHz system clock, and the path prefix in a scratch directory.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "evk/config.h"
#include "evk/settings.h"
#include "fake_sensor.h"
#include "lumox/evk.h"
#include "lumox/log.h"
#include "support/temp_dir.h"

namespace lumox::evk::test {

class EvkTest : public ::testing::Test {
  protected:
    EvkTest() : installed_(fake_) {
        chip_config() = ChipConfig{};
        pixel_settings() = PixelSettings{};
        fake_.regs[130] = 23;  // PLL multiplier: (23 + 1) x 4000 kHz
        fake_.regs[129] = 0;
        g_lx_dev = &fake_.device;
        prefix_ = dir_.path() + "/";
        lumox_path_cfg(prefix_.c_str());
        pruSetColReduction(0);
        pruSetRowReduction(0);
        pruInit();
    }
    ~EvkTest() override {
        g_lx_dev = nullptr;
        lumox_path_cfg(".\\");
    }

    void write_file(const std::string &name, const void *data, size_t size) {
        FILE *f = std::fopen((prefix_ + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(data, 1, size, f), size);
        std::fclose(f);
    }
    void write_file(const std::string &name, const std::vector<uint8_t> &bytes) {
        write_file(name, bytes.data(), bytes.size());
    }

    lumox::test::TempDir dir_;
    std::string prefix_;
    FakeSensor fake_;
    FakeSensor::Installed installed_;
};

}  // namespace lumox::evk::test
