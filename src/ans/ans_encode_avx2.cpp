// The encoder's group loop for AVX2. This file alone is compiled with -mavx2
// and runs only where the processor probe found AVX2.
//
// The eight lanes sit in two vectors of four 64-bit slots, lanes 0, 2, 4, 6
// in one and 1, 3, 5, 7 in the other, each state zero-extended. That way
// the quotient comes from one 32x32 -> 64-bit multiply and one per-slot
// shift, with no shuffles on the states' chain from group to group; the
// two vectors interleave back into lane order only for the shed words.
#if defined(__AVX2__)
#include "ans/ans_vector.h"

namespace qrn {
namespace {

// The fields of four records, lanes a, b | c, d in 64-bit slots.
struct Records64 {
    __m256i rcp;       // low half of each slot (the multiply ignores the high one)
    __m256i above;     // zero-extended
    __m256i bias;      // zero-extended
    __m256i complement;
    __m256i shift;     // zero-extended: 32 + the reciprocal's shift
};

inline Records64 records(const EncodeSymbol* table, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const auto load = [table](uint8_t s) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + s)); };
    const __m256i ac = _mm256_inserti128_si256(_mm256_castsi128_si256(load(a)), load(c), 1);
    const __m256i bd = _mm256_inserti128_si256(_mm256_castsi128_si256(load(b)), load(d), 1);
    const __m256i rcp_above = _mm256_unpacklo_epi64(ac, bd);
    const __m256i bias_complement_shift = _mm256_unpackhi_epi64(ac, bd);
    return {rcp_above, _mm256_srli_epi64(rcp_above, 32),
            _mm256_and_si256(bias_complement_shift, _mm256_set1_epi64x(0xFFFF)),
            _mm256_srli_epi32(bias_complement_shift, 16), _mm256_srli_epi64(bias_complement_shift, 32)};
}

// Which lanes shed a word: the 4-bit masks of both vectors (slot i of the
// even vector is lane 2i, of the odd one lane 2i + 1) as one 8-bit lane mask.
constexpr auto make_lane_masks()
{
    struct {
        uint8_t m[256];
    } t{};
    for (int i = 0; i < 256; ++i)
        for (int slot = 0; slot < 4; ++slot)
            t.m[i] |= static_cast<uint8_t>((i >> slot & 1) << (2 * slot) | (i >> (4 + slot) & 1) << (2 * slot + 1));
    return t;
}
constexpr auto lane_masks = make_lane_masks();

inline __m256i step(__m256i x, __m256i shed, const Records64& r)
{
    x = _mm256_blendv_epi8(x, _mm256_srli_epi64(x, 16), shed);
    const __m256i q = _mm256_srlv_epi64(_mm256_mul_epu32(x, r.rcp), r.shift);
    return _mm256_add_epi64(_mm256_add_epi64(x, r.bias), _mm256_mul_epu32(q, r.complement));
}

} // namespace

uint8_t* ansc_encode_groups_avx2(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                 uint32_t groups, uint8_t* words)
{
    const __m256i packed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
    __m256i even = _mm256_and_si256(packed, _mm256_set1_epi64x(0xFFFFFFFF));
    __m256i odd = _mm256_srli_epi64(packed, 32);
    for (const uint8_t* group = symbols + 8 * size_t{groups}; group != symbols;) {
        group -= 8;
        const Records64 re = records(table, group[0], group[2], group[4], group[6]);
        const Records64 ro = records(table, group[1], group[3], group[5], group[7]);
        // States and limits are below 2^31.
        const __m256i shed_even = _mm256_cmpgt_epi64(even, re.above);
        const __m256i shed_odd = _mm256_cmpgt_epi64(odd, ro.above);
        const unsigned mask = lane_masks.m[static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(shed_even))) |
                                           static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(shed_odd))) << 4];
        // The states in lane order for their low words; lanes 4-7 first.
        const __m256i in_order = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
        words = put_words(_mm256_extracti128_si256(in_order, 1), mask >> 4, words);
        words = put_words(_mm256_castsi256_si128(in_order), mask & 15, words);
        even = step(even, shed_even, re);
        odd = step(odd, shed_odd, ro);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes),
                        _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA));
    return words;
}

} // namespace qrn
#endif
