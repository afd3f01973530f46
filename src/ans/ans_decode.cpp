// Segment header reader and scalar chunk decoder.
#include <cstring>

#include "ans/ans_impl.h"
#include "common/bytes.h"

namespace qrn {
namespace {

// Decoding tables of one chunk, per slot: the symbol, and its frequency and
// slot - start as two 32-bit words, which the multiply and the add of a step
// take straight from memory.
struct StepEntry {
    uint32_t freq;
    uint32_t bias;  // slot - start
};
struct DecodeTable {
    StepEntry step[ANSC_SCALE + 1];  // filled 2 at a time
    uint8_t symbol[ANSC_SCALE + 8];  // filled 8 bytes at a time
};

inline uint32_t step_freq(const DecodeTable& t, uint32_t slot) { return t.step[slot].freq; }
inline uint32_t step_bias(const DecodeTable& t, uint32_t slot) { return t.step[slot].bias; }

// One symbol of a lane: x -> f * (x >> 11) + slot - start.
inline void decode_step(uint32_t& x, const DecodeTable& t, uint8_t* out)
{
    const uint32_t slot = x & (ANSC_SCALE - 1);
    *out = t.symbol[slot];
    x = step_freq(t, slot) * (x >> ANSC_SCALE_BITS) + step_bias(t, slot);
}

// Unchecked refill from the word at words[i]: the caller has made sure that a
// word is there. Plain arithmetic instead of a condition: whether a lane takes
// a word is close to a coin toss, which branches would keep mispredicting.
inline void renormalise(uint32_t& x, const uint8_t* words, size_t& i)
{
    const uint32_t refilled = (x << 16) | load_le16(words + 2 * i);
#if defined(__x86_64__) && defined(__GNUC__)
    // One comparison drives both the state's conditional move and the word
    // index (add with carry); compilers make branches of the portable form.
    __asm__("cmpl %[low], %[x]\n\t"
            "cmovb %[refilled], %[x]\n\t"
            "adcq $0, %[i]"
            : [x] "+r"(x), [i] "+r"(i)
            : [refilled] "r"(refilled), [low] "i"(ANSC_STATE_LOW)
            : "cc");
#else
    const uint32_t take = x < ANSC_STATE_LOW;
    x = take ? refilled : x;
    i += take;
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

// Decodes n symbols. Full groups run unchecked while the words of a whole
// group (at most 8) are known to be there; the rest checks every word.
const uint8_t* decode_words(uint32_t* state, const DecodeTable& t, const uint8_t* p, const uint8_t* end,
                            uint32_t n, uint8_t* dest)
{
    uint32_t x0 = state[0], x1 = state[1], x2 = state[2], x3 = state[3];
    uint32_t x4 = state[4], x5 = state[5], x6 = state[6], x7 = state[7];
    uint8_t* const groups_end = dest + (n & ~7u);
    // Groups that cannot run out of words: one word per symbol at most.
    const size_t safe_groups = static_cast<size_t>(end - p) / 16;
    uint8_t* const fast_end = static_cast<size_t>(groups_end - dest) / 8 <= safe_groups ? groups_end : dest + 8 * safe_groups;
    size_t i = 0;
    // Each lane is renormalised right after its own step: words are still
    // taken in lane order, as the format requires.
    for (; dest != fast_end; dest += 8) {
        decode_step(x0, t, dest + 0);
        renormalise(x0, p, i);
        decode_step(x1, t, dest + 1);
        renormalise(x1, p, i);
        decode_step(x2, t, dest + 2);
        renormalise(x2, p, i);
        decode_step(x3, t, dest + 3);
        renormalise(x3, p, i);
        decode_step(x4, t, dest + 4);
        renormalise(x4, p, i);
        decode_step(x5, t, dest + 5);
        renormalise(x5, p, i);
        decode_step(x6, t, dest + 6);
        renormalise(x6, p, i);
        decode_step(x7, t, dest + 7);
        renormalise(x7, p, i);
    }
    p += 2 * i;
    state[0] = x0, state[1] = x1, state[2] = x2, state[3] = x3;
    state[4] = x4, state[5] = x5, state[6] = x6, state[7] = x7;
    // Groups near the end of the data, then the tail (symbol j on lane j).
    for (; dest != groups_end; dest += 8)
        for (int j = 0; j < ANSC_LANES; ++j) {
            decode_step(state[j], t, dest + j);
            if (!renormalise_checked(state[j], p, end))
                return nullptr;
        }
    for (uint32_t j = 0; j < (n & 7); ++j) {
        decode_step(state[j], t, dest + j);
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
    DecodeTable table;
    uint32_t start = 0;
    for (uint32_t s = 0; s <= ctx.last_symbol; ++s) {
        const uint32_t f = ctx.freq[s];
        if (f > ANSC_SCALE - start)
            return nullptr;
        const uint64_t fill = 0x0101010101010101u * s;
        for (uint32_t k = 0; k < f; k += 8)
            store_le64(table.symbol + start + k, fill);
        // Two entries per step; a fill that runs one past the symbol's
        // slots is overwritten by the next symbol's.
        uint64_t even, odd;  // the entries {f, k} and {f, k + 1} as 64-bit images
        const StepEntry first[2] = {{f, 0}, {f, 1}};
        std::memcpy(&even, &first[0], 8);
        std::memcpy(&odd, &first[1], 8);
        uint64_t two;  // adds 2 to the bias half of an image
        const StepEntry bias_two = {0, 2};
        std::memcpy(&two, &bias_two, 8);
        for (uint32_t k = 0; k < f; k += 2, even += two, odd += two) {
            std::memcpy(&table.step[start + k], &even, 8);
            std::memcpy(&table.step[start + k + 1], &odd, 8);
        }
        start += f;
    }
    if (start != ANSC_SCALE)
        return nullptr;

    const uint8_t* p = ansc_apply_chunk_header(ctx, pos, end);
    if (p == nullptr)
        return nullptr;
    return decode_words(ctx.state, table, p, end, n, dest);
}

} // namespace qrn
