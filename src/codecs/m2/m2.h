// Method 2 codec entries.
#pragma once

#include "codecs/codec_call.h"

namespace qrn {

uint32_t m2_compress(const BlockCall& job);
uint32_t m2_decompress(const BlockCall& job);
// Level 9, through m2_compress.
uint32_t m2_compress_optimal(const BlockCall& job);

// m2_decompress with its loop chosen (for tests): `far` asks for match
// sources ahead of their copies (for blocks larger than the caches). Both
// give the same result.
uint32_t m2_decode(const BlockCall& job, bool far);

} // namespace qrn
