// Pieces of the ANS coder shared by its builds (and reached by the tests):
// the bit fields of the tables, counting and normalisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ans/ans.h"
#include "common/bytes.h"

namespace qrn {

// Largest bit-field sizes, in bytes: the initial table (8 bits + 256 gamma
// codes of values up to 2049) and a chunk header (dc + mode + 256 gamma codes
// of zigzagged differences up to 4097).
constexpr uint32_t ANSC_INITIAL_TABLE_MAX = 1 + (256 * 23 + 7) / 8;
constexpr uint32_t ANSC_CHUNK_HEADER_MAX = (17 + 3 + 256 * 25 + 7) / 8;
constexpr uint32_t ANSC_SEGMENT_FRONT = 32 + 1;

constexpr uint32_t zigzag(int32_t d)
{
    return d >= 0 ? static_cast<uint32_t>(d) * 2u : static_cast<uint32_t>(-(d + 1)) * 2u + 1u;
}
constexpr uint32_t unzigzag(uint32_t u) { return (u >> 1) ^ (0u - (u & 1u)); }

// Most-significant-bit-first bit field writer into a caller's buffer.
struct BitFieldWriter {
    uint8_t* out;
    uint64_t acc = 0;  // pending bits, right-aligned
    int pending = 0;

    explicit BitFieldWriter(uint8_t* dst) : out(dst) {}

    // Appends the low `bits` (<= 32) bits of `value`.
    void put(uint32_t value, int bits)
    {
        acc = (acc << bits) | value;
        pending += bits;
        while (pending >= 8) {
            pending -= 8;
            *out++ = static_cast<uint8_t>(acc >> pending);
        }
    }
    // Elias gamma code of v >= 1: floor(log2 v) zeros, then v's bits.
    void gamma(uint32_t v)
    {
        const int width = 32 - __builtin_clz(v);
        put(0, width - 1);
        put(v, width);
    }
    // Ends the field on a byte boundary (zero padding); returns its end.
    uint8_t* finish()
    {
        if (pending > 0) {
            *out++ = static_cast<uint8_t>(acc << (8 - pending));
            pending = 0;
        }
        return out;
    }
};

// Bit field reader that uses no byte at or beyond `end`: bytes there read as
// zero, and `overrun()` tells whether any bit of them was consumed.
struct BitFieldReader {
    const uint8_t* start;
    size_t size;      // readable bytes from start
    size_t bitpos = 0;

    BitFieldReader(const uint8_t* p, const uint8_t* end) : start(p), size(static_cast<size_t>(end - p)) {}

    // The next 64 bits (zero beyond the field's end), most significant first.
    uint64_t peek() const
    {
        const size_t byte = bitpos >> 3;
        uint64_t v = 0;
        if (byte + 8 <= size) {
            v = __builtin_bswap64(load_le64(start + byte));
        } else {
            for (size_t i = 0; i < 8; ++i)
                v = (v << 8) | (byte + i < size ? start[byte + i] : 0u);
        }
        return v << (bitpos & 7);
    }
    uint32_t get(int bits)
    {
        const uint32_t v = static_cast<uint32_t>(peek() >> (64 - bits));
        bitpos += static_cast<size_t>(bits);
        return v;
    }
    // Gamma code; 0 when the code is longer than any the encoder writes.
    uint32_t gamma()
    {
        const uint64_t v = peek();
        if (v == 0)
            return 0;
        const int zeros = __builtin_clzll(v);
        if (zeros > 20)
            return 0;
        bitpos += static_cast<size_t>(zeros);
        return get(zeros + 1);
    }
    bool overrun() const { return ((bitpos + 7) >> 3) > size; }
    // First byte after the field.
    const uint8_t* end() const { return start + ((bitpos + 7) >> 3); }
};

// Counts the symbols of one chunk and turns the counts into frequencies that
// sum to 2048 (every occurring symbol at least 1). Returns the table's symbol
// count n; freq[0..n-1] are written.
uint32_t ansc_normalize(const uint8_t* symbols, uint32_t count, uint32_t freq[256]);

// Writes the chunk header for a chunk table (n, freq) against the context's
// table into `out`; returns the end. Does not change the context.
uint8_t* ansc_write_chunk_header(const AnscContext& ctx, uint32_t n, const uint32_t* freq, uint8_t* out);

// Per-symbol encoder record: x -> floor(x / f) * 2048 + x mod f + start,
// computed as x + bias + q * complement with q = floor(x / f). Sixteen bytes
// read as four 32-bit words (the vector builds load whole records and
// transpose them into one vector per field).
struct EncodeSymbol {
    uint32_t rcp;
    uint32_t renorm_above;  // f * 2^20 - 1: a state above it sheds a word first
    uint16_t bias;          // start, plus 2047 when f = 1 (its quotient comes out one low)
    uint16_t complement;
    uint32_t product_shift;  // 32 + the reciprocal's shift: q = x * rcp >> product_shift
};
static_assert(sizeof(EncodeSymbol) == 16);

// Encodes the `groups` full groups of eight symbols at `symbols`, from the
// last group to the first and each from symbol 7 down to 0 (symbol j on lane
// j), prepending the words below `words`. Returns the new lowest word. May
// write up to 8 bytes below that (scratch the caller has room for).
using AnscGroupCoder = uint8_t* (*)(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                    uint32_t groups, uint8_t* words);

// The whole segment encoder around a group coder: chunking, normalisation,
// records, tails, headers and the segment's front are the same in every
// build.
uint8_t* ansc_encode_with(AnscGroupCoder groups, AnscContext& ctx, const uint8_t* symbols, uint32_t count,
                          uint32_t chunk_size, uint8_t* dest, uint8_t* scratch_end);

#if QRN_ANS_VECTOR
// Vector builds of the group coder, each in a file compiled for its own
// instruction set (x86-64 only).
uint8_t* ansc_encode_groups_sse41(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                  uint32_t groups, uint8_t* words);
uint8_t* ansc_encode_groups_avx(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                uint32_t groups, uint8_t* words);
uint8_t* ansc_encode_groups_avx2(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                 uint32_t groups, uint8_t* words);
#endif

// Applies a chunk header to the context (the reverse of the above for the
// table held there). Null when the header is malformed or runs past `end`.
const uint8_t* ansc_apply_chunk_header(AnscContext& ctx, const uint8_t* pos, const uint8_t* end);

} // namespace qrn
