// Little-endian loads and stores at any address.
#pragma once

#include <cstdint>
#include <cstring>

namespace qrn {

inline uint16_t load_le16(const void* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline uint32_t load_le32(const void* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t load_le64(const void* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void store_le16(void* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void store_le32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_le64(void* p, uint64_t v) { std::memcpy(p, &v, 8); }

} // namespace qrn
