// The job the fuzz targets hand a codec: one block of `in_size` bytes at
// `in`, coded into `out`, whose `out_limit` is the output capacity for a
// compressor and the expected size for a decompressor.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/codec_call.h"

inline qrn::BlockCall fuzz_job(int method, int level, const uint8_t* in, uint32_t in_size, uint8_t* out,
                              uint32_t out_limit, int hash_bits = 0)
{
    qrn::BlockCall job{};
    job.method = static_cast<uint8_t>(method);
    job.level = static_cast<uint8_t>(level);
    job.hash_bits = hash_bits;
    job.in = const_cast<uint8_t*>(in);
    job.in_size = in_size;
    job.out = out;
    job.out_limit = out_limit;
    return job;
}

// Whether the first `packed_size` bytes of `packed`, copied into a buffer with
// the pipeline's zeroed slack, decode with `decode` to the n bytes at `data`.
inline bool decodes_to(qrn::CodecEntry decode, int method, int level, const std::vector<uint8_t>& packed,
                       uint32_t packed_size, const uint8_t* data, uint32_t n)
{
    std::vector<uint8_t> payload(packed.begin(), packed.begin() + packed_size);
    payload.resize(packed_size + qrn::BUFFER_SLACK, 0);
    std::vector<uint8_t> back(n + qrn::BUFFER_SLACK, 0);
    return decode(fuzz_job(method, level, payload.data(), packed_size, back.data(), n)) == n &&
           std::memcmp(back.data(), data, n) == 0;
}
