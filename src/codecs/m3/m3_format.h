// Method 3 block format: five ANS-coded symbol streams, each a chain of
// segments, plus raw bit fields and raw literal runs.
//
// Block: five link words (one per stream, pointing at its first segment),
// then the segments in the order they were finished. A link word holds the
// segment's offset from the block start in bits 0-30; bit 31 marks a partial
// segment, which carries its symbol count as a PrefixVarint after its 4-byte
// next-link slot. Stream fields follow: the length-extension and offset
// streams have A (distance from A to the ANS segment, raw bits between); the
// literal-run extension has A (distance from A to the raw literal bytes) and
// B (distance from B to the ANS segment, raw bits between). Then the ANS
// segment, and for the literal-run extension the raw literal runs.
#pragma once

#include <cstdint>

namespace qrn {

enum M3Stream : int {
    M3_LITERALS = 0,
    M3_RUN_EXT = 1,     // literal runs of 7 or more: bucket code of (run - 7)
    M3_TOKENS = 2,      // lc (bits 7-5) and mc (bits 4-0)
    M3_LENGTH_EXT = 3,  // mc 31: bucket code of (length - minimum - 31)
    M3_OFFSETS = 4,     // bucket code of the offset value
    M3_STREAMS = 5
};

struct M3StreamShape {
    uint32_t chunk;     // ANS chunk size
    uint32_t capacity;  // symbols of a full segment
    uint32_t fields;    // 32-bit stream fields after the count
};

constexpr M3StreamShape M3_SHAPE[M3_STREAMS] = {
    {14336, 585 * 14336, 0},
    {16384, 64 * 16384, 2},
    {12288, 682 * 12288, 0},
    {16384, 64 * 16384, 1},
    {12288, 341 * 12288, 1},
};

constexpr uint32_t M3_LINK_TABLE_SIZE = 4 * M3_STREAMS;
constexpr uint32_t M3_PARTIAL = 0x80000000u;

// Offset values: 0-3 repeat a recent distance, otherwise distance + 4; the
// distance 0 (value 4) ends the block.
constexpr uint32_t M3_REPEATS = 4;
constexpr uint32_t M3_END_MARK = 4;

// Literal and match codes of a token.
constexpr uint32_t M3_LC_EXT = 7;
constexpr uint32_t M3_MC_EXT = 31;

inline uint32_t m3_min_match(uint32_t level) { return level <= 1 ? 4 : level == 9 ? 2 : 3; }
inline uint32_t m3_raw_threshold(uint32_t level) { return level == 9 ? 512 : 256; }

// Bucket code of a value: below 16 the value itself; otherwise, with
// e = floor(log2 v), 8e + (the three bits below the top one) - 16, and the
// e - 3 low bits of v go to the raw bit field.
inline uint32_t m3_bucket_symbol(uint32_t v)
{
    if (v < 16)
        return v;
    const uint32_t e = 31 - static_cast<uint32_t>(__builtin_clz(v));
    return 8 * e + ((v >> (e - 3)) & 7) - 16;
}
inline uint32_t m3_bucket_extra_bits(uint32_t v) { return v < 16 ? 0 : 28 - static_cast<uint32_t>(__builtin_clz(v)); }

} // namespace qrn
