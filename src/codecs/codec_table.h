// The codec entries of the four methods, indexed by method number (1..4).
#pragma once

#include "codecs/codec_call.h"

namespace qrn {

constexpr int METHOD_COUNT = 4;

extern const CodecEntry encoder_table[METHOD_COUNT + 1];
extern const CodecEntry decoder_table[METHOD_COUNT + 1];

// The entry for `method`, or null when no method of that number exists.
inline CodecEntry encoder_for(unsigned method)
{
    return method >= 1 && method <= METHOD_COUNT ? encoder_table[method] : nullptr;
}
inline CodecEntry decoder_for(unsigned method)
{
    return method >= 1 && method <= METHOD_COUNT ? decoder_table[method] : nullptr;
}

} // namespace qrn
