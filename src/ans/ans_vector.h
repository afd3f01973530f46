// Pieces of the encoder's vector builds: the word-pack table and the group
// loop with four lanes per 128-bit vector. Included only by the files that
// are compiled for a vector instruction set (SSE4.1, AVX, AVX2); everything
// here is internal to each of them, so no code compiled for one instruction
// set can stand in for another's.
#pragma once

#include <immintrin.h>

#include "ans/ans_impl.h"

namespace qrn {
namespace {

// Word-pack table, indexed by a 4-bit mask of the lanes of one 4-lane vector
// that shed a word: a byte shuffle that moves those lanes' low 16 bits, in
// lane order, to the top end of the low 8 bytes, so that the highest such
// lane's word is the highest word. Stored directly below the words written
// so far, this is the scalar encoder's order (lane 7 prepended first).
struct WordPack {
    alignas(16) uint8_t shuffle[16][16];
    uint8_t bytes[16];  // 2 x the number of lanes in the mask
};

constexpr WordPack make_word_pack()
{
    WordPack t{};
    for (int mask = 0; mask < 16; ++mask) {
        const int count = __builtin_popcount(mask);
        for (int b = 0; b < 16; ++b)
            t.shuffle[mask][b] = 0x80;
        int slot = 4 - count;  // word position of the first shed lane within the 8 bytes
        for (int lane = 0; lane < 4; ++lane)
            if (mask >> lane & 1) {
                t.shuffle[mask][2 * slot] = static_cast<uint8_t>(4 * lane);
                t.shuffle[mask][2 * slot + 1] = static_cast<uint8_t>(4 * lane + 1);
                ++slot;
            }
        t.bytes[mask] = static_cast<uint8_t>(2 * count);
    }
    return t;
}

constexpr WordPack word_pack = make_word_pack();

// Stores the shed words of four lanes (mask of 4 bits) below `words` and
// moves `words` down past them.
inline uint8_t* put_words(__m128i lanes, unsigned mask, uint8_t* words)
{
    const __m128i packed =
        _mm_shuffle_epi8(lanes, _mm_load_si128(reinterpret_cast<const __m128i*>(word_pack.shuffle[mask])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(words - 8), packed);
    return words - word_pack.bytes[mask];
}

inline __m128i record(const EncodeSymbol* table, uint8_t symbol)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + symbol));
}

// The fields of four records, one vector each, in lane order.
struct Records4 {
    __m128i rcp, above, bias_complement, product_shift;
};

inline Records4 transpose(__m128i r0, __m128i r1, __m128i r2, __m128i r3)
{
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
    const __m128i t1 = _mm_unpackhi_epi32(r0, r1);
    const __m128i t2 = _mm_unpacklo_epi32(r2, r3);
    const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
    return {_mm_unpacklo_epi64(t0, t2), _mm_unpackhi_epi64(t0, t2), _mm_unpacklo_epi64(t1, t3),
            _mm_unpackhi_epi64(t1, t3)};
}

// q = x * rcp >> product_shift for four lanes. Without per-lane shift counts
// each 64-bit product is shifted by its own count and the halves are blended
// (the counts do not depend on the states, so they stay off the chain).
inline __m128i quotients4(__m128i x, const Records4& r)
{
    const __m128i low = _mm_set_epi32(0, 0, 0, -1);
    const __m128i s = r.product_shift;
    const __m128i c0 = _mm_and_si128(s, low);
    const __m128i c2 = _mm_and_si128(_mm_srli_si128(s, 8), low);
    // The odd lanes' quotients are wanted in the high halves: 32 less.
    const __m128i s_odd = _mm_sub_epi32(s, _mm_set1_epi32(32));
    const __m128i c1 = _mm_and_si128(_mm_srli_si128(s_odd, 4), low);
    const __m128i c3 = _mm_and_si128(_mm_srli_si128(s_odd, 12), low);
    const __m128i even = _mm_mul_epu32(x, r.rcp);
    const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(x, 32), _mm_srli_epi64(r.rcp, 32));
    const __m128i q_even = _mm_blend_epi16(_mm_srl_epi64(even, c0), _mm_srl_epi64(even, c2), 0xF0);
    const __m128i q_odd = _mm_blend_epi16(_mm_srl_epi64(odd, c1), _mm_srl_epi64(odd, c3), 0xF0);
    return _mm_blend_epi16(q_even, q_odd, 0xCC);
}

// One 4-lane step: sheds the words of the lanes that need it (stored below
// `words`), then x -> x + bias + q * complement.
inline __m128i step4(__m128i x, const Records4& r, uint8_t*& words)
{
    // States stay below 2^31 and so do the limits: a signed comparison.
    const __m128i shed = _mm_cmpgt_epi32(x, r.above);
    words = put_words(x, static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(shed))), words);
    x = _mm_blendv_epi8(x, _mm_srli_epi32(x, 16), shed);
    const __m128i base = _mm_and_si128(r.bias_complement, _mm_set1_epi32(0xFFFF));
    const __m128i complement = _mm_srli_epi32(r.bias_complement, 16);
    return _mm_add_epi32(_mm_add_epi32(x, base), _mm_mullo_epi32(quotients4(x, r), complement));
}

// The group loop with lanes 0-3 in one vector and 4-7 in another; lanes 4-7
// go first, as their words lie above those of lanes 0-3.
inline uint8_t* encode_groups_4x2(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                  uint32_t groups, uint8_t* words)
{
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes));
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + 4));
    for (const uint8_t* group = symbols + 8 * size_t{groups}; group != symbols;) {
        group -= 8;
        const Records4 rh = transpose(record(table, group[4]), record(table, group[5]), record(table, group[6]),
                                      record(table, group[7]));
        const Records4 rl = transpose(record(table, group[0]), record(table, group[1]), record(table, group[2]),
                                      record(table, group[3]));
        high = step4(high, rh, words);
        low = step4(low, rl, words);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4), high);
    return words;
}

} // namespace
} // namespace qrn
