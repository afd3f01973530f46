#include "pipeline/job_queue.h"

namespace qrn {

void queue_init(JobQueue& q, int capacity)
{
    q.slots.assign(static_cast<size_t>(capacity < 1 ? 1 : capacity), QueuedBlock{});
    q.read_index = q.write_index = q.count = 0;
}

void queue_put(JobQueue& q, const QueuedBlock& block)
{
    std::unique_lock<std::mutex> lock(q.mutex);
    const int capacity = static_cast<int>(q.slots.size());
    q.space_event.wait(lock, [&] { return q.count < capacity; });
    q.slots[static_cast<size_t>(q.write_index)] = block;
    q.write_index = (q.write_index + 1) % capacity;
    ++q.count;
    lock.unlock();
    q.block_event.notify_one();
}

QueuedBlock queue_take(JobQueue& q, int* left)
{
    std::unique_lock<std::mutex> lock(q.mutex);
    q.block_event.wait(lock, [&] { return q.count > 0; });
    const int capacity = static_cast<int>(q.slots.size());
    QueuedBlock block = q.slots[static_cast<size_t>(q.read_index)];
    q.read_index = (q.read_index + 1) % capacity;
    --q.count;
    if (left) {
        *left = 0;
        for (int i = 0; i < q.count; ++i)
            *left += q.slots[static_cast<size_t>((q.read_index + i) % capacity)].in != nullptr;
    }
    lock.unlock();
    q.space_event.notify_one();
    return block;
}

} // namespace qrn
