// What a method and level need, asked once: whether the pair exists, how its
// hash-table size and block size are chosen, how deep the block queue runs,
// and what must be prepared before the first block. Plain data and plain
// functions over it, callable from any thread.
#pragma once

#include <cstdint>

namespace qrn {

struct CodecPlan {
    uint8_t method = 0;
    uint8_t level = 0;
    bool level_known = false;   // 0, 1, 2 or 9: a level some method has
    bool exists = false;        // this method has this level

    // Hash-table size exponent (levels 0..2): the level's own when none is
    // asked for (0 where the compressor has no table); a requested value
    // below `hash_bits_min` gives the minimum, above `hash_bits_max` (when
    // nonzero) the maximum.
    int32_t hash_bits_default = 0;
    int32_t hash_bits_min = 0;
    int32_t hash_bits_max = 0;

    // Block size when none is asked for: `block_size`, or, where
    // `memory_share` is nonzero, memory / memory_share / threads but at
    // least `block_min`; under a hard memory limit, memory / limited_share /
    // threads but at least `limited_min`; cut to the file's size when
    // `cut_to_file`.
    uint64_t block_size = 0;
    uint32_t memory_share = 0;
    uint64_t block_min = 0;
    uint32_t limited_share = 0;
    uint64_t limited_min = 0;
    bool cut_to_file = false;

    // One block queued at a time (each block takes much memory), instead of
    // one per worker and one more.
    bool queue_one = false;

    // What start-up prepares before any worker runs.
    bool prepare_ans_encoder = false;
    bool prepare_ans_decoder = false;
    bool prepare_price_tables = false;   // the level-9 parse's price tables
    bool prepare_segment_pool = false;   // the level-9 match finder's memory
};

// The plan for compressing with `method` at `level` (any numbers: a pair
// that does not exist says so).
CodecPlan codec_plan(int method, int level);
// The plan for decoding containers of any method.
CodecPlan codec_plan_decode();

// The hash-table exponent for a requested value (0: none requested).
int32_t codec_plan_hash_bits(const CodecPlan& plan, int32_t requested);
// The block size for a file of `file_bytes` (negative: unknown) coded by
// `threads` workers with `memory` bytes of memory, a hard limit when
// `memory_is_limit`; `requested` (nonzero) wins.
uint64_t codec_plan_block_size(const CodecPlan& plan, uint64_t requested, int threads, int64_t file_bytes,
                               uint64_t memory, bool memory_is_limit);
// Memory one worker needs while it codes a block of `block_size` bytes
// (level 9: about 11 times the block, for its trie and parse); 0 where the
// plan's needs do not grow with the block.
uint64_t codec_plan_block_memory(const CodecPlan& plan, uint64_t block_size);
// Memory a second thread adds when it helps code such a block (level 9: its
// match finder's tables and hand-over, about 1.25 times the block).
uint64_t codec_plan_helper_memory(const CodecPlan& plan, uint64_t block_size);
// Tells the level-9 match finder's pool that up to `builders` tries of blocks
// of `block_size` bytes may be built at once, so that it reserves address
// space for them (and not much more).
void codecs_plan_tries(const CodecPlan& plan, uint64_t block_size, int builders);
// How many blocks may wait in the queue for `threads` workers.
int codec_plan_queue_depth(const CodecPlan& plan, int threads);

// Prepares, once per run and before any worker starts, what the plan asks
// for, with the entropy coder's builds for `processor_level`.
void codecs_prepare(int processor_level, const CodecPlan& plan);
// Gives back what codecs_prepare set up.
void codecs_release();

// For a library, where contexts start in any thread at any time: prepares
// what the plan asks for, each build choice and table once per process (the
// segment pool starts itself at its first need), and may be called again.
void codecs_prepare_shared(int processor_level, const CodecPlan& plan);
// Makes the segment pool's refusals silent: no message, no exit; the block
// that could not get memory is stored raw.
void codecs_quiet_pool();

} // namespace qrn
