// PrefixVarint: an unsigned 32-bit value in 1 to 5 bytes; the number of low
// one-bits of the first byte gives the width.
//   0 .. 127                 1 byte   value * 2
//   128 .. 16383             2 bytes  LE16 of value * 4 + 1
//   16384 .. 2097151         3 bytes  LE16 of (value * 8 + 3), then value >> 13
//   2097152 .. 268435455     4 bytes  LE32 of value * 16 + 7
//   268435456 and more       5 bytes  LE32 of (value * 16 + 15), then value >> 28
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

namespace qrn {

constexpr int PREFIX_VARINT_MAX_BYTES = 5;

// Bytes the shortest encoding of `v` takes.
constexpr size_t prefix_varint_size(uint32_t v)
{
    return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : v < (1u << 28) ? 4 : 5;
}

// Bytes an encoding takes, from its first byte.
constexpr size_t prefix_varint_width(uint8_t first)
{
    return (first & 1) == 0 ? 1 : (first & 2) == 0 ? 2 : (first & 4) == 0 ? 3 : (first & 8) == 0 ? 4 : 5;
}

// Writes the shortest encoding of `v`; returns the position after it.
inline uint8_t* prefix_varint_put(uint8_t* out, uint32_t v)
{
    if (v < (1u << 7)) {
        out[0] = static_cast<uint8_t>(v << 1);
        return out + 1;
    }
    if (v < (1u << 14)) {
        store_le16(out, static_cast<uint16_t>((v << 2) | 1));
        return out + 2;
    }
    if (v < (1u << 21)) {
        store_le16(out, static_cast<uint16_t>((v << 3) | 3));
        out[2] = static_cast<uint8_t>(v >> 13);
        return out + 3;
    }
    if (v < (1u << 28)) {
        store_le32(out, (v << 4) | 7);
        return out + 4;
    }
    store_le32(out, (v << 4) | 15);
    out[4] = static_cast<uint8_t>(v >> 28);
    return out + 5;
}

// Reads one value; the caller makes sure that prefix_varint_width(in[0])
// bytes are readable. Returns the position after it.
inline const uint8_t* prefix_varint_get(const uint8_t* in, uint32_t* v)
{
    const uint8_t b = in[0];
    if ((b & 1) == 0) {
        *v = b >> 1;
        return in + 1;
    }
    if ((b & 2) == 0) {
        *v = load_le16(in) >> 2;
        return in + 2;
    }
    if ((b & 4) == 0) {
        *v = (static_cast<uint32_t>(in[2]) << 13) | (static_cast<uint32_t>(load_le16(in)) >> 3);
        return in + 3;
    }
    if ((b & 8) == 0) {
        *v = load_le32(in) >> 4;
        return in + 4;
    }
    *v = (static_cast<uint32_t>(in[4]) << 28) | (load_le32(in) >> 4);
    return in + 5;
}

// A length extension of the byte-token formats: one byte below 255 is the
// value itself; 255 is followed by a PrefixVarint of the value minus 255.
inline uint8_t* length_extension_put(uint8_t* op, uint32_t v)
{
    if (v < 255) {
        *op = static_cast<uint8_t>(v);
        return op + 1;
    }
    *op = 255;
    return prefix_varint_put(op + 1, v - 255);
}

constexpr size_t length_extension_size(uint32_t v) { return v < 255 ? 1 : 1 + prefix_varint_size(v - 255); }

} // namespace qrn
