// The encoder's group loop with four lanes per 128-bit vector, for SSE4.1.
// This file alone is compiled with -msse4.1 and runs only where the processor
// probe found SSE4.1.
#if defined(__SSE4_1__)
#include "ans/ans_vector.h"

namespace qrn {

uint8_t* ansc_encode_groups_sse41(uint32_t* lanes, const EncodeSymbol* table, const uint8_t* symbols,
                                  uint32_t groups, uint8_t* words)
{
    return encode_groups_4x2(lanes, table, symbols, groups, words);
}

} // namespace qrn
#endif
