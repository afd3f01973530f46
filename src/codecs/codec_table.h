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

// Prepares, once per run and before any worker starts, what the codecs need:
// the entropy coder's builds for `processor_level`, and what compressing with
// `method` at `level` needs. `method` 0: the run decodes (any method).
void codecs_prepare(int processor_level, int method, int level);
// Gives back what codecs_prepare set up.
void codecs_release();

// Hash-table size exponent of a method and level when none is asked for
// (0 where the compressor has no such table).
int default_hash_bits(int method, int level);
// A requested exponent adjusted for the level: nonzero below 10 gives 10, and
// at level 0 anything above 16 gives 16; 0 selects the default.
int effective_hash_bits(int requested, int method, int level);

} // namespace qrn
