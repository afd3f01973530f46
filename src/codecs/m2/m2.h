// Method 2 codec entries.
#pragma once

#include "codecs/codec_job.h"

namespace qrn {

uint32_t m2_compress(const CodecJob& job);
uint32_t m2_decompress(const CodecJob& job);

} // namespace qrn
