#include <cstdio>

#include "container/block_buffers.h"
#include "container/errors.h"
#include "container/pipeline.h"

namespace qrn {

int pipeline_start(Pipeline& p, int threads, int capacity)
{
    queue_init(p.queue, capacity);
    // While one worker codes a large file, the others go on with small ones.
    p.park_limit = 8 * static_cast<size_t>(threads);
    // Buffers in flight: one input and one output per queued job and per
    // worker, and one per parked block.
    block_pool_set_limit(2 * (capacity + threads) + static_cast<int>(p.park_limit) + 2);
    for (int i = 0; i < threads; ++i) {
        PlatformThread* t = thread_create(pipeline_worker, &p, CODEC_THREAD_STACK);
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

int pipeline_worker(void* arg)
{
    Pipeline& p = *static_cast<Pipeline*>(arg);
    Finished (*const code)(const CodecJob&) = p.decompress ? decompress_job : compress_job;
    for (;;) {
        const CodecJob job = queue_take(p.queue);
        if (job.method == METHOD_STOP)
            return 0;
        // A job without data only finishes its file.
        deliver(p, job.in ? code(job) : Finished{job.seq, job.out_file, nullptr, 0, nullptr, true});
    }
}

void file_mark_failed(OutputFile* out, const std::string& reason)
{
    if (!out->failed.exchange(true))
        out->reason = reason;
}

void print_file_failure(const std::string& name, const std::string& reason)
{
    std::fprintf(stderr, "quarnix: %s: %s\n", name.c_str(), reason.c_str());
}

namespace {

std::string size_text(uint64_t got, uint64_t expected)
{
    return std::to_string(got) + " of " + std::to_string(expected) + " bytes";
}

// Compares what was restored with the container's integrity fields.
void check_restored(OutputFile* out)
{
    if ((out->fields.state != INTEGRITY_COMPLETE && out->fields.state != INTEGRITY_LENGTH) || out->failed.load())
        return;
    if (out->length < out->fields.length)
        file_mark_failed(out, "truncated: " + size_text(out->length, out->fields.length));
    else if (out->length > out->fields.length)
        file_mark_failed(out, "longer than recorded: " + size_text(out->length, out->fields.length));
    else if (out->fields.state == INTEGRITY_COMPLETE &&
             (!out->hash || content_hash_low32(out->hash.get()) != out->fields.checksum))
        file_mark_failed(out, "checksum mismatch: the restored content is damaged");
}

// Puts the complete integrity fields of a compressed file into its header.
void complete_header(OutputFile* out)
{
    out->fields.state = INTEGRITY_COMPLETE;
    out->fields.checksum = content_hash_low32(out->hash.get());
    out->fields.length = out->length;
    integrity_encode(out->fields, out->header);
}

// Rewrites the header of a finished container with its complete fields.
void stamp_header(OutputFile* out)
{
    if (out->header_offset < 0 || out->failed.load())
        return;
    complete_header(out);
    if (file_write_at(out->file, out->header, HEADER_SIZE, out->header_offset) != HEADER_SIZE) {
        report_write_failure();
        file_mark_failed(out, last_reported_text());
    }
}

} // namespace

void file_finish(Pipeline& p, OutputFile* out)
{
    if (p.decompress)
        check_restored(out);
    else
        stamp_header(out);
    if (PlatformFile* f = out->file) {
        const bool is_std = f->is_std;
        const std::string path = f->path;
        // A failed output goes before it is closed, so that an interruption
        // in between finds nothing to leave behind.
        if (out->failed.load() && !is_std)
            file_remove(path.c_str());
        else if (!out->failed.load())
            file_apply_meta(f, out->meta);
        if (file_close(f) != 0 && !out->failed.load()) {
            report_write_failure();
            file_mark_failed(out, last_reported_text());
            if (!is_std)
                file_remove(path.c_str());
        }
    }
    if (out->failed.load()) {
        print_file_failure(out->name, out->reason);
        p.failed_files.fetch_add(1);
    }
    delete out;
}

namespace {

// Writes one finished block (or finishes its file) and releases its buffer.
void write_finished(Pipeline& p, const Finished& f)
{
    if (f.data && !f.out->failed.load()) {
        if (p.decompress)
            output_restored(f.out, f.data, f.length);
        else
            output_record(f.out, f.data, f.length);
    }
    block_release(f.buffer);
    if (f.end_of_file)
        file_finish(p, f.out);
}

} // namespace

void deliver(Pipeline& p, const Finished& f)
{
    std::unique_lock<std::mutex> lock(p.write_mutex);
    p.write_turn.wait(lock, [&] {
        return f.seq == p.next_write_seq || p.parked.empty() ||
               (p.parked.size() < p.park_limit && p.parked_bytes + f.length <= PARK_BYTES);
    });
    if (f.seq != p.next_write_seq) {
        p.parked.push_back(f);
        p.parked_bytes += f.length;
        return;
    }
    // Only the holder of the next block writes, so the lock is not needed
    // while writing; the blocks parked meanwhile follow in order.
    Finished item = f;
    for (;;) {
        lock.unlock();
        write_finished(p, item);
        lock.lock();
        ++p.next_write_seq;
        p.write_turn.notify_all();
        auto next = p.parked.begin();
        while (next != p.parked.end() && next->seq != p.next_write_seq)
            ++next;
        if (next == p.parked.end())
            return;
        item = *next;
        p.parked_bytes -= item.length;
        *next = p.parked.back();
        p.parked.pop_back();
    }
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

OutputFile* open_output(const Pipeline& p, PlatformFile* in, const char* in_name, const char* out_name)
{
    auto* out = new OutputFile;
    out->name = in_name;
    out->meta = in->meta;
    if (p.test_only)
        return out;
    if (p.to_stdout) {
        out->file = file_stdout();
        return out;
    }
    // Without -f the output is created only where no file exists, so it
    // cannot be the input.
    if (p.force && !in->is_std && file_is_same(in, out_name)) {
        std::fprintf(stderr, "creat error '%s' '%s'\n", out_name, "input and output are the same file");
    } else {
        out->file = file_create_output(out_name, p.force, &out->meta);
        if (out->file)
            return out;
        const int err = last_error();
        std::fprintf(stderr, "creat error '%s' '%s'\n", out_name, error_text(err));
    }
    delete out;
    return nullptr;
}

bool output_record(OutputFile* out, const uint8_t* data, uint32_t bytes)
{
    int64_t written;
    if (out->header_deferred) {
        complete_header(out);
        out->header_deferred = false;
        out->header_offset = -1;  // complete already: nothing to rewrite
        written = file_write_two(out->file, out->header, HEADER_SIZE, data, bytes) - HEADER_SIZE;
    } else {
        written = file_write_fully(out->file, data, bytes);
    }
    if (written != bytes) {
        report_write_failure();
        file_mark_failed(out, last_reported_text());
        return false;
    }
    return true;
}

bool output_restored(OutputFile* out, const uint8_t* data, uint32_t bytes)
{
    if (out->fields.state == INTEGRITY_COMPLETE || out->fields.state == INTEGRITY_LENGTH) {
        out->length += bytes;
        if (out->hash)
            content_hash_update(out->hash.get(), data, bytes);
    }
    if (out->file && file_write_fully(out->file, data, bytes) != bytes) {
        report_write_failure();
        file_mark_failed(out, last_reported_text());
        return false;
    }
    return true;
}

} // namespace qrn
