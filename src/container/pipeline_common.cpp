#include <cstdio>

#include "container/block_buffers.h"
#include "container/errors.h"
#include "container/pipeline.h"

namespace qrn {

int pipeline_start(Pipeline& p, int threads, int capacity)
{
    queue_init(p.queue, capacity);
    // Buffers in flight: one input and one output per queued job and per worker.
    block_pool_set_limit(2 * (capacity + threads) + 2);
    ThreadBody body = p.decompress ? decompress_worker : compress_worker;
    for (int i = 0; i < threads; ++i) {
        PlatformThread* t = thread_create(body, &p, CODEC_THREAD_STACK);
        if (!t)
            return -1;
        p.workers.push_back(t);
        ++p.thread_count;
    }
    return 0;
}

void pipeline_stop(Pipeline& p)
{
    CodecJob stop{};
    stop.method = METHOD_STOP;
    for (size_t i = 0; i < p.workers.size(); ++i)
        queue_put(p.queue, stop);
    for (PlatformThread* t : p.workers)
        thread_join(t);
    p.workers.clear();
    p.thread_count = 0;
    block_pool_set_limit(0);
}

void file_mark_failed(Pipeline& p, PlatformFile* out)
{
    if (!out->failed.exchange(true))
        p.error_count.fetch_add(1);
}

void file_finish(Pipeline& p, PlatformFile* out)
{
    const bool is_std = out->is_std;
    const std::string path = out->path;
    bool failed = out->failed.load();
    if (file_close(out) != 0 && !failed) {
        report_write_failure();
        failed = true;
    }
    if (failed) {
        if (!is_std)
            file_remove(path.c_str());
        p.failed_files.fetch_add(1);
    }
}

std::unique_lock<std::mutex> wait_turn(Pipeline& p, uint32_t seq)
{
    std::unique_lock<std::mutex> lock(p.write_mutex);
    p.write_turn.wait(lock, [&] { return p.next_write_seq == seq; });
    return lock;
}

void pass_turn(Pipeline& p, std::unique_lock<std::mutex>& lock)
{
    ++p.next_write_seq;
    lock.unlock();
    p.write_turn.notify_all();
}

void queue_end_of_file(Pipeline& p, CodecJob job)
{
    job.in = nullptr;
    job.seq = p.job_seq_counter++;
    queue_put(p.queue, job);
}

void print_open_failure(const char* in_name)
{
    const int err = last_error();
    std::fprintf(stderr, "can't open input file '%s'. '%s'\n", in_name, error_text(err));
}

PlatformFile* open_input(const Pipeline& p, const char* in_name)
{
    PlatformFile* in = p.from_stdin ? file_stdin() : file_open_input(in_name);
    if (!in)
        print_open_failure(in_name);
    return in;
}

int report_write_failure()
{
    const int err = last_error();
    return report_error(ERR_WRITE, err, error_text(err));
}

int report_read_failure()
{
    const int err = last_error();
    return report_error(ERR_READ, err, error_text(err));
}

PlatformFile* open_output(const Pipeline& p, PlatformFile* in, const char* out_name)
{
    if (p.to_stdout)
        return file_stdout();
    if (in && !in->is_std && file_is_same(in, out_name)) {
        std::fprintf(stderr, "creat error '%s' '%s'\n", out_name, "input and output are the same file");
        return nullptr;
    }
    PlatformFile* out = file_create_output(out_name, p.force);
    if (!out) {
        const int err = last_error();
        std::fprintf(stderr, "creat error '%s' '%s'\n", out_name, error_text(err));
    }
    return out;
}

} // namespace qrn
