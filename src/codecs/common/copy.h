// Copies of the byte-token decoders: fixed 8- and 16-byte moves that may run
// past the bytes they are asked for, and matches that overlap themselves.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/bytes.h"

namespace qrn {

inline void copy8(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 8); }

// Two 8-byte moves in address order: correct for overlapping copies whose
// distance is at least 8.
inline void copy16(uint8_t* dst, const uint8_t* src)
{
    copy8(dst, src);
    copy8(dst + 8, src + 8);
}

// Copies 16 bytes at a time until `dst` reaches `end` (at least one step).
// May write up to 15 bytes past `end`.
inline void wild_copy16(uint8_t* dst, const uint8_t* src, const uint8_t* end)
{
    do {
        copy16(dst, src);
        dst += 16;
        src += 16;
    } while (dst < end);
}

// 16 bytes from a source that does not overlap them (disjoint, or at least
// 16 bytes behind): one unaligned vector move.
inline void copy16_apart(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 16); }

// copy16_apart until `dst` reaches `end` (at least one step); may write up to
// 15 bytes past `end`. From a source 16 to 31 bytes behind, each move reads
// what the one before it wrote, so the result is still a forward copy.
inline void wild_copy16_apart(uint8_t* dst, const uint8_t* src, const uint8_t* end)
{
    do {
        copy16_apart(dst, src);
        dst += 16;
        src += 16;
    } while (dst < end);
}

// Patterns of matches at distance 1..7 (entry 0 is never used). The first d
// bytes of the source, times PatternSpread[d], repeat through 8 bytes; the
// next 8 bytes of the match are the same pattern moved down by 8 mod d bytes.
// PatternStep[d] is the largest multiple of d up to 16: 16-byte stores of the
// pattern that far apart continue it.
constexpr uint64_t pattern_spread(uint32_t d)
{
    uint64_t m = 0;
    for (uint32_t i = 0; i < 8; i += d)
        m |= uint64_t{1} << (8 * i);
    return m;
}
constexpr uint64_t PatternSpread[8] = {0, pattern_spread(1), pattern_spread(2), pattern_spread(3),
                                       pattern_spread(4), pattern_spread(5), pattern_spread(6), pattern_spread(7)};
constexpr uint8_t PatternStep[8] = {0, 16, 16, 15, 16, 15, 12, 14};
// Bit shifts that move the first 8 bytes of a pattern to the next 8:
// down by 8 mod d bytes, and up by the rest of d.
constexpr uint8_t PatternDown[8] = {0, 0, 0, 16, 0, 24, 16, 8};
constexpr uint8_t PatternUp[8] = {0, 8, 16, 8, 32, 16, 32, 48};

// A match of distance 1..7 ending at `end`: builds its repeating 16 bytes in
// two registers from the d bytes before `dst` (a load of 8 bytes there, the
// bytes from `dst` on ignored) and stores them until `end`, with no further
// loads from the output. May write up to 15 bytes past `end` (and always at
// least 16 bytes from `dst`).
inline void overlap_copy(uint8_t* dst, uint32_t distance, const uint8_t* end)
{
    uint64_t seed = load_le64(dst - distance);
    seed &= ~uint64_t{0} >> (64 - 8 * distance);
    const uint64_t low = seed * PatternSpread[distance];
    const uint64_t high = (low >> PatternDown[distance]) | (low << PatternUp[distance]);
    const uint32_t step = PatternStep[distance];
    do {
        store_le64(dst, low);
        store_le64(dst + 8, high);
        dst += step;
    } while (dst < end);
}

} // namespace qrn
