// Method 1 codec entries.
#pragma once

#include "codecs/codec_call.h"

namespace qrn {

uint32_t m1_compress(const BlockCall& job);
uint32_t m1_decompress(const BlockCall& job);
// Level 9, through m1_compress.
uint32_t m1_compress_optimal(const BlockCall& job);

} // namespace qrn
