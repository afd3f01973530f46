// Little-endian loads and stores at any address, and byte-string comparison.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace qrn {

// On a little-endian host these are plain copies; a big-endian one swaps.
constexpr bool HOST_BIG_ENDIAN = std::endian::native == std::endian::big;

inline uint16_t load_le16(const void* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return HOST_BIG_ENDIAN ? __builtin_bswap16(v) : v;
}
inline uint32_t load_le32(const void* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return HOST_BIG_ENDIAN ? __builtin_bswap32(v) : v;
}
inline uint64_t load_le64(const void* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return HOST_BIG_ENDIAN ? __builtin_bswap64(v) : v;
}
inline void store_le16(void* p, uint16_t v)
{
    v = HOST_BIG_ENDIAN ? __builtin_bswap16(v) : v;
    std::memcpy(p, &v, 2);
}
inline void store_le32(void* p, uint32_t v)
{
    v = HOST_BIG_ENDIAN ? __builtin_bswap32(v) : v;
    std::memcpy(p, &v, 4);
}
inline void store_le64(void* p, uint64_t v)
{
    v = HOST_BIG_ENDIAN ? __builtin_bswap64(v) : v;
    std::memcpy(p, &v, 8);
}

// How far a and b agree, counting on from `from` equal bytes and reading
// nothing at or past `limit`.
inline uint32_t common_prefix(const uint8_t* a, const uint8_t* b, uint32_t from, uint32_t limit)
{
    uint32_t k = from;
    while (k + 8 <= limit) {
        const uint64_t x = load_le64(a + k) ^ load_le64(b + k);
        if (x)
            return k + (static_cast<uint32_t>(__builtin_ctzll(x)) >> 3);
        k += 8;
    }
    while (k < limit && a[k] == b[k])
        ++k;
    return k;
}

} // namespace qrn
