// Method 3 is not built yet: its compressor declines every block (stored raw)
// and its decoder rejects every compressed record.
#include "codecs/m3/m3.h"

namespace qrn {

uint32_t m3_compress(const CodecJob&) { return CODEC_FAIL; }
uint32_t m3_decompress(const CodecJob&) { return CODEC_FAIL; }

} // namespace qrn
