// Method 3 codec entries.
#pragma once

#include "codecs/codec_job.h"

namespace qrn {

uint32_t m3_compress(const CodecJob& job);
uint32_t m3_decompress(const CodecJob& job);

} // namespace qrn
