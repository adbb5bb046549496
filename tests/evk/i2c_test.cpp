#include "evk/i2c.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class I2cTest : public EvkTest {
  protected:
    // Runs one bridge call and returns what it printed.
    std::string run(int address, char op, int reg, unsigned count, unsigned char **buffer,
                    int *result) {
        CaptureStdout();
        *result = i2c(address, op, reg, count, buffer);
        return GetCapturedStdout();
    }
};

TEST_F(I2cTest, RangeChecksComeFirst) {
    unsigned char byte = 0;
    unsigned char *b = &byte;
    int result = 0;
    EXPECT_EQ(run(200, 'r', 0, 1, &b, &result), "Device address is out of range.\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(run(32, 'r', 256, 1, &b, &result), "Register address is out of range.\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(run(-1, 'w', 0, 1, &b, &result), "Device address is out of range.\n");
    EXPECT_TRUE(fake_.writes.empty());
}

TEST_F(I2cTest, ReadAndWriteCarryOneBytePerRegister) {
    unsigned char out[3] = {0x12, 0x34, 0x1FF & 0xFF};
    unsigned char *b = out;
    int result = -1;
    run(32, 'w', 150, 3, &b, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fake_.regs[150], 0x12);
    EXPECT_EQ(fake_.regs[152], 0xFF);

    unsigned char in[3] = {};
    b = in;
    run(32, 'r', 150, 3, &b, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(in[0], 0x12);
    EXPECT_EQ(in[1], 0x34);
}

TEST_F(I2cTest, OtherOperationsAndFailures) {
    unsigned char buf[2] = {};
    unsigned char *b = buf;
    int result = -1;
    run(32, 'd', 0, 2, &b, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(buf[0], 32);
    EXPECT_EQ(buf[1], 255);

    EXPECT_EQ(run(32, 's', 0, 0, &b, &result), "");
    EXPECT_EQ(fake_.resets, 1);
    EXPECT_EQ(run(32, 'l', 0, 0, &b, &result), "uncompleted function : <i2c device reload>!\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(run(32, 'x', 0, 0, &b, &result),
              "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
              "reset) are allowed.\n");
    EXPECT_EQ(result, -1);

    fake_.fail_reg_io = true;
    EXPECT_EQ(run(32, 'r', 0, 1, &b, &result), "reg read faild!\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(run(32, 'w', 0, 1, &b, &result), "reg write fail!\n");
    EXPECT_EQ(result, -1);

    unsigned char *none = nullptr;
    run(32, 'r', 0, 1, &none, &result);
    EXPECT_EQ(result, -1);
}

TEST_F(I2cTest, LongTransfersAreReportedButCarriedOut) {
    std::vector<unsigned char> big(300, 7);
    unsigned char *b = big.data();
    int result = -1;
    EXPECT_EQ(run(32, 'w', 0, 300, &b, &result), "rw much data: 300\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fake_.writes.size(), 300u);
}

}  // namespace
}  // namespace lumox::evk::test
