// Method 2 internals shared with its tests.
#pragma once

#include "codecs/codec_job.h"

namespace qrn {

// m2_decompress with its loop chosen: `far` asks for match sources ahead of
// their copies (for blocks larger than the caches). Both give the same result.
uint32_t m2_decode(const CodecJob& job, bool far);

} // namespace qrn
