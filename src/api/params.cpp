// Registers and parameters: device checks, conversion between the application's 24-byte
// parameter items and the transport's 20-byte records, and the transport calls.

#include "api/params.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "api/device_state.h"
#include "lumox/log.h"
#include "lx/byte_order.h"

static_assert(sizeof(lumox_param_item) == 24, "parameter items have a 24-byte stride");
static_assert(offsetof(lumox_param_item, param_id) == 0);
static_assert(offsetof(lumox_param_item, param_val_len) == 4);
static_assert(offsetof(lumox_param_item, param_val) == 5);
static_assert(offsetof(lumox::api::WireParam, len) == 1);
static_assert(offsetof(lumox::api::WireParam, val) == 2);

namespace lumox::api {
namespace {

std::unique_ptr<WireParam[]> make_records(uint32_t count) {
    return std::unique_ptr<WireParam[]>(new (std::nothrow) WireParam[count]());
}

struct ParamName {
    uint32_t id;
    const char *name;
};

constexpr ParamName kParamNames[] = {
    {LUMOX_PARAM_MODE, "LUMOX_PARAM_MODE"},
    {LUMOX_PARAM_ID2, "LUMOX_PARAM_ID2"},
    {LUMOX_PARAM_PRODUCT, "LUMOX_PARAM_PRODUCT"},
    {LUMOX_PARAM_ID5, "LUMOX_PARAM_ID5"},
    {LUMOX_PARAM_ID6, "LUMOX_PARAM_ID6"},
    {LUMOX_PARAM_CHIP_INFO, "LUMOX_PARAM_CHIP_INFO"},
    {LUMOX_PARAM_CALIB_INFO, "LUMOX_PARAM_CALIB_INFO"},
    {LUMOX_PARAM_OP_MODE, "LUMOX_PARAM_OP_MODE"},
    {LUMOX_PARAM_FRAME_RATE, "LUMOX_PARAM_FRAME_RATE"},
    {LUMOX_PARAM_INTG_TIME, "LUMOX_PARAM_INTG_TIME"},
    {LUMOX_PARAM_TEMPERATURE, "LUMOX_PARAM_TEMPERATURE"},
    {LUMOX_PARAM_ID17, "LUMOX_PARAM_ID17"},
};

}  // namespace

bool param_get(lumox_ll_dev *ll, lumox_param_item *items, uint32_t count) {
    auto records = make_records(count);
    if (!records) return false;
    for (uint32_t i = 0; i < count; ++i) {
        records[i].id = static_cast<uint8_t>(items[i].param_id);
        records[i].len = items[i].param_val_len;
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] get %d param\n", "_lumox_param_batch_get",
           static_cast<int>(count));
    if (!lumox_ll_param_get(ll, records.get(), count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        items[i].param_val_len = records[i].len;
        std::memcpy(items[i].param_val, records[i].val, LUMOX_PARAM_VAL_MAX);
    }
    return true;
}

}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API const char *lumox_param_name(uint32_t param_id) noexcept {
    for (const auto &entry : kParamNames) {
        if (entry.id == param_id) return entry.name;
    }
    return nullptr;
}

LUMOX_API uint8_t lumox_reg_batch_write(lumox_dev_t *dev, uint8_t target, uint32_t reg_base,
                                        const uint32_t *val_buf, uint16_t reg_cnt) noexcept {
    lx_log(LX_LOG_TRC, "TRC", "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n",
           "lumox_reg_batch_write", target, static_cast<int>(reg_base), reg_cnt,
           static_cast<const void *>(val_buf));
    if (!check_open(dev, "lumox_reg_batch_write")) return 0;
    if (!val_buf && reg_cnt > 0) return 0;
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    return lumox_ll_reg_write(&dev->state->ll, target, reg_base, val_buf, reg_cnt);
}

LUMOX_API uint8_t lumox_reg_batch_read(lumox_dev_t *dev, uint8_t target, uint32_t reg_base,
                                       uint32_t *val_buf, uint16_t reg_cnt) noexcept {
    lx_log(LX_LOG_TRC, "TRC", "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n",
           "lumox_reg_batch_read", target, static_cast<int>(reg_base), reg_cnt,
           static_cast<void *>(val_buf));
    if (!check_open(dev, "lumox_reg_batch_read")) return 0;
    if (!val_buf && reg_cnt > 0) return 0;
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    return lumox_ll_reg_read(&dev->state->ll, target, reg_base, val_buf, reg_cnt);
}

LUMOX_API uint8_t lumox_param_batch_set(lumox_dev_t *dev, const lumox_param_item *items,
                                        uint32_t count) noexcept {
    if (!check_open(dev, "lumox_param_batch_set")) return 0;
    if (!items && count > 0) return 0;
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    auto records = make_records(count);
    if (!records) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        records[i].id = static_cast<uint8_t>(items[i].param_id);
        records[i].len = items[i].param_val_len;
        std::memcpy(records[i].val, items[i].param_val, LUMOX_PARAM_VAL_MAX);
        if (items[i].param_id == LUMOX_PARAM_FRAME_RATE) {
            lx_log(LX_LOG_DBG, "DBG", "[%s] Set FPS:%d\n", "_lumox_param_batch_set",
                   static_cast<int>(lumox::load_le32(items[i].param_val)));
        }
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] set %d param\n", "_lumox_param_batch_set",
           static_cast<int>(count));
    if (!check_open(dev, "_lumox_param_batch_set")) return 0;
    return lumox_ll_param_set(&dev->state->ll, records.get(), count);
}

LUMOX_API uint8_t lumox_param_batch_get(lumox_dev_t *dev, lumox_param_item *items,
                                        uint32_t count) noexcept {
    if (!check_open(dev, "lumox_param_batch_get")) return 0;
    if (!items && count > 0) return 0;
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    return param_get(&dev->state->ll, items, count) ? 1 : 0;
}

}  // extern "C"
