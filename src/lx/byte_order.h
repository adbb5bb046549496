// Little-endian loads and stores of the wire's fixed-width fields (stream headers, command
// payloads, parameter records, calibration images), from and to byte buffers of any alignment,
// whatever the host's byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace lumox {

namespace byte_order_detail {
template <typename T>
constexpr T from_le(T v) {
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        return v;
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(v));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(v));
    } else {
        return static_cast<T>(__builtin_bswap64(v));
    }
}
}  // namespace byte_order_detail

inline uint16_t load_le16(const void *p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return byte_order_detail::from_le(v);
}

inline uint32_t load_le32(const void *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return byte_order_detail::from_le(v);
}

inline uint64_t load_le64(const void *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return byte_order_detail::from_le(v);
}

inline int16_t load_le_i16(const void *p) { return static_cast<int16_t>(load_le16(p)); }
inline int32_t load_le_i32(const void *p) { return static_cast<int32_t>(load_le32(p)); }
inline double load_le_f64(const void *p) { return std::bit_cast<double>(load_le64(p)); }

inline void store_le16(void *p, uint16_t v) {
    v = byte_order_detail::from_le(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_le32(void *p, uint32_t v) {
    v = byte_order_detail::from_le(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace lumox
