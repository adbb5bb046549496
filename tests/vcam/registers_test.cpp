// The sensor's answers to what the host writes: the personality switch through the identity port,
// the DLL measurement, and the read-out geometry that registers 146 and 148 select, down to the
// samples of a reduced frame.
#include "vcam/registers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "vcam/stream.h"

namespace lumox::vcam {
namespace {

TEST(SensorRegisters, PersonalitySwitchLastsUntilPowerOn) {
    RegisterFile regs{ChipIdentity{}};
    regs.write(kTargetSensor, kRegIdentityIndex, kIdentityPartType);
    regs.write(kTargetSensor, kRegIdentityData, 3);
    uint32_t value = 0;
    regs.write(kTargetSensor, kRegIdentityIndex, kIdentityPartType);
    regs.read(kTargetSensor, kRegIdentityData, value);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(regs.readout().dcs, 2);
    // Another index is read-only memory.
    regs.write(kTargetSensor, kRegIdentityIndex, kIdentityChip);
    regs.write(kTargetSensor, kRegIdentityData, 0xAA);
    regs.write(kTargetSensor, kRegIdentityIndex, kIdentityChip);
    regs.read(kTargetSensor, kRegIdentityData, value);
    EXPECT_EQ(value, ChipIdentity{}.chip_id >> 8);
    regs.power_on_sensor();
    EXPECT_EQ(regs.part_type(), 2);
}

TEST(SensorRegisters, DllSettlesThenLocksWithJitterAndOutliers) {
    RegisterFile regs{ChipIdentity{}};
    regs.write(kTargetSensor, kRegDllControl, 0x01);  // bypassed: no measurement
    regs.write(kTargetSensor, kRegDllTrigger, 1);
    EXPECT_EQ(regs.peek(kTargetSensor, kRegDllStatus), 0u);

    regs.write(kTargetSensor, kRegDllControl, 0x02);
    regs.write(kTargetSensor, kRegDllTrigger, 1);
    EXPECT_EQ(regs.peek(kTargetSensor, kRegDllStatus), 1u);
    std::vector<int> fines;
    for (int i = 0; i < 8; ++i) {
        regs.write(kTargetSensor, kRegDllTrigger, 1);
        ASSERT_EQ(regs.peek(kTargetSensor, kRegDllStatus), 3u);
        EXPECT_EQ(regs.peek(kTargetSensor, kRegDllResult + 2), kDllCoarse);
        fines.push_back(static_cast<int>((regs.peek(kTargetSensor, kRegDllResult) << 8) |
                                         regs.peek(kTargetSensor, kRegDllResult + 1)));
    }
    int outliers = 0;
    for (int f : fines) {
        if (f == kDllFine + kDllOutlier) {
            ++outliers;
        } else {
            EXPECT_LE(std::abs(f - kDllFine), 2);
        }
    }
    EXPECT_EQ(outliers, 1);
}

TEST(SensorRegisters, ReadOutFollowsTheModeRegisters) {
    RegisterFile regs{ChipIdentity{}};
    EXPECT_TRUE(regs.readout().full());
    regs.write(kTargetSensor, 148, 0x3D);  // binning both ways, row reduction 3
    regs.write(kTargetSensor, 146, 0x11);  // two DCS
    const ReadOut r = regs.readout();
    EXPECT_EQ(r.col_shift, 1);
    EXPECT_EQ(r.row_shift, 3);
    EXPECT_TRUE(r.row_average);
    EXPECT_EQ(r.dcs, 2);
    EXPECT_EQ(r.halves, 2);
    ChipIdentity epc635;
    epc635.part_type = 4;
    EXPECT_EQ(RegisterFile{epc635}.readout().halves, 1);
}

// Decodes the frame of one generated unit (a single segment).
std::vector<uint16_t> one_frame(StreamGenerator &gen, uint16_t *width, uint16_t *height) {
    gen.restart();
    gen.generate();
    std::vector<uint8_t> bytes(gen.buffered());
    gen.read(bytes);
    *width = get_le16(&bytes[hdr::kWidth]);
    *height = get_le16(&bytes[hdr::kHeight]);
    std::vector<uint16_t> samples((bytes.size() - kStreamHeaderSize) / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = get_le16(&bytes[kStreamHeaderSize + 2 * i]);
    return samples;
}

TEST(SensorRegisters, ReducedFramesAreDerivedFromTheFullOne) {
    StreamGenerator gen;
    StreamConfig config;
    config.width = 8;
    config.height = 8;
    gen.set_config(config);
    // Sample value: plane * 1000 + row * 10 + column.
    gen.set_renderer([](uint32_t, std::span<uint8_t> frame) {
        for (uint32_t p = 0; p < 4; ++p)
            for (uint32_t y = 0; y < 8; ++y)
                for (uint32_t x = 0; x < 8; ++x)
                    put_le16(&frame[2 * ((p * 8 + y) * 8 + x)],
                             static_cast<uint16_t>(p * 1000 + y * 10 + x));
    });

    ReadOut r;
    r.dcs = 2;
    r.col_shift = 1;
    r.row_shift = 1;
    gen.set_readout(r);
    uint16_t w = 0, h = 0;
    auto samples = one_frame(gen, &w, &h);
    EXPECT_EQ(w, 8);  // the window before reduction
    EXPECT_EQ(h, 8);
    ASSERT_EQ(samples.size(), 2u * 4 * 4);
    // Row pairs: reduced pair 1 is full pair 2 (rows 4 and 5); columns 2 and 3 averaged.
    EXPECT_EQ(samples[2 * 4 + 1], 42);  // (42 + 43) / 2
    EXPECT_EQ(samples[3 * 4 + 1], 52);
    EXPECT_EQ(samples[16 + 0], 1000);  // second plane

    r.row_average = true;  // vertical binning: pairs 2 and 3 averaged
    gen.set_readout(r);
    samples = one_frame(gen, &w, &h);
    EXPECT_EQ(samples[2 * 4 + 1], 52);  // (42 + 43 + 62 + 63) / 4

    gen.set_readout(ReadOut{});
    samples = one_frame(gen, &w, &h);
    EXPECT_EQ(samples.size(), 4u * 64);
}

}  // namespace
}  // namespace lumox::vcam
