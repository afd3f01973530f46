// Method 2 is not built yet: its compressor declines every block (stored raw)
// and its decoder rejects every compressed record.
#include "codecs/m2/m2.h"

namespace qrn {

uint32_t m2_compress(const CodecJob&) { return CODEC_FAIL; }
uint32_t m2_decompress(const CodecJob&) { return CODEC_FAIL; }

} // namespace qrn
