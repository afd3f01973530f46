// Method 4 codec entries.
#pragma once

#include "codecs/codec_job.h"

namespace qrn {

uint32_t m4_compress(const CodecJob& job);
uint32_t m4_decompress(const CodecJob& job);

} // namespace qrn
