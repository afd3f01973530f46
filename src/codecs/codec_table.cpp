#include "codecs/codec_table.h"

#include "codecs/m1/m1.h"
#include "codecs/m2/m2.h"
#include "codecs/m3/m3.h"
#include "codecs/m4/m4.h"

namespace qrn {

const CodecEntry encoder_table[METHOD_COUNT + 1] = {nullptr, m1_compress, m2_compress, m3_compress,
                                                    m4_compress};
const CodecEntry decoder_table[METHOD_COUNT + 1] = {nullptr, m1_decompress, m2_decompress,
                                                    m3_decompress, m4_decompress};

} // namespace qrn
