// Method 4 codec entries.
#pragma once

#include <cstdint>

#include "codecs/codec_call.h"

namespace qrn {

// Level 9 only: every other level is declined (CODEC_FAIL, the block stored raw).
uint32_t m4_compress(const BlockCall& job);
uint32_t m4_decompress(const BlockCall& job);

// Price in 1/128 bit of an event of probability i/128: entry i =
// (ln 128 - ln i) x 128 / ln 2, truncated; entry 0 = 768.
constexpr uint32_t M4_PRICE_ENTRIES = 129;
extern int16_t m4_price_table[M4_PRICE_ENTRIES];
// Fills the table once; called at start-up, before any worker runs.
void m4_prepare_level9();

} // namespace qrn
