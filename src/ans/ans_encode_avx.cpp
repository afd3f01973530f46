// The 128-bit group loop again, compiled with -mavx for the three-operand
// instruction forms; runs only where the processor probe found usable AVX.
#if defined(__AVX__)
#include "ans/ans_vector.h"

namespace qrn {

uint8_t* ansc_encode_groups_avx(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                uint32_t groups, uint8_t* words)
{
    return encode_groups_4x2(lanes, table, symbols, groups, words);
}

} // namespace qrn
#endif
