// A bounded queue of jobs, passed by value from the producer (main thread) to
// the worker threads, first in first out.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "container/codec_job.h"

namespace qrn {

struct JobQueue {
    std::mutex mutex;
    std::condition_variable space_event;
    std::condition_variable job_event;
    std::vector<CodecJob> slots;
    int read_index = 0;
    int write_index = 0;
    int count = 0;
};

void queue_init(JobQueue& q, int capacity);
// Blocks while the queue is full.
void queue_put(JobQueue& q, const CodecJob& job);
// Blocks while the queue is empty.
CodecJob queue_take(JobQueue& q);

} // namespace qrn
