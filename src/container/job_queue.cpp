#include "container/job_queue.h"

namespace qrn {

void queue_init(JobQueue& q, int capacity)
{
    q.slots.assign(static_cast<size_t>(capacity < 1 ? 1 : capacity), CodecJob{});
    q.read_index = q.write_index = q.count = 0;
}

void queue_put(JobQueue& q, const CodecJob& job)
{
    std::unique_lock<std::mutex> lock(q.mutex);
    const int capacity = static_cast<int>(q.slots.size());
    q.space_event.wait(lock, [&] { return q.count < capacity; });
    q.slots[static_cast<size_t>(q.write_index)] = job;
    q.write_index = (q.write_index + 1) % capacity;
    ++q.count;
    lock.unlock();
    q.job_event.notify_one();
}

CodecJob queue_take(JobQueue& q)
{
    std::unique_lock<std::mutex> lock(q.mutex);
    q.job_event.wait(lock, [&] { return q.count > 0; });
    const int capacity = static_cast<int>(q.slots.size());
    CodecJob job = q.slots[static_cast<size_t>(q.read_index)];
    q.read_index = (q.read_index + 1) % capacity;
    --q.count;
    lock.unlock();
    q.space_event.notify_one();
    return job;
}

} // namespace qrn
