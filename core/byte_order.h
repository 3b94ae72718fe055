#pragma once
// Little-endian reads and writes of unaligned fields in byte buffers (stored files are packed
// little-endian whatever the host).

#include <bit>
#include <cstdint>
#include <cstring>

namespace velk::le {

inline std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t get32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t get64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}
inline std::int32_t geti32(const std::uint8_t* p) { return static_cast<std::int32_t>(get32(p)); }
inline double getf64(const std::uint8_t* p) { return std::bit_cast<double>(get64(p)); }

inline void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put64(std::uint8_t* p, std::uint64_t v)
{
    put32(p, static_cast<std::uint32_t>(v));
    put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline void puti32(std::uint8_t* p, std::int32_t v) { put32(p, static_cast<std::uint32_t>(v)); }
inline void putf64(std::uint8_t* p, double v) { put64(p, std::bit_cast<std::uint64_t>(v)); }

}  // namespace velk::le
