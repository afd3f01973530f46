// Method 1 token format and its writer, shared by the compressors of every level.
//
// A token: token byte (literal-length code << 4 | match-length code), 16-bit
// offset (0 marks the end token), match-length extension when the code is 15,
// literal-length extension when the code is 15, then the literal bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"

namespace qrn {

constexpr uint32_t M1_MIN_MATCH = 4;
constexpr uint32_t M1_MAX_DISTANCE = 65535;

// Longest token header: token byte, offset and two 6-byte extensions.
constexpr size_t M1_MAX_HEADER = 3 + 6 + 6;

// Bytes a token with `literals` literals and a match of `length` takes
// (length 0: the end token).
inline size_t m1_token_size(uint32_t literals, uint32_t length)
{
    size_t size = 3 + size_t(literals);
    if (literals >= 15)
        size += length_extension_size(literals);
    if (length >= M1_MIN_MATCH + 15)
        size += length_extension_size(length - M1_MIN_MATCH);
    return size;
}

// Writes the header of a token: `length` >= 4 with `distance` 1..65535, or
// length 0 and distance 0 for the end token (match code 0, no extension).
inline uint8_t* m1_put_header(uint8_t* op, uint32_t literals, uint32_t length, uint32_t distance)
{
    const uint32_t mv = length ? length - M1_MIN_MATCH : 0;
    const uint32_t lcode = literals < 15 ? literals : 15;
    const uint32_t mcode = mv < 15 ? mv : 15;
    op[0] = static_cast<uint8_t>(lcode << 4 | mcode);
    store_le16(op + 1, static_cast<uint16_t>(distance));
    op += 3;
    if (mcode == 15)
        op = length_extension_put(op, mv);
    if (lcode == 15)
        op = length_extension_put(op, literals);
    return op;
}

// Output area of a compressor: writes never pass `end`.
struct M1Writer {
    uint8_t* op;
    uint8_t* end;
};

// Writes one token with its literals; false when it does not fit. While far
// from the end, literals are copied 16 bytes at a time (reading up to 15
// bytes past them, within the input slack, and writing up to 15 bytes past
// the token, within the output area).
inline bool m1_put_token_general(M1Writer& w, const uint8_t* literals, uint32_t count, uint32_t length,
                                 uint32_t distance)
{
    if (static_cast<size_t>(w.end - w.op) >= size_t(count) + M1_MAX_HEADER + 16) {
        uint8_t* op = m1_put_header(w.op, count, length, distance);
        if (count <= 16)
            copy16(op, literals);
        else
            wild_copy16(op, literals, op + count);
        w.op = op + count;
        return true;
    }
    if (m1_token_size(count, length) > static_cast<size_t>(w.end - w.op))
        return false;
    uint8_t* op = m1_put_header(w.op, count, length, distance);
    std::memcpy(op, literals, count);
    w.op = op + count;
    return true;
}

// The same, with the common case (under 15 literals, a match of at most 18
// bytes, room to spare) inline.
__attribute__((always_inline)) inline bool m1_put_token(M1Writer& w, const uint8_t* literals, uint32_t count,
                                                        uint32_t length, uint32_t distance)
{
    uint8_t* const op = w.op;
    if (count < 15 && length - M1_MIN_MATCH < 15 && w.end - op >= 32) {
        op[0] = static_cast<uint8_t>(count << 4 | (length - M1_MIN_MATCH));
        store_le16(op + 1, static_cast<uint16_t>(distance));
        copy16(op + 3, literals);
        w.op = op + 3 + count;
        return true;
    }
    return m1_put_token_general(w, literals, count, length, distance);
}

} // namespace qrn
