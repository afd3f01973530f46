// Method 1 is not built yet: its compressor declines every block (stored raw)
// and its decoder rejects every compressed record.
#include "codecs/m1/m1.h"

namespace qrn {

uint32_t m1_compress(const CodecJob&) { return CODEC_FAIL; }
uint32_t m1_decompress(const CodecJob&) { return CODEC_FAIL; }

} // namespace qrn
