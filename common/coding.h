// Little-endian fixed-width fields in byte buffers, least significant byte first: the
// layout of every binary record the suite writes, whatever the machine's own order.
#pragma once

#include <bit>
#include <cstdint>

namespace suite {

inline void put_fixed32(unsigned char* dst, std::uint32_t value) {
    dst[0] = static_cast<unsigned char>(value);
    dst[1] = static_cast<unsigned char>(value >> 8);
    dst[2] = static_cast<unsigned char>(value >> 16);
    dst[3] = static_cast<unsigned char>(value >> 24);
}

inline std::uint32_t get_fixed32(const unsigned char* src) {
    return std::uint32_t{src[0]} | std::uint32_t{src[1]} << 8 | std::uint32_t{src[2]} << 16 |
           std::uint32_t{src[3]} << 24;
}

inline void put_fixed64(unsigned char* dst, std::uint64_t value) {
    put_fixed32(dst, static_cast<std::uint32_t>(value));
    put_fixed32(dst + 4, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint64_t get_fixed64(const unsigned char* src) {
    return std::uint64_t{get_fixed32(src)} | std::uint64_t{get_fixed32(src + 4)} << 32;
}

// Two's complement and IEEE 754 doubles travel as their bits.
inline void put_int32(unsigned char* dst, std::int32_t value) {
    put_fixed32(dst, static_cast<std::uint32_t>(value));
}

inline std::int32_t get_int32(const unsigned char* src) {
    return static_cast<std::int32_t>(get_fixed32(src));
}

inline void put_double(unsigned char* dst, double value) {
    put_fixed64(dst, std::bit_cast<std::uint64_t>(value));
}

inline double get_double(const unsigned char* src) {
    return std::bit_cast<double>(get_fixed64(src));
}

}  // namespace suite
