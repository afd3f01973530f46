// Worker threads of a context, and the block jobs they run.
#include <algorithm>

#include "codecs/codec_call.h"
#include "container/block_buffers.h"
#include "container/block_coding.h"
#include "lib/lib_internal.h"

namespace qrn {

namespace {

int worker_body(void* arg)
{
    Workers& w = *static_cast<Workers*>(arg);
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] { return w.stopping || !w.queue.empty(); });
        if (w.queue.empty())
            return 0;
        WorkItem* item = w.queue.front();
        w.queue.erase(w.queue.begin());
        // A worker that nothing else waits for may lend its thread to this item.
        ++w.running;
        item->helpers = w.running + static_cast<int>(w.queue.size()) < static_cast<int>(w.threads.size()) ? 1 : 0;
        lock.unlock();
        item->run(item);
        lock.lock();
        --w.running;
        item->done = true;
        w.finished.notify_all();
    }
}

} // namespace

bool workers_start(Workers& w, int count)
{
    if (static_cast<int>(w.threads.size()) == count)
        return true;
    workers_stop(w);
    for (int i = 0; i < count; ++i) {
        PlatformThread* t = thread_create(worker_body, &w, CODEC_THREAD_STACK);
        if (!t) {
            workers_stop(w);
            return false;
        }
        w.threads.push_back(t);
    }
    return true;
}

void workers_stop(Workers& w)
{
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.stopping = true;
    }
    w.wake.notify_all();
    for (PlatformThread* t : w.threads)
        thread_join(t);
    w.threads.clear();
    w.stopping = false;
}

void workers_submit(Workers& w, WorkItem* item)
{
    item->done = false;
    if (w.threads.empty()) {
        item->run(item);
        item->done = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.queue.push_back(item);
    }
    w.wake.notify_one();
}

bool workers_done(Workers& w, WorkItem* item)
{
    std::lock_guard<std::mutex> lock(w.mutex);
    return item->done;
}

void workers_wait(Workers& w, WorkItem* item)
{
    std::unique_lock<std::mutex> lock(w.mutex);
    w.finished.wait(lock, [&] { return item->done; });
}

void block_job_compress(WorkItem* item)
{
    auto* j = static_cast<BlockJob*>(item);
    // The program's output capacity, so that every codec decides alike.
    const uint64_t capacity = compress_capacity(header_block_size(j->h));
    uint8_t* out = block_alloc(capacity + BUFFER_SLACK);
    if (!out) {
        j->error = QRN_ERROR_MEMORY;
        return;
    }
    const EncodedRecord r = block_encode(j->h, j->in, j->in_size, out, capacity, nullptr, j->helpers);
    block_release(r.buffer == j->in ? out : j->in);
    j->in = nullptr;
    j->data = r.data;
    j->length = r.length;
    j->buffer = r.buffer;
}

void block_job_restore(WorkItem* item)
{
    auto* j = static_cast<BlockJob*>(item);
    if (!(j->flags & BLOCK_COMPRESSED)) {
        block_unfilter_raw(j->h, j->in, j->in_size);
        j->data = j->buffer = j->in;
        j->length = j->in_size;
        j->in = nullptr;
        return;
    }
    uint8_t* out = j->direct ? j->direct : block_alloc(size_t{j->decoded} + BUFFER_SLACK);
    if (!out)
        j->error = QRN_ERROR_MEMORY;
    else if (!block_decode(j->h, j->in, j->in_size, out, j->decoded))
        j->error = QRN_ERROR_DAMAGED;
    block_release(j->in);
    j->in = nullptr;
    j->data = out;
    j->length = j->decoded;
    if (!j->direct)
        j->buffer = out;
}

void block_job_free(BlockJob* job)
{
    block_release(job->in);
    block_release(job->buffer);
    delete job;
}

void jobs_drop(Workers& w, std::vector<BlockJob*>& jobs, BlockJob*& draining)
{
    for (BlockJob* j : jobs) {
        workers_wait(w, j);
        block_job_free(j);
    }
    jobs.clear();
    if (draining)
        block_job_free(draining);
    draining = nullptr;
}

} // namespace qrn
