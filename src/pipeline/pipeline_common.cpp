#include "container/block_buffers.h"
#include "pipeline/errors.h"
#include "pipeline/pipeline.h"

namespace qrn {

int pipeline_start(Pipeline& p, int threads, int capacity)
{
    queue_init(p.queue, capacity);
    // While one worker codes a large file, the others go on with small ones.
    p.park_limit = 8 * static_cast<size_t>(threads);
    // Buffers in flight: one input and one output per queued block and per
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
    QueuedBlock stop;
    stop.stop = true;
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
    Finished (*const code)(const QueuedBlock&, BlockProgress*) = p.decompress ? decompress_block : compress_block;
    for (;;) {
        int left = 0;
        QueuedBlock b = queue_take(p.queue, &left);
        if (b.stop)
            return 0;
        // A block without data only finishes its file.
        if (!b.in) {
            deliver(p, Finished{b.seq, b.out, nullptr, 0, nullptr, true});
            continue;
        }
        uint64_t need = 0;
        CodecPlan plan;
        if (p.coding_memory && !p.decompress) {
            plan = codec_plan(b.out->header.method, b.out->header.level);
            need = codec_plan_block_memory(plan, b.in_size);
            std::unique_lock<std::mutex> lock(p.coding_mutex);
            p.coding_turn.wait(lock, [&] { return p.coding_in_use == 0 || p.coding_in_use + need <= p.coding_memory; });
            p.coding_in_use += need;
        }
        // A file's last block may take a worker that nothing else needs now
        // (the codec then codes it on two threads), where the memory allows.
        const int coding = p.coding.fetch_add(1) + 1;
        if (coding + left >= p.thread_count)
            b.helpers = 0;
        if (b.helpers && need) {
            const uint64_t more = codec_plan_helper_memory(plan, b.in_size);
            std::lock_guard<std::mutex> lock(p.coding_mutex);
            if (p.coding_in_use + more <= p.coding_memory) {
                p.coding_in_use += more;
                need += more;
            } else {
                b.helpers = 0;
            }
        }
        BlockProgress progress{&p.coded_bytes, 0};
        const Finished f = code(b, &progress);
        p.coding.fetch_sub(1);
        p.coded_bytes.fetch_add(b.in_size - progress.told, std::memory_order_relaxed);
        if (need) {
            std::lock_guard<std::mutex> lock(p.coding_mutex);
            p.coding_in_use -= need;
            p.coding_turn.notify_all();
        }
        deliver(p, f);
    }
}

void file_mark_failed(OutputFile* out, const Status& why)
{
    std::lock_guard<std::mutex> lock(out->failure_mutex);
    if (out->failed.load())
        return;
    out->failure = why;
    out->failed.store(true);
}

Status file_failure(OutputFile* out)
{
    std::lock_guard<std::mutex> lock(out->failure_mutex);
    return out->failure;
}

void say_file_failure(const MessageSink& sink, const std::string& name, const std::string& reason)
{
    Message m{MessageKind::FileFailed};
    m.name = name.c_str();
    m.text = reason.c_str();
    message_say(sink, m);
}

namespace {

std::string size_text(uint64_t got, uint64_t expected)
{
    return std::to_string(got) + " of " + std::to_string(expected) + " bytes";
}

// Compares what was restored with the container's integrity fields.
void check_restored(OutputFile* out)
{
    const IntegrityFields& fields = out->header.fields;
    if ((fields.state != INTEGRITY_COMPLETE && fields.state != INTEGRITY_LENGTH) || out->failed.load())
        return;
    if (out->length < fields.length)
        file_mark_failed(out, status_failed(StatusCode::Truncated, "truncated: " + size_text(out->length, fields.length)));
    else if (out->length > fields.length)
        file_mark_failed(out, status_failed(StatusCode::Damaged,
                                            "longer than recorded: " + size_text(out->length, fields.length)));
    else if (fields.state == INTEGRITY_COMPLETE && (!out->hash || content_hash_low32(out->hash.get()) != fields.checksum))
        file_mark_failed(out, status_failed(StatusCode::Checksum, "checksum mismatch: the restored content is damaged"));
}

// The header of a compressed file with its complete integrity fields.
void complete_header(OutputFile* out, uint8_t bytes[HEADER_SIZE])
{
    IntegrityFields& fields = out->header.fields;
    fields.state = INTEGRITY_COMPLETE;
    fields.checksum = content_hash_low32(out->hash.get());
    fields.length = out->length;
    container_header_encode(out->header, bytes);
}

// Rewrites the header of a finished container with its complete fields.
void stamp_header(OutputFile* out)
{
    if (out->header_offset < 0 || out->failed.load())
        return;
    uint8_t bytes[HEADER_SIZE];
    complete_header(out, bytes);
    if (file_write_at(out->file, bytes, HEADER_SIZE, out->header_offset) != HEADER_SIZE) {
        file_mark_failed(out, report_write_failure(*out->messages));
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
        // A failed output goes before it is closed; one that fails to close
        // goes too.
        const bool failed = out->failed.load();
        if (!failed)
            file_apply_meta(f, out->meta);
        if (file_close_output(f, failed) != 0 && !failed)
            file_mark_failed(out, report_write_failure(*out->messages));
    }
    if (out->failed.load()) {
        say_file_failure(p.messages, out->name, file_failure(out).reason);
        p.failed_files.fetch_add(1);
    } else if (p.test_only && out->header.fields.state == INTEGRITY_NONE) {
        // Intact as far as the records go, but nothing to check the content against.
        Message m{MessageKind::FileNote};
        m.name = out->name.c_str();
        m.text = "no integrity fields: damage may go unnoticed";
        message_say(p.messages, m);
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
            output_record(f.out, f.data, f.length, f.end_of_file);
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

void queue_end_of_file(Pipeline& p, OutputFile* out)
{
    QueuedBlock b;
    b.seq = p.job_seq_counter++;
    b.out = out;
    queue_put(p.queue, b);
}

uint32_t pipeline_queued(const Pipeline& p) { return p.job_seq_counter; }

bool pipeline_written(Pipeline& p, uint32_t mark)
{
    std::lock_guard<std::mutex> lock(p.write_mutex);
    return static_cast<int32_t>(p.next_write_seq - mark) >= 0;
}

PlatformFile* open_input(const Pipeline& p, const FilePlace& place, Status* why)
{
    const char* in_name = place.path.c_str();
    PlatformFile* in = p.from_stdin ? file_stdin() : file_open_input_at(place);
    if (!in) {
        const int err = last_error();
        *why = status_failed(StatusCode::Io, error_text(err), 0, err);
        Message m{MessageKind::OpenFailed};
        m.name = in_name;
        m.text = why->reason.c_str();
        message_say(p.messages, m);
    }
    return in;
}

Status report_write_failure(const MessageSink& sink) { return report_system_error(sink, ERR_WRITE, last_error()); }

Status report_read_failure(const MessageSink& sink) { return report_system_error(sink, ERR_READ, last_error()); }

namespace {

// Says why the output could not be created.
void say_create_failure(const Pipeline& p, const char* out_name, const char* why)
{
    Message m{MessageKind::CreateFailed};
    m.name = out_name;
    m.text = why;
    message_say(p.messages, m);
}

} // namespace

Status output_refused(PlatformFile* in)
{
    const int err = last_error();
    file_close(in);
    Status st = status_failed(StatusCode::Io, "the output could not be created", 0, err);
    st.fatal = true;
    return st;
}

OutputFile* open_output(const Pipeline& p, PlatformFile* in, const char* in_name, const FilePlace& out_place)
{
    const char* out_name = out_place.path.c_str();
    auto* out = new OutputFile;
    out->name = in_name;
    out->meta = in->meta;
    out->messages = &p.messages;
    if (p.test_only)
        return out;
    if (p.to_stdout) {
        out->file = file_stdout();
        return out;
    }
    // Without -f the output is created only where no file exists, so it
    // cannot be the input.
    if (p.force && !in->is_std && file_is_same_at(in, out_place)) {
        say_create_failure(p, out_name, "input and output are the same file");
    } else {
        out->file = file_create_output_at(out_place, p.force, &out->meta);
        if (out->file)
            return out;
        say_create_failure(p, out_name, error_text(last_error()));
    }
    delete out;
    return nullptr;
}

bool output_header(OutputFile* out)
{
    uint8_t bytes[HEADER_SIZE];
    container_header_encode(out->header, bytes);
    if (file_write_fully(out->file, bytes, HEADER_SIZE) != HEADER_SIZE) {
        file_mark_failed(out, report_write_failure(*out->messages));
        return false;
    }
    return true;
}

bool output_record(OutputFile* out, const uint8_t* data, uint32_t bytes, bool ends_file)
{
    int64_t written;
    if (out->header_deferred) {
        uint8_t header[HEADER_SIZE];
        out->header_deferred = false;
        if (ends_file) {
            complete_header(out, header);
            out->header_offset = -1;  // complete already: nothing to rewrite
        } else {
            container_header_encode(out->header, header);  // pending, rewritten at the end
        }
        written = file_write_two(out->file, header, HEADER_SIZE, data, bytes) - HEADER_SIZE;
    } else {
        written = file_write_fully(out->file, data, bytes);
    }
    if (written != bytes) {
        file_mark_failed(out, report_write_failure(*out->messages));
        return false;
    }
    return true;
}

bool output_restored(OutputFile* out, const uint8_t* data, uint32_t bytes)
{
    if (out->header.fields.state == INTEGRITY_COMPLETE || out->header.fields.state == INTEGRITY_LENGTH) {
        out->length += bytes;
        if (out->hash)
            content_hash_update(out->hash.get(), data, bytes);
    }
    if (out->file && file_write_fully(out->file, data, bytes) != bytes) {
        file_mark_failed(out, report_write_failure(*out->messages));
        return false;
    }
    return true;
}

} // namespace qrn
