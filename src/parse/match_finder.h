// Match finder of the level-9 compressors: a path-compressed suffix trie of
// the block, built as it is searched. One call both searches the trie for the
// current position and inserts that position, so the trie always holds
// exactly position 0 and the positions searched so far.
//
// Children are 32-bit references: a leaf mark (0xC0000000 | position) for a
// suffix ending there, else a node at the segment pool's base + 8 x reference.
// A node's kind is the size class of the pool segment that holds it; every
// node starts with a stamp, the leaf mark of the latest position whose suffix
// passed through it.
//   class 1..31    small branch, n = class + 1 children: stamp, n ascending
//                  key bytes, n children (unaligned)
//   class 32..245  bitmap branch, n = class + 1 children: stamp, 4 rank bytes,
//                  4 64-bit key bitmaps, n children in key order
//   class 254      direct branch: stamp, 256 children by key (0 = none)
//   class 256..510 edge of class - 255 bytes: stamp, child; its bytes are the
//                  block's from its stamp's position + its depth onward
#pragma once

#include <cstdint>

#include "parse/segment_pool.h"

namespace qrn {

// The most bytes one search descends.
constexpr uint32_t MATCH_LIMIT = 1024;
// A match longer than this is taken without searching the positions it covers.
constexpr uint32_t LONG_MATCH_LENGTH = 512;

struct MatchPair {
    uint32_t length;     // bytes known to match; the caller extends it
    uint32_t position;
};

struct MatchFinder {
    uint32_t root;               // little-endian like every child slot, as the walk reads it as one
    SegmentPool* pool;
    uint8_t* base;               // the pool's reference base
    const uint8_t* block;
    uint32_t block_size;         // at most 2^30
    uint32_t replaced;           // the leaf the latest search took over, or NO_POSITION
    uint32_t walked;             // the positions after the latest walk ahead (see mf_find)
};

constexpr uint32_t NO_POSITION = 0xFFFFFFFFu;

// Clears nothing: the caller clears `pool` first. Starts the trie with
// position `first` (always 0). False when the pool yields no node.
bool mf_create(MatchFinder* mf, const uint8_t* block, uint32_t block_size, uint32_t first, SegmentPool* pool);

// Searches position `pos` (descending at most `limit` bytes, 1 to
// min(bytes left, MATCH_LIMIT)) and inserts it. The candidates go to
// pairs[0 .. *last] (*last = -1 when none) by increasing distance, their
// lengths not decreasing; `pairs` has room for limit + 1 records. *depth is
// the number of bytes of the position's suffix the descent consumed. False
// when the pool yields no node (the trie is then fit only to be released).
// Once in every few positions it first walks the next positions' descents,
// reading only, so that their searches find their nodes in the cache.
bool mf_find(MatchFinder* mf, uint32_t pos, uint32_t limit, MatchPair* pairs, int* last, uint32_t* depth);

} // namespace qrn
