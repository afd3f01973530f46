// Helpers of the fast LZ compressors: multiplicative hashes, the candidate
// choice table, and match length counting.
#pragma once

#include <array>
#include <cstdint>

#include "common/bytes.h"

namespace qrn {

constexpr uint32_t HASH_MULTIPLIER = 123456791u;

// Hash of the 4 bytes at p, keeping the top (32 - shift) bits.
inline uint32_t H4(const uint8_t* p, int shift) { return (load_le32(p) * HASH_MULTIPLIER) >> shift; }

// Hash of the 6 bytes at p.
inline uint32_t H6(const uint8_t* p, int shift)
{
    const uint32_t mixed = (static_cast<uint32_t>(load_le16(p + 4)) << 13) ^ load_le32(p);
    return (mixed * HASH_MULTIPLIER) >> shift;
}

// Hash of the 8 bytes at p (both 32-bit words folded together).
inline uint32_t H8(const uint8_t* p, int shift) { return ((load_le32(p + 4) ^ load_le32(p)) * HASH_MULTIPLIER) >> shift; }

// Hash of the 3 bytes at p, H3_BITS bits: the near-match tables of level 2.
constexpr int H3_BITS = 16;
inline uint32_t H3(const uint8_t* p) { return ((load_le32(p) & 0xFFFFFF) * HASH_MULTIPLIER) >> (32 - H3_BITS); }

// The probe of a four-position step of the level-2 parsers: the candidates
// that slots ha[k] of table `ta` and hb[k] of table `tb` hold for positions
// ip .. ip + 3 (their data fetched ahead of the comparisons), then those
// positions entered in both slots. Every slot is read before any is written.
inline void probe_and_enter4(const uint8_t* in, uint32_t ip, uint32_t* ta, const uint32_t* ha, uint32_t* ca,
                             uint32_t* tb, const uint32_t* hb, uint32_t* cb)
{
    for (uint32_t k = 0; k < 4; ++k) {
        ca[k] = ta[ha[k]];
        cb[k] = tb[hb[k]];
        __builtin_prefetch(in + ca[k]);
        __builtin_prefetch(in + cb[k]);
    }
    for (uint32_t k = 0; k < 4; ++k) {
        ta[ha[k]] = ip + k;
        tb[hb[k]] = ip + k;
    }
}

// Distance class: floor(log2 d) / 2; 0..15 for 32-bit distances.
inline int distance_class(uint32_t d) { return (31 - __builtin_clz(d | 1)) >> 1; }

// Candidate distance of "no match": class 14.
constexpr uint32_t NO_MATCH_DISTANCE = 0x3FFFFFFF;

// DistanceClassBonus[new class][best class]: how much longer (in bytes, with
// a bias of 2) a new candidate must reach than the best one to replace it.
constexpr int distance_bonus(int k)
{
    return k >= 4 ? 5 : k >= 2 ? 4 : k >= 0 ? 3 : k == -1 ? 2 : k >= -3 ? 1 : 0;
}

constexpr std::array<std::array<uint8_t, 16>, 16> make_distance_class_bonus()
{
    std::array<std::array<uint8_t, 16>, 16> t{};
    for (int row = 0; row < 16; ++row)
        for (int col = 0; col < 16; ++col)
            t[row][col] = static_cast<uint8_t>(distance_bonus(row - col));
    return t;
}

inline constexpr auto DistanceClassBonus = make_distance_class_bonus();

// Number of equal bytes at a and b, comparing 8 at a time, up to `limit` bytes
// (the caller guarantees 8 readable bytes beyond each side's range).
inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t n = 0;
    while (n < limit) {
        const uint64_t x = load_le64(a + n) ^ load_le64(b + n);
        if (x != 0) {
            n += static_cast<uint32_t>(__builtin_ctzll(x)) >> 3;
            return n < limit ? n : limit;
        }
        n += 8;
    }
    return limit;
}

} // namespace qrn
