// Block buffers. Fresh pages are expensive, so buffers that come back are kept
// on a short free list and handed out again to blocks of the same size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn {

// A buffer of at least `bytes` bytes, or null when memory is short.
uint8_t* block_alloc(size_t bytes);
// Gives a buffer back (null is ignored).
void block_release(uint8_t* buffer);
// How many released buffers may wait for reuse; 0 releases everything now.
void block_pool_set_limit(int buffers);

// Tests replace this to make allocations fail; it decides, per request, whether
// the allocation may proceed.
using BlockAllocGate = bool (*)(size_t bytes);
extern BlockAllocGate block_alloc_gate;

} // namespace qrn
