// Segment encoder. It runs backwards: chunks from last to first, the symbols
// of each chunk from last to first, every word and chunk header prepended to
// what is already written. The full groups of a chunk go to a group coder:
// the scalar one here, or a vector build (same bytes).
#include <cstring>

#include "ans/ans_impl.h"
#include "common/bytes.h"

namespace qrn {
namespace {

// The renormalisation is plain arithmetic (its outcome is close to a coin
// toss): the low word is always stored below the written ones, and kept only
// when the state sheds it.
inline void encode_symbol(uint32_t& x, const EncodeSymbol& e, uint8_t*& words)
{
    store_le16(words - 2, static_cast<uint16_t>(x));
#if defined(__x86_64__) && defined(__GNUC__)
    // Two conditional moves on one comparison (compilers make branches of
    // the portable form below).
    const uint32_t shifted = x >> 16;
    uint8_t* const below = words - 2;
    __asm__("cmpl %[above], %[x]\n\t"
            "cmova %[shifted], %[x]\n\t"
            "cmova %[below], %[words]"
            : [x] "+r"(x), [words] "+r"(words)
            : [above] "rm"(e.renorm_above), [shifted] "r"(shifted), [below] "r"(below)
            : "cc");
#else
    const uint32_t shed = x > e.renorm_above;
    words -= shed << 1;
    x >>= shed << 4;
#endif
    const uint32_t q = static_cast<uint32_t>((uint64_t{x} * e.rcp) >> e.product_shift);
    x = x + e.bias + q * e.complement;
}

uint8_t* encode_groups_scalar(uint32_t* x, const EncodeSymbol* table, const uint8_t* symbols, uint32_t groups,
                              uint8_t* words)
{
    for (const uint8_t* group = symbols + 8 * size_t{groups}; group != symbols;) {
        group -= 8;
        encode_symbol(x[7], table[group[7]], words);
        encode_symbol(x[6], table[group[6]], words);
        encode_symbol(x[5], table[group[5]], words);
        encode_symbol(x[4], table[group[4]], words);
        encode_symbol(x[3], table[group[3]], words);
        encode_symbol(x[2], table[group[2]], words);
        encode_symbol(x[1], table[group[1]], words);
        encode_symbol(x[0], table[group[0]], words);
    }
    return words;
}

} // namespace

uint8_t* ansc_encode_scalar(AnscContext& ctx, const uint8_t* symbols, uint32_t count, uint32_t chunk_size,
                            uint8_t* dest, uint8_t* scratch_end)
{
    return ansc_encode_with(encode_groups_scalar, ctx, symbols, count, chunk_size, dest, scratch_end);
}

uint8_t* ansc_encode_with(AnscGroupCoder code_groups, AnscContext& ctx, const uint8_t* symbols, uint32_t count,
                          uint32_t chunk_size, uint8_t* dest, uint8_t* scratch_end)
{
    uint32_t x[ANSC_LANES];
    for (uint32_t& lane : x)
        lane = ANSC_STATE_LOW;
    uint8_t* words = scratch_end;

    const uint32_t chunks = (count + chunk_size - 1) / chunk_size;
    for (uint32_t i = chunks; i-- > 0;) {
        const uint8_t* chunk = symbols + static_cast<size_t>(i) * chunk_size;
        const uint32_t n_symbols = i + 1 == chunks ? count - i * chunk_size : chunk_size;
        // Room for this chunk at its worst and for the segment's front.
        if (words - dest < static_cast<ptrdiff_t>(2 * n_symbols + ANSC_CHUNK_HEADER_MAX + ANSC_SEGMENT_FRONT +
                                                  ANSC_INITIAL_TABLE_MAX))
            return nullptr;

        uint32_t freq[256];
        const uint32_t n = ansc_normalize(chunk, n_symbols, freq);
        EncodeSymbol table[256];
        uint32_t start = 0;
        for (uint32_t s = 0; s < n; ++s) {
            const uint32_t f = freq[s];
            if (f != 0) {
                const ReciprocalEntry& r = ansc_reciprocal(f);
                table[s] = {r.rcp, (f << 20) - 1, static_cast<uint16_t>(start + (f == 1 ? ANSC_SCALE - 1 : 0)),
                            r.complement, 32u + r.shift};
            }
            start += f;
        }

        // Tail first (symbol j on lane j), then the full groups from the last.
        const uint32_t tail = n_symbols & 7;
        const uint8_t* group = chunk + (n_symbols - tail);
        for (uint32_t j = tail; j-- > 0;)
            encode_symbol(x[j], table[group[j]], words);
        words = code_groups(x, table, chunk, n_symbols / 8, words);

        uint8_t header[ANSC_CHUNK_HEADER_MAX];
        const size_t header_size = static_cast<size_t>(ansc_write_chunk_header(ctx, n, freq, header) - header);
        words -= header_size;
        std::memcpy(words, header, header_size);
        ctx.last_symbol = n - 1;
        for (uint32_t s = 0; s < n; ++s)
            ctx.freq[s] = freq[s];
    }

    for (int k = 0; k < ANSC_LANES; ++k)
        store_le32(dest + 4 * k, x[ANSC_LANES - 1 - k]);
    dest[32] = static_cast<uint8_t>(ctx.last_symbol);
    uint32_t m = 1;
    for (uint32_t s = 1; s < 256; ++s)
        if (ctx.freq[s] != 0)
            m = s + 1;
    BitFieldWriter w(dest + ANSC_SEGMENT_FRONT);
    w.put(m - 1, 8);
    for (uint32_t s = 0; s < m; ++s)
        w.gamma(ctx.freq[s] + 1);
    uint8_t* body = w.finish();
    if (body > words)
        return nullptr;
    const size_t body_size = static_cast<size_t>(scratch_end - words);
    std::memmove(body, words, body_size);
    return body + body_size;
}

} // namespace qrn
