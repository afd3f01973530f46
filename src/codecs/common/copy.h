// Copies of the byte-token decoders: fixed 8- and 16-byte moves that may run
// past the bytes they are asked for, and the start of overlapping matches.
#pragma once

#include <cstdint>
#include <cstring>

namespace qrn {

// Entry d (1..7) is 7 mod d: after copying 7 bytes one at a time, the source
// moves on by this much so that source and destination are a multiple of d and
// at least 8 apart. Entry 0 is never used.
constexpr uint8_t OverlapStep[8] = {0, 7 % 1, 7 % 2, 7 % 3, 7 % 4, 7 % 5, 7 % 6, 7 % 7};

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

// A match of distance 1..7 ending at `end`: builds the repeating pattern one
// byte at a time, then copies it 16 bytes at a time. May write up to 15 bytes
// past `end` (and always at least 7 + 16 bytes from `dst`).
inline void overlap_copy(uint8_t* dst, uint32_t distance, const uint8_t* end)
{
    const uint8_t* src = dst - distance;
    for (int i = 0; i < 7; ++i)
        dst[i] = src[i];
    dst += 7;
    src += OverlapStep[distance];
    wild_copy16(dst, src, end);
}

} // namespace qrn
