// A block of work as the pipelines queue it: the container header's fields,
// the block's buffers and its place in the write order.
#pragma once

#include <cstdint>

#include "codecs/codec_call.h"

namespace qrn {

struct PlatformFile;
struct OutputFile;   // the pipeline's output being written; codecs never touch it

struct CodecJob {
    // These six fields, in these widths, are also bytes 16..31 of the
    // container header (three zero bytes follow `filter` there).
    uint16_t bsize_code;   // bit 0: unit (1 = KiB, 0 = MiB); bits 1..15: count
    uint8_t method;        // 1..4; METHOD_STOP in a queued job ends a worker
    uint8_t level;         // 0, 1, 2 or 9
    uint8_t filter;        // FILTER_*; only the low 4 bits are tested
    int32_t hash_bits;     // log2 of the hash-table entries of levels 0..2
    uint32_t seq;          // place in the run-wide write order

    uint8_t block_flags;   // the record's flag byte (decompression)
    uint8_t* in;
    uint8_t* out;
    uint32_t out_limit;    // compressor: output capacity; decompressor: exact size
    uint32_t in_size;
    uint32_t block_size;   // decoded bsize_code
    PlatformFile* in_file;
    OutputFile* out_file;
    bool ends_file;        // pipelines: the file's output is finished after this block

    BlockCall call() const { return {method, level, hash_bits, in, in_size, out, out_limit}; }
};

constexpr uint8_t METHOD_STOP = 255;

} // namespace qrn
