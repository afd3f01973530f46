// Method 1 codec entries.
#pragma once

#include "codecs/codec_job.h"

namespace qrn {

uint32_t m1_compress(const CodecJob& job);
uint32_t m1_decompress(const CodecJob& job);
// Level 9, through m1_compress.
uint32_t m1_compress_optimal(const CodecJob& job);

} // namespace qrn
