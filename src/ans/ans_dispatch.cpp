// The choice of coder builds from the processor level (see cpu_feature_level
// for the levels). The encoder has vector builds of its group loop for
// SSE4.1 (levels 5-6), AVX (7) and AVX2 (8).
//
// The decoder has only the scalar build, at every level: its eight lanes
// form one chain from group to group (state, slot, table, multiply,
// renormalise, next state), which a vector build walks at vector latencies,
// while the scalar build overlaps the eight lanes. An AVX2 decoder (gathers,
// word-index table, cross-lane permute) ran at 0.4x the scalar one here.
#include "ans/ans_impl.h"

namespace qrn {

namespace {

template <AnscGroupCoder Groups>
uint8_t* encode_build(AnscContext& ctx, const uint8_t* symbols, uint32_t count, uint32_t chunk_size, uint8_t* dest,
                      uint8_t* scratch_end)
{
    return ansc_encode_with(Groups, ctx, symbols, count, chunk_size, dest, scratch_end);
}

constexpr AnscBuild builds[] = {
    {"scalar", 0, ansc_encode_scalar, ansc_decode_scalar},
#if QRN_ANS_VECTOR
    {"sse4.1", 5, encode_build<ansc_encode_groups_sse41>, ansc_decode_scalar},
    {"avx", 7, encode_build<ansc_encode_groups_avx>, ansc_decode_scalar},
    {"avx2", 8, encode_build<ansc_encode_groups_avx2>, ansc_decode_scalar},
#endif
};

const AnscBuild& build_for(int level)
{
    const AnscBuild* pick = &builds[0];
    for (const AnscBuild& b : builds)
        if (b.level <= level)
            pick = &b;
    return *pick;
}

} // namespace

AnscEncodeFn ansc_encode = ansc_encode_scalar;
AnscDecodeFn ansc_decode = ansc_decode_scalar;

std::span<const AnscBuild> ansc_builds() { return builds; }

void ansc_select_encoder(int level)
{
    ansc_init_tables();
    ansc_encode = build_for(level).encode;
}

void ansc_select_decoder(int level) { ansc_decode = build_for(level).decode; }

} // namespace qrn
