// The encoder's group loop with the eight lanes in one 256-bit vector. This
// file alone is compiled with -mavx2 and runs only where the processor probe
// found AVX2. It uses intrinsics only (no inline functions shared with the
// baseline code, which the linker could otherwise take from here).
#if defined(__AVX2__)
#include <immintrin.h>

#include "ans/ans_impl.h"

namespace qrn {
namespace {

// Word-pack table, indexed by a 4-bit mask of the lanes of one 128-bit half
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

// Stores the shed words of one half (lanes in `half`, mask of 4 bits) below
// `words` and moves `words` down past them.
inline uint8_t* put_words(__m128i half, unsigned mask, uint8_t* words)
{
    const __m128i packed =
        _mm_shuffle_epi8(half, _mm_load_si128(reinterpret_cast<const __m128i*>(word_pack.shuffle[mask])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(words - 8), packed);
    return words - word_pack.bytes[mask];
}

inline __m256i record_pair(const EncodeSymbol* table, uint8_t low, uint8_t high)
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + low));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + high));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

} // namespace

uint8_t* ansc_encode_groups_avx2(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                 uint32_t groups, uint8_t* words)
{
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i thirty_two = _mm256_set1_epi64x(32);
    for (const uint8_t* group = symbols + 8 * size_t{groups}; group != symbols;) {
        group -= 8;
        // Records of lanes 0-3 in the low halves, 4-7 in the high halves;
        // a 4x4 transpose per half gives one vector per field in lane order.
        const __m256i r0 = record_pair(table, group[0], group[4]);
        const __m256i r1 = record_pair(table, group[1], group[5]);
        const __m256i r2 = record_pair(table, group[2], group[6]);
        const __m256i r3 = record_pair(table, group[3], group[7]);
        const __m256i t0 = _mm256_unpacklo_epi32(r0, r1);
        const __m256i t1 = _mm256_unpackhi_epi32(r0, r1);
        const __m256i t2 = _mm256_unpacklo_epi32(r2, r3);
        const __m256i t3 = _mm256_unpackhi_epi32(r2, r3);
        const __m256i rcp = _mm256_unpacklo_epi64(t0, t2);
        const __m256i above = _mm256_unpackhi_epi64(t0, t2);
        const __m256i bias_complement = _mm256_unpacklo_epi64(t1, t3);
        const __m256i product_shift = _mm256_unpackhi_epi64(t1, t3);
        // Off the states' chain: the 64-bit shift counts of the even lanes
        // (the whole shift) and of the odd lanes (whose quotient is wanted
        // in the high half of the product).
        const __m256i even_shift = _mm256_and_si256(product_shift, low32);
        const __m256i odd_shift = _mm256_sub_epi64(_mm256_srli_epi64(product_shift, 32), thirty_two);
        const __m256i base = _mm256_and_si256(bias_complement, low16);
        const __m256i complement = _mm256_srli_epi32(bias_complement, 16);

        // States stay below 2^31 and so do the limits: a signed comparison.
        const __m256i shed = _mm256_cmpgt_epi32(x, above);
        const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(shed)));
        words = put_words(_mm256_extracti128_si256(x, 1), mask >> 4, words);
        words = put_words(_mm256_castsi256_si128(x), mask & 15, words);
        x = _mm256_blendv_epi8(x, _mm256_srli_epi32(x, 16), shed);

        // q = x * rcp >> product_shift from the even and odd lanes' products.
        const __m256i even = _mm256_srlv_epi64(_mm256_mul_epu32(x, rcp), even_shift);
        const __m256i odd = _mm256_srlv_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), _mm256_srli_epi64(rcp, 32)),
                                              odd_shift);
        const __m256i q = _mm256_blend_epi32(even, odd, 0xAA);
        x = _mm256_add_epi32(_mm256_add_epi32(x, base), _mm256_mullo_epi32(q, complement));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), x);
    return words;
}

} // namespace qrn
#endif
