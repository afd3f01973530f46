// Method 3 codec entries.
#pragma once

#include <cstdint>

#include "codecs/codec_call.h"

namespace qrn {

uint32_t m3_compress(const BlockCall& job);
uint32_t m3_decompress(const BlockCall& job);
// Level 9, through m3_compress.
uint32_t m3_compress_optimal(const BlockCall& job);

// Level 9's price table: entry i = 1024 * log2(i), truncated (entry 0 = 0).
constexpr uint32_t M3_PRICE_ENTRIES = 2049;
extern uint16_t m3_price_table[M3_PRICE_ENTRIES];
// Fills the table once; called at start-up, before any worker runs.
void m3_prepare_level9();

} // namespace qrn
