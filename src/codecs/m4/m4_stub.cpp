// Method 4 is not built yet: its compressor declines every block (stored raw)
// and its decoder rejects every compressed record.
#include "codecs/m4/m4.h"

namespace qrn {

uint32_t m4_compress(const CodecJob&) { return CODEC_FAIL; }
uint32_t m4_decompress(const CodecJob& job) { return codec_damaged(job.out_limit); }

} // namespace qrn
