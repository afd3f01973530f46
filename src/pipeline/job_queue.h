// A bounded queue of blocks, passed by value from the producer (main thread)
// to the worker threads, first in first out.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "pipeline/queued_block.h"

namespace qrn {

struct JobQueue {
    std::mutex mutex;
    std::condition_variable space_event;
    std::condition_variable block_event;
    std::vector<QueuedBlock> slots;
    int read_index = 0;
    int write_index = 0;
    int count = 0;
};

void queue_init(JobQueue& q, int capacity);
// Blocks while the queue is full.
void queue_put(JobQueue& q, const QueuedBlock& block);
// Blocks while the queue is empty; `left` (may be null) gets the number of
// blocks with data still queued behind the one taken (the marks that end a
// file or stop a worker take no worker's time).
QueuedBlock queue_take(JobQueue& q, int* left = nullptr);

} // namespace qrn
