// The method 2 compressor is not built yet: it declines every block (stored
// raw).
#include "codecs/m2/m2.h"

namespace qrn {

uint32_t m2_compress(const CodecJob&) { return CODEC_FAIL; }

} // namespace qrn
