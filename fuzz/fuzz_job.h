// The job the fuzz targets hand a codec: one block of `in_size` bytes at
// `in`, coded into `out`, whose `out_limit` is the output capacity for a
// compressor and the expected size for a decompressor.
#pragma once

#include <cstdint>

#include "codecs/codec_job.h"

inline qrn::CodecJob fuzz_job(int method, int level, const uint8_t* in, uint32_t in_size, uint8_t* out,
                              uint32_t out_limit, int hash_bits = 0)
{
    qrn::CodecJob job{};
    job.method = static_cast<uint8_t>(method);
    job.level = static_cast<uint8_t>(level);
    job.hash_bits = hash_bits;
    job.in = const_cast<uint8_t*>(in);
    job.in_size = in_size;
    job.block_size = in_size;
    job.out = out;
    job.out_limit = out_limit;
    return job;
}
