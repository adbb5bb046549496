#include "api/fake_transport.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lumox/stream.h"
#include "testing/hooks.h"

namespace lumox::test {
namespace {

std::unique_ptr<FakeCamera> g_fake = std::make_unique<FakeCamera>();
int g_priv_marker = 0;

void put_text(uint8_t *rec, const std::string &text) {
    const size_t n = std::min<size_t>(text.size(), LUMOX_PARAM_VAL_MAX);
    rec[1] = static_cast<uint8_t>(n);
    std::memcpy(rec + 2, text.data(), n);
}

void put_bytes(uint8_t *rec, const std::vector<uint8_t> &bytes) {
    const size_t n = std::min<size_t>(bytes.size(), LUMOX_PARAM_VAL_MAX);
    rec[1] = static_cast<uint8_t>(n);
    if (n > 0) std::memcpy(rec + 2, bytes.data(), n);
}

uint8_t fake_init() { return 1; }
void fake_uninit() {}
void fake_set_debug(uint32_t) {}

lumox_ll_dev *fake_dev_open(lumox_ll_dev *dev) {
    ++fake().opens;
    if (!fake().open_ok) return nullptr;
    dev->priv = &g_priv_marker;
    dev->bus = 1;
    dev->port = 3;
    dev->addr = 7;
    dev->speed = 3;
    dev->location_valid = 1;
    dev->ops = &kFakeOps;
    return dev;
}

void fake_dev_close(lumox_ll_dev *dev) {
    ++fake().closes;
    dev->priv = nullptr;
}

int32_t fake_dev_list(lumox_ll_dev *devs, int32_t max) {
    ++fake().lists;
    const int32_t n = std::min(fake().cameras, max);
    for (int32_t i = 0; i < n; ++i) {
        devs[i].bus = 1;
        devs[i].port = static_cast<uint8_t>(i + 1);
        devs[i].addr = static_cast<uint8_t>(i + 10);
        devs[i].speed = 3;
        devs[i].location_valid = 1;
        devs[i].ops = &kFakeOps;
    }
    return n;
}

uint8_t fake_exe_cmd(lumox_ll_dev *, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                     uint32_t len, uint32_t) {
    return fake().command ? fake().command(dir, type, value, buf, len) : 0;
}
uint8_t fake_check_last_cmd(lumox_ll_dev *, uint8_t type, uint8_t) {
    return fake().command_status ? fake().command_status(type) : 0;
}
void fake_cap_abort(lumox_ll_dev *) { ++fake().aborts; }

uint8_t fake_cap_start(lumox_ll_dev *dev, uint32_t, lumox_ll_cap_cb cb, void *user) {
    ++fake().cap_starts;
    if (!fake().cap_start_ok) return 0;
    fake().capture_dev = dev;
    fake().capture_cb = cb;
    fake().capture_user = user;
    if (!fake().stream_on_start.empty()) emit(LUMOX_LL_CAP_DATA, fake().stream_on_start);
    return 1;
}

uint8_t fake_cap_stop(lumox_ll_dev *) {
    ++fake().cap_stops;
    return fake().cap_stop_ok ? 1 : 0;
}

uint8_t fake_dev_reset(lumox_ll_dev *, uint8_t target) {
    ++fake().resets;
    fake().last_reset_target = target;
    return 1;
}

uint8_t fake_reg_write(lumox_ll_dev *, uint8_t, uint32_t base, const uint32_t *values,
                       uint16_t count) {
    ++fake().reg_calls;
    if (base + count > 256) return 0;
    std::copy(values, values + count, fake().regs + base);
    return 1;
}

uint8_t fake_reg_read(lumox_ll_dev *, uint8_t, uint32_t base, uint32_t *values, uint16_t count) {
    ++fake().reg_calls;
    if (base + count > 256) return 0;
    std::copy(fake().regs + base, fake().regs + base + count, values);
    return 1;
}

uint8_t fake_param_set(lumox_ll_dev *, void *records, uint32_t count) {
    ++fake().param_sets;
    const auto *rec = static_cast<const uint8_t *>(records);
    fake().last_set_wire.assign(rec, rec + 20 * count);
    for (uint32_t i = 0; i < count; ++i, rec += 20) {
        const uint8_t len = std::min<uint8_t>(rec[1], LUMOX_PARAM_VAL_MAX);
        fake().params[rec[0]].assign(rec + 2, rec + 2 + len);
    }
    return 1;
}

uint8_t fake_param_get(lumox_ll_dev *, void *records, uint32_t count) {
    if (!fake().param_get_ok) return 0;
    auto *rec = static_cast<uint8_t *>(records);
    for (uint32_t i = 0; i < count; ++i, rec += 20) {
        std::memset(rec + 1, 0, 19);
        switch (rec[0]) {
            case LUMOX_PARAM_ID2:
                put_text(rec, fake().id2);
                break;
            case LUMOX_PARAM_PRODUCT:
                put_text(rec, fake().product);
                break;
            case LUMOX_PARAM_ID5:
                put_bytes(rec, {5, 5, 5, 5});
                break;
            case LUMOX_PARAM_ID6:
                put_bytes(rec, {6, 6});
                break;
            case LUMOX_PARAM_FRAME_RATE: {
                const uint32_t fps = fake().fps;
                put_bytes(rec, {static_cast<uint8_t>(fps), static_cast<uint8_t>(fps >> 8),
                                static_cast<uint8_t>(fps >> 16), static_cast<uint8_t>(fps >> 24)});
                break;
            }
            default:
                put_bytes(rec, fake().params[rec[0]]);
        }
    }
    return 1;
}

void no_sleep(uint32_t) {}

}  // namespace

const lumox_ll_op kFakeOps = {
    .init = fake_init,
    .uninit = fake_uninit,
    .set_debug = fake_set_debug,
    .dev_open = fake_dev_open,
    .dev_open_by_fd = fake_dev_open,
    .dev_close = fake_dev_close,
    .dev_list = fake_dev_list,
    .exe_cmd = fake_exe_cmd,
    .check_last_cmd = fake_check_last_cmd,
    .cap_abort = fake_cap_abort,
    .cap_start = fake_cap_start,
    .cap_stop = fake_cap_stop,
    .dev_reset = fake_dev_reset,
    .reg_write = fake_reg_write,
    .reg_read = fake_reg_read,
    .param_set = fake_param_set,
    .param_get = fake_param_get,
};

FakeCamera &fake() { return *g_fake; }

FakeCamera &reset_fake() {
    g_fake = std::make_unique<FakeCamera>();
    return *g_fake;
}

void emit(int32_t event, const std::vector<uint8_t> &bytes) {
    auto &cam = fake();
    ASSERT_NE(cam.capture_cb, nullptr) << "no capture running";
    std::vector<uint8_t> copy = bytes;  // the transport's buffer: writable, valid for the call
    cam.capture_cb(cam.capture_dev, event, copy.empty() ? nullptr : copy.data(),
                   static_cast<int32_t>(copy.size()), cam.capture_user);
}

std::vector<uint8_t> segment(uint16_t sidx, uint16_t fridx, uint32_t frlen, bool frame_start,
                             const std::vector<uint8_t> &data) {
    lx_stream_hdr hdr{};
    hdr.magic[0] = LX_STREAM_MAGIC0;
    hdr.magic[1] = LX_STREAM_MAGIC1;
    hdr.sidx = sidx;
    hdr.len = static_cast<uint32_t>(data.size());
    hdr.frlen = frlen;
    hdr.fridx = fridx;
    hdr.frfmt = 2;
    hdr.width = kFrameWidth;
    hdr.height = kFrameHeight;
    hdr.temp_sensor = 412;
    hdr.temp_ib = 385;
    hdr.fr_flags = frame_start ? LX_STREAM_FR_START : 0;
    uint8_t bytes[LX_STREAM_HDR_SIZE];
    std::memcpy(bytes, &hdr, sizeof bytes);
    unsigned sum1 = 0;
    unsigned sum2 = 0;
    for (int i = 0; i < 34; ++i) {
        sum1 = (sum1 + bytes[i]) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    bytes[34] = static_cast<uint8_t>(sum1);
    bytes[35] = static_cast<uint8_t>(sum2);
    std::vector<uint8_t> out(bytes, bytes + sizeof bytes);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> frames(uint16_t first, int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        const auto idx = static_cast<uint16_t>(first + i);
        const auto seg = segment(idx, idx, kFrameLen, true,
                                 std::vector<uint8_t>(kFrameLen, static_cast<uint8_t>(idx)));
        out.insert(out.end(), seg.begin(), seg.end());
    }
    return out;
}

void FakeTransportTest::SetUp() {
    reset_fake();
    api::set_transport_for_tests(&kFakeOps);
    platform::set_sleep_hook(no_sleep);
}

void FakeTransportTest::TearDown() {
    if (dev_.state) lumox_dev_close(&dev_);
    api::set_transport_for_tests(nullptr);
    platform::set_sleep_hook(nullptr);
}

lumox_dev_t *FakeTransportTest::open_device() {
    lumox_dev_t *dev = lumox_dev_open(&dev_);
    EXPECT_EQ(dev, &dev_);
    return dev;
}

}  // namespace lumox::test
