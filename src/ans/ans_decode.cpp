// Segment header reader and scalar chunk decoder.
#include <cstring>

#include "ans/ans_impl.h"
#include "codecs/common/bytes.h"

namespace qrn {
namespace {

// Decoding table entry per slot: symbol (bits 0-7), slot - start (bits 8-18)
// and frequency (bits 20-31), so that one load serves a whole step.
inline uint32_t decode_entry(uint32_t symbol, uint32_t offset, uint32_t f) { return symbol | (offset << 8) | (f << 20); }

inline void decode_step(uint32_t& x, const uint32_t* table, uint8_t* out)
{
    const uint32_t e = table[x & (ANSC_SCALE - 1)];
    *out = static_cast<uint8_t>(e);
    x = (e >> 20) * (x >> ANSC_SCALE_BITS) + ((e >> 8) & (ANSC_SCALE - 1));
}

// Unchecked: the caller has made sure that a word is there for every symbol.
// Plain arithmetic instead of a condition: whether a lane takes a word is
// close to a coin toss, which branches would keep mispredicting.
inline void renormalise(uint32_t& x, const uint8_t*& p)
{
    const uint32_t refilled = (x << 16) | load_le16(p);
#if defined(__x86_64__) && defined(__GNUC__)
    // Two conditional moves on one comparison (compilers turn the portable
    // form below into branches).
    const uint8_t* next = p + 2;
    __asm__("cmpl %[low], %[x]\n\t"
            "cmovb %[refilled], %[x]\n\t"
            "cmovb %[next], %[p]"
            : [x] "+r"(x), [p] "+r"(p)
            : [refilled] "r"(refilled), [next] "r"(next), [low] "i"(ANSC_STATE_LOW)
            : "cc");
#else
    const uint32_t take = x < ANSC_STATE_LOW;
    x = take ? refilled : x;
    p += take << 1;
#endif
}

inline bool renormalise_checked(uint32_t& x, const uint8_t*& p, const uint8_t* end)
{
    if (x < ANSC_STATE_LOW) {
        if (end - p < 2)
            return false;
        x = (x << 16) | load_le16(p);
        p += 2;
    }
    return true;
}

template <bool Checked>
const uint8_t* decode_words(uint32_t* state, const uint32_t* table, const uint8_t* p, const uint8_t* end,
                            uint32_t n, uint8_t* dest)
{
    uint32_t x0 = state[0], x1 = state[1], x2 = state[2], x3 = state[3];
    uint32_t x4 = state[4], x5 = state[5], x6 = state[6], x7 = state[7];
    const uint32_t groups = n / 8;
    for (uint32_t g = 0; g < groups; ++g, dest += 8) {
        decode_step(x0, table, dest + 0);
        decode_step(x1, table, dest + 1);
        decode_step(x2, table, dest + 2);
        decode_step(x3, table, dest + 3);
        decode_step(x4, table, dest + 4);
        decode_step(x5, table, dest + 5);
        decode_step(x6, table, dest + 6);
        decode_step(x7, table, dest + 7);
        if constexpr (Checked) {
            if (!renormalise_checked(x0, p, end) || !renormalise_checked(x1, p, end) ||
                !renormalise_checked(x2, p, end) || !renormalise_checked(x3, p, end) ||
                !renormalise_checked(x4, p, end) || !renormalise_checked(x5, p, end) ||
                !renormalise_checked(x6, p, end) || !renormalise_checked(x7, p, end))
                return nullptr;
        } else {
            renormalise(x0, p);
            renormalise(x1, p);
            renormalise(x2, p);
            renormalise(x3, p);
            renormalise(x4, p);
            renormalise(x5, p);
            renormalise(x6, p);
            renormalise(x7, p);
        }
    }
    state[0] = x0, state[1] = x1, state[2] = x2, state[3] = x3;
    state[4] = x4, state[5] = x5, state[6] = x6, state[7] = x7;
    // Tail: symbol j on lane j, each renormalised at once.
    for (uint32_t j = 0; j < (n & 7); ++j) {
        decode_step(state[j], table, dest + j);
        if (!renormalise_checked(state[j], p, end))
            return nullptr;
    }
    return p;
}

} // namespace

bool ansc_read_header(AnscContext& ctx, const uint8_t** pos, const uint8_t* end)
{
    const uint8_t* p = *pos;
    if (end - p < static_cast<ptrdiff_t>(ANSC_SEGMENT_FRONT))
        return false;
    BitFieldReader r(p + ANSC_SEGMENT_FRONT, end);
    const uint32_t m = r.get(8) + 1;
    uint32_t freq[256] = {};
    for (uint32_t s = 0; s < m; ++s) {
        const uint32_t g = r.gamma();
        if (g == 0)
            return false;
        freq[s] = g - 1;
    }
    if (r.overrun())
        return false;
    for (int k = 0; k < ANSC_LANES; ++k)
        ctx.state[ANSC_LANES - 1 - k] = load_le32(p + 4 * k);
    ctx.last_symbol = p[32];
    std::memcpy(ctx.freq, freq, sizeof freq);
    *pos = r.end();
    return true;
}

const uint8_t* ansc_decode_scalar(AnscContext& ctx, const uint8_t* pos, const uint8_t* end, uint32_t n,
                                  uint8_t* dest)
{
    // The chunk is decoded with the table the context holds now; its header
    // then turns the context into the next chunk's table.
    if (ctx.last_symbol > 255)
        return nullptr;
    uint32_t table[ANSC_SCALE];
    uint32_t start = 0;
    for (uint32_t s = 0; s <= ctx.last_symbol; ++s) {
        const uint32_t f = ctx.freq[s];
        if (f > ANSC_SCALE - start)
            return nullptr;
        for (uint32_t k = 0; k < f; ++k)
            table[start + k] = decode_entry(s, k, f);
        start += f;
    }
    if (start != ANSC_SCALE)
        return nullptr;

    const uint8_t* p = ansc_apply_chunk_header(ctx, pos, end);
    if (p == nullptr)
        return nullptr;
    // A chunk takes at most one word per symbol.
    if (static_cast<size_t>(end - p) >= 2 * size_t{n})
        return decode_words<false>(ctx.state, table, p, end, n, dest);
    return decode_words<true>(ctx.state, table, p, end, n, dest);
}

} // namespace qrn
