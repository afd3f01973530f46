// The shared reciprocal table, context reset and the segment size bound.
#include <array>

#include "ans/ans_impl.h"

namespace qrn {
namespace {

// For f >= 2: shift = ceil(log2 f) - 1 and rcp = ceil(2^(32 + shift) / f),
// so that (x * rcp >> 32) >> shift = x / f for every x below 2^31.
// For f = 1: rcp = 2^32 - 1 and shift 0 (then the quotient comes out as x - 1,
// which the encoder's bias of 2047 makes up for).
constexpr std::array<ReciprocalEntry, ANSC_SCALE + 1> make_reciprocals()
{
    std::array<ReciprocalEntry, ANSC_SCALE + 1> t{};
    for (uint32_t f = 1; f <= ANSC_SCALE; ++f) {
        ReciprocalEntry& e = t[f];
        e.complement = static_cast<uint16_t>(ANSC_SCALE - f);
        if (f == 1) {
            e.rcp = 0xFFFFFFFFu;
            e.shift = 0;
            continue;
        }
        uint32_t ceil_log2 = 0;
        while ((1u << ceil_log2) < f)
            ++ceil_log2;
        e.shift = static_cast<uint16_t>(ceil_log2 - 1);
        e.rcp = static_cast<uint32_t>(((uint64_t{1} << (32 + e.shift)) + f - 1) / f);
    }
    return t;
}

constexpr auto RECIPROCALS = make_reciprocals();

} // namespace

// The table is a compile-time constant; nothing is left to build at run time.
void ansc_init_tables() {}

const ReciprocalEntry& ansc_reciprocal(uint32_t f) { return RECIPROCALS[f]; }

void ansc_reset(AnscContext& ctx)
{
    ctx.last_symbol = 255;
    for (uint32_t& f : ctx.freq)
        f = 0;
}

uint64_t ansc_bound(uint32_t count, uint32_t chunk_size)
{
    const uint64_t chunks = chunk_size ? (uint64_t{count} + chunk_size - 1) / chunk_size : 0;
    // At most one word per symbol: a renormalised state is below 2^15, which
    // never needs a second word.
    return ANSC_SEGMENT_FRONT + ANSC_INITIAL_TABLE_MAX + chunks * ANSC_CHUNK_HEADER_MAX + 2 * uint64_t{count};
}

} // namespace qrn
