// Method 1 compressors are not built yet: every block is stored raw.
#include "codecs/m1/m1.h"

namespace qrn {

uint32_t m1_compress(const CodecJob&) { return CODEC_FAIL; }

} // namespace qrn
