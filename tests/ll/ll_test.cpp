// Transport dispatch: null records, narrowing to the wire widths, and routing to the record's
// operation table (a recording fake here, so no device is needed).

#include "lumox/transport.h"

#include <gtest/gtest.h>

#include <string>

#include "lumox/log.h"
#include "support/temp_dir.h"

namespace {

struct Calls {
    int count = 0;
    uint8_t dir = 0, type = 0, value8 = 0, target = 0;
    uint16_t value = 0, reg_count = 0;
    uint32_t len = 0, timeout = 0, reg_base = 0;
};
Calls g_calls;

uint8_t fake_exe(lumox_ll_dev *, uint8_t dir, uint8_t type, uint16_t value, void *, uint32_t len,
                 uint32_t timeout_ms) {
    ++g_calls.count;
    g_calls.dir = dir;
    g_calls.type = type;
    g_calls.value = value;
    g_calls.len = len;
    g_calls.timeout = timeout_ms;
    return 1;
}
uint8_t fake_check(lumox_ll_dev *, uint8_t type, uint8_t value) {
    ++g_calls.count;
    g_calls.type = type;
    g_calls.value8 = value;
    return 1;
}
uint8_t fake_reset(lumox_ll_dev *, uint8_t target) {
    ++g_calls.count;
    g_calls.target = target;
    return 1;
}
uint8_t fake_reg_write(lumox_ll_dev *, uint8_t target, uint32_t base, const uint32_t *,
                       uint16_t count) {
    ++g_calls.count;
    g_calls.target = target;
    g_calls.reg_base = base;
    g_calls.reg_count = count;
    return 1;
}
uint8_t fake_reg_read(lumox_ll_dev *dev, uint8_t target, uint32_t base, uint32_t *values,
                      uint16_t count) {
    return fake_reg_write(dev, target, base, values, count);
}
lumox_ll_dev *fake_open(lumox_ll_dev *dev) {
    ++g_calls.count;
    return dev;
}
void fake_close(lumox_ll_dev *) { ++g_calls.count; }

const lumox_ll_op kFakeOps = {
    .init = nullptr,
    .uninit = nullptr,
    .set_debug = nullptr,
    .dev_open = fake_open,
    .dev_open_by_fd = fake_open,
    .dev_close = fake_close,
    .dev_list = nullptr,
    .exe_cmd = fake_exe,
    .check_last_cmd = fake_check,
    .cap_abort = nullptr,
    .cap_start = nullptr,
    .cap_stop = nullptr,
    .dev_reset = fake_reset,
    .reg_write = fake_reg_write,
    .reg_read = fake_reg_read,
    .param_set = nullptr,
    .param_get = nullptr,
};

class LlDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls = Calls{};
        dev_.ops = &kFakeOps;
    }
    lumox_ll_dev dev_{};
};

TEST_F(LlDispatch, NarrowsCommandArgumentsToWireWidths) {
    EXPECT_EQ(lumox_ll_exe_cmd(&dev_, 0x101, 0x1C2, 0x12345, nullptr, 70000, 1500), 1);
    EXPECT_EQ(g_calls.dir, 1);
    EXPECT_EQ(g_calls.type, 0xC2);
    EXPECT_EQ(g_calls.value, 0x2345);  // above 255 passes unchanged within 16 bits
    EXPECT_EQ(g_calls.len, 70000u);
    EXPECT_EQ(g_calls.timeout, 1500u);

    EXPECT_EQ(lumox_ll_check_last_cmd(&dev_, 0x2C0, 0x1234), 1);
    EXPECT_EQ(g_calls.type, 0xC0);
    EXPECT_EQ(g_calls.value8, 0x34);  // only the low 8 bits are compared by the camera

    EXPECT_EQ(lumox_ll_dev_reset(&dev_, 0x103), 1);
    EXPECT_EQ(g_calls.target, 3);

    EXPECT_EQ(lumox_ll_reg_write(&dev_, 0x201, 0xDEADBEEF, nullptr, 17), 1);
    EXPECT_EQ(g_calls.target, 1);
    EXPECT_EQ(g_calls.reg_base, 0xDEADBEEFu);
    EXPECT_EQ(g_calls.reg_count, 17);
    EXPECT_EQ(g_calls.count, 4);
}

TEST_F(LlDispatch, RefusesRegisterCountsBeyondSixteenBits) {
    uint32_t values[1] = {};
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 1, 0, values, 0x10001), 0);
    EXPECT_EQ(lumox_ll_reg_read(&dev_, 1, 0, values, 0x10000), 0);
    EXPECT_EQ(g_calls.count, 0);
    EXPECT_EQ(lumox_ll_reg_read(&dev_, 1, 0, values, 0xFFFF), 1);
    EXPECT_EQ(g_calls.reg_count, 0xFFFF);
}

TEST_F(LlDispatch, RoutesOpenAndCloseThroughTheRecordsTable) {
    EXPECT_EQ(lumox_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(lumox_ll_dev_open_by_fd(&dev_), &dev_);
    lumox_ll_dev_close(&dev_);
    EXPECT_EQ(g_calls.count, 3);
}

TEST(LlDispatchNull, NullRecordFailsQuietly) {
    lumox::test::TempDir dir;
    const std::string log = dir.file("null.log");
    ASSERT_TRUE(lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_TRC, log.c_str()));
    uint32_t values[2] = {};
    uint8_t buf[4] = {};
    EXPECT_EQ(lumox_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(lumox_ll_dev_open_by_fd(nullptr), nullptr);
    lumox_ll_dev_close(nullptr);
    lumox_ll_cap_abort(nullptr);
    EXPECT_EQ(lumox_ll_dev_reset(nullptr, 0), 0);
    EXPECT_EQ(lumox_ll_exe_cmd(nullptr, 1, 0xC0, 0, buf, 4, 1000), 0);
    EXPECT_EQ(lumox_ll_check_last_cmd(nullptr, 0xC0, 0), 0);
    EXPECT_EQ(lumox_ll_cap_start(nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(lumox_ll_cap_stop(nullptr), 0);
    EXPECT_EQ(lumox_ll_reg_write(nullptr, 1, 0, values, 2), 0);
    EXPECT_EQ(lumox_ll_reg_read(nullptr, 1, 0, values, 2), 0);
    EXPECT_EQ(lumox_ll_param_set(nullptr, buf, 1), 0);
    EXPECT_EQ(lumox_ll_param_get(nullptr, buf, 1), 0);
    lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_OFF, nullptr);
    lx_log_disable();
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);

    EXPECT_EQ(lumox::test::read_file(log), "");
}

TEST(LlDispatchList, NonPositiveMaxReturnsZeroWithoutEnumerating) {
    lumox_ll_dev rec{};
    rec.bus = 0x5A;
    // A record that would be cleared by an enumeration keeps its contents.
    EXPECT_EQ(lumox_ll_dev_list(&rec, 0), 0);
    EXPECT_EQ(lumox_ll_dev_list(&rec, -3), 0);
    EXPECT_EQ(lumox_ll_dev_list(nullptr, 0), 0);
    EXPECT_EQ(rec.bus, 0x5A);
}

}  // namespace
