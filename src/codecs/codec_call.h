// The one call between the codecs and whoever drives them: one block in, its
// coded form out. Codecs never see the container, files or threads.
#pragma once

#include <atomic>
#include <cstdint>

namespace qrn {

// How far a long block's coding has come, for a display in another thread:
// the level-9 parsers add the positions they pass to `done` in steps, and
// `told` is what this block has added so far.
struct BlockProgress {
    std::atomic<uint64_t>* done = nullptr;
    uint32_t told = 0;
};

constexpr uint32_t BLOCK_PROGRESS_STEP = uint32_t{1} << 20;

// Reports that the block's coding has reached `position` (null: nobody asks).
inline void block_progress_at(BlockProgress* progress, uint32_t position)
{
    // (A block coded again starts below what it told the first time.)
    if (progress && position > progress->told && position - progress->told >= BLOCK_PROGRESS_STEP) {
        progress->done->fetch_add(position - progress->told, std::memory_order_relaxed);
        progress->told = position;
    }
}

struct BlockCall {
    uint8_t method;      // 1..4
    uint8_t level;       // 0, 1, 2 or 9
    int32_t hash_bits;   // log2 of the hash-table entries of levels 0..2
    uint8_t* in;
    uint32_t in_size;
    uint8_t* out;
    uint32_t out_limit;  // compressor: output capacity; decompressor: exact size
    BlockProgress* progress = nullptr;   // compressor: where a long parse says how far it is
    uint8_t helpers = 0;                 // compressor: threads it may start beside the caller's
};

// A compressor returns the payload bytes written at `out` (0 for an empty
// block) or CODEC_FAIL when it cannot do the job; the block is then stored raw.
// A decompressor returns the number of bytes produced; anything other than
// `out_limit` means the block is damaged.
using CodecEntry = uint32_t (*)(const BlockCall& job);

constexpr uint32_t CODEC_FAIL = 0xFFFFFFFFu;

// What every decompressor returns for a damaged block: a count that is never
// the expected size (all ones, or 0 where all ones was expected).
inline uint32_t codec_damaged(uint32_t expected) { return expected == CODEC_FAIL ? 0 : CODEC_FAIL; }

// Room every block buffer has beyond its data. Byte-token codecs read up to
// 40 bytes past their input and write up to 16 bytes past their output.
constexpr uint32_t BUFFER_SLACK = 64;

// Capacity of a compressor's output buffer for a block of `block_size` bytes:
// 1.3 x block size + 1 MiB, computed in double precision and truncated.
inline uint64_t compress_capacity(uint32_t block_size)
{
    return static_cast<uint64_t>(static_cast<double>(block_size) * 1.3 + 1048576.0);
}

} // namespace qrn
