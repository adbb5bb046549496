#include "vcam/params.h"

#include <algorithm>
#include <cstring>

namespace lumox::vcam {

ParamStore::ParamStore(const ParamDefaults &defaults) : defaults_(defaults) { restore_defaults(); }

void ParamStore::restore_defaults() {
    values_.clear();
    auto text = [](const std::string &s) {
        std::vector<uint8_t> v(s.begin(), s.end());
        if (v.size() > kParamValueSize) v.resize(kParamValueSize);
        return v;
    };
    auto u16s = [](std::initializer_list<uint16_t> words) {
        std::vector<uint8_t> v;
        for (uint16_t w : words) {
            v.push_back(static_cast<uint8_t>(w));
            v.push_back(static_cast<uint8_t>(w >> 8));
        }
        return v;
    };
    const ChipIdentity &chip = defaults_.chip;
    values_[kParamMode] = {kModeNormal};
    values_[kParamId2] = text(defaults_.id2);
    values_[kParamProduct] = text(defaults_.product);
    // Hardware description: board revision, sensor count.
    values_[kParamId5] = {0x02, 0x01, 0x00, 0x00};
    // Firmware description: build, then the firmware version as a 16-bit word at byte 2.
    values_[kParamId6] = {0x01, 0x00, 0x07, 0x01, 0x00, 0x00};
    values_[kParamChipInfo] = u16s({chip.part_version, chip.chip_id, chip.wafer_id});
    // No calibration package stored: valid flag 0, sizes 0.
    values_[kParamCalibInfo] = std::vector<uint8_t>(17, 0);
    values_[kParamOpMode] = {0};
    std::vector<uint8_t> fps(4);
    put_le32(fps.data(), defaults_.frame_rate);
    values_[kParamFrameRate] = fps;
    values_[kParamIntgTime] = u16s({1500});
    values_[kParamTemperature] = u16s({static_cast<uint16_t>(defaults_.temp_sensor),
                                       static_cast<uint16_t>(defaults_.temp_sensor),
                                       static_cast<uint16_t>(defaults_.temp_sensor),
                                       static_cast<uint16_t>(defaults_.temp_sensor)});
    values_[kParamId17] = {1, 0, 0};
}

std::optional<std::vector<uint8_t>> ParamStore::get(uint8_t id) const {
    auto it = values_.find(id);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void ParamStore::set(uint8_t id, std::span<const uint8_t> value) {
    size_t n = std::min(value.size(), kParamValueSize);
    values_[id].assign(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
}

uint32_t ParamStore::get_u32(uint8_t id) const {
    uint8_t bytes[4] = {};
    auto it = values_.find(id);
    if (it != values_.end())
        std::memcpy(bytes, it->second.data(), std::min<size_t>(4, it->second.size()));
    return get_le32(bytes);
}

std::array<uint8_t, kParamRecordSize> ParamStore::record(uint8_t id) const {
    std::array<uint8_t, kParamRecordSize> r{};
    r[0] = id;
    auto it = values_.find(id);
    if (it != values_.end()) {
        r[1] = static_cast<uint8_t>(it->second.size());
        std::copy(it->second.begin(), it->second.end(), r.begin() + 2);
    }
    return r;
}

}  // namespace lumox::vcam
