#include <algorithm>
#include <cstring>

#include "codecs/codec_call.h"
#include "common/bytes.h"
#include "container/block_buffers.h"
#include "container/block_coding.h"
#include "container/container_format.h"
#include "pipeline/errors.h"
#include "container/filters.h"
#include "pipeline/pipeline.h"

namespace qrn {

namespace {

// Reads the next block to offset 1 of `buffer` and clears the slack behind it,
// so that nothing left from an earlier block can reach a codec. A whole block
// is asked for whatever size the input reported: files of procfs and the like
// report 0 and hold data, and a file may grow while it is read.
int64_t read_block(PlatformFile* in, uint8_t* buffer, uint32_t block_size)
{
    const int64_t got = file_read_fully(in, buffer + 1, block_size);
    if (got >= 0)
        std::memset(buffer + 1 + got, 0, BUFFER_SLACK - 1);
    return got;
}

// Whether the block just read is the input's last: a short read only.
bool input_done(int64_t got, uint32_t block_size) { return got < block_size; }

// Once the input has ended after `total` bytes: a failure when it gave fewer
// bytes than the size it reported when opened (it shrank under us).
Status input_end_check(const PlatformFile* in, uint64_t total)
{
    if (in->size >= 0 && total < static_cast<uint64_t>(in->size))
        return status_failed(StatusCode::Io, "the file shrank while it was read");
    return {};
}

// Counts and checksums a block's original bytes, when the container will
// carry integrity fields.
void track_content(OutputFile* out, const uint8_t* data, uint32_t bytes)
{
    out->length += bytes;
    if (out->hash)
        content_hash_update(out->hash.get(), data, bytes);
}

// Codes every block on the calling thread, reusing one pair of buffers.
Status compress_inline(Pipeline& p, OutputFile* out, PlatformFile* in)
{
    const uint32_t block_size = header_block_size(out->header);
    const uint64_t capacity = compress_capacity(block_size);
    uint8_t* in_buffer = block_alloc(block_size + BUFFER_SLACK);
    uint8_t* out_buffer = in_buffer ? block_alloc(capacity + BUFFER_SLACK) : nullptr;
    Status st;
    uint64_t total = 0;
    if (!out_buffer) {
        st = report_error(*out->messages, ERR_MALLOC);
    } else {
        for (;;) {
            const int64_t got = read_block(in, in_buffer, block_size);
            if (got < 0) {
                st = report_read_failure(*out->messages);
                break;
            }
            total += static_cast<uint64_t>(got);
            p.read_bytes += static_cast<uint64_t>(got);
            const bool done = input_done(got, block_size);
            if (done && !(st = input_end_check(in, total)).ok())
                break;
            if (got == 0)
                break;
            const auto in_size = static_cast<uint32_t>(got);
            track_content(out, in_buffer + 1, in_size);
            BlockProgress progress{&p.coded_bytes, 0};
            const EncodedRecord r = block_encode(out->header, in_buffer, in_size, out_buffer, capacity, &progress);
            p.coded_bytes.fetch_add(in_size - progress.told, std::memory_order_relaxed);
            if (!output_record(out, r.data, r.length, done)) {
                st = file_failure(out);
                break;
            }
            if (done)
                break;
        }
    }
    block_release(in_buffer);
    block_release(out_buffer);
    return st;
}

} // namespace

Status compress_file(Pipeline& p, const CompressSettings& settings, const char* in_name, const char* out_name)
{
    return compress_file_at(p, settings, place_of_path(in_name), place_of_path(out_name));
}

Status compress_file_at(Pipeline& p, const CompressSettings& settings, const FilePlace& in_place, const FilePlace& out_place)
{
    const char* in_name = in_place.path.c_str();
    Status st;
    PlatformFile* in = open_input(p, in_place, &st);
    if (!in)
        return st;
    OutputFile* out = open_output(p, in, in_name, out_place);
    if (!out)
        return output_refused(in);
    ContainerHeader& h = out->header;
    h.method = settings.plan.method;
    h.level = settings.plan.level;
    h.hash_bits = settings.hash_bits;
    h.filter = filter_for_name(in_name);
    // The block size, rounded up to its code's unit.
    const uint64_t memory = settings.memory ? settings.memory : physical_memory();
    h.bsize_code = bsize_encode(
        codec_plan_block_size(settings.plan, settings.block_size, p.thread_count, file_size(in), memory,
                              settings.memory != 0 || memory_is_limited()));
    const uint32_t block_size = header_block_size(h);
    // The blocks' tries are as large as the block, or the file where it is
    // smaller (a block code is never below 1 KiB); a size of 0 may hide
    // content (procfs), so it plans for the block.
    codecs_plan_tries(settings.plan, in->size > 0 ? std::min<uint64_t>(block_size, in->size) : block_size,
                      p.thread_count);

    // A container that can be rewritten in place carries integrity fields:
    // pending now, complete when its last block is written.
    out->header_offset = file_rewrite_offset(out->file);
    if (out->header_offset >= 0 && !(out->hash = content_hash_new()))
        out->header_offset = -1;
    if (out->header_offset >= 0) {
        h.fields.state = INTEGRITY_PENDING;
        // A file that says it fits one block goes out header and record in
        // one write; the header is complete there when the file did end
        // with that block, pending otherwise (it grew).
        out->header_deferred = in->size > 0 && static_cast<uint64_t>(in->size) <= block_size;
    }
    if (!out->header_deferred && !output_header(out)) {
        st = file_failure(out);
    } else if (p.thread_count == 0) {
        st = compress_inline(p, out, in);
    } else {
        uint64_t total = 0;
        bool finished = false;  // the file's last block was queued, and finishes it
        for (;;) {
            if (out->failed.load()) {
                // A worker failed a block and said why; read no further.
                st = file_failure(out);
                break;
            }
            uint8_t* buffer = block_alloc(block_size + BUFFER_SLACK);
            if (!buffer) {
                st = report_error(p.messages, ERR_MALLOC);
                file_mark_failed(out, st);
                break;
            }
            const int64_t got = read_block(in, buffer, block_size);
            if (got >= 0) {
                total += static_cast<uint64_t>(got);
                p.read_bytes += static_cast<uint64_t>(got);
            }
            const bool done = got >= 0 && input_done(got, block_size);
            if (got < 0)
                st = report_read_failure(p.messages);
            else if (done)
                st = input_end_check(in, total);
            if (!st.ok())
                file_mark_failed(out, st);
            if (got <= 0 || !st.ok()) {
                block_release(buffer);
                break;
            }
            QueuedBlock b;
            b.seq = p.job_seq_counter++;
            b.out = out;
            b.in = buffer;
            b.in_size = static_cast<uint32_t>(got);
            b.ends_file = finished = done;
            b.helpers = done || (in->size > 0 && total >= static_cast<uint64_t>(in->size)) ? 1 : 0;
            track_content(out, buffer + 1, b.in_size);
            queue_put(p.queue, b);
            if (finished)
                break;
        }
        if (!finished)
            queue_end_of_file(p, out);
        file_close(in);
        return st;
    }
    file_close(in);
    if (!st.ok())
        file_mark_failed(out, st);
    file_finish(p, out);
    return st;
}

Finished compress_block(const QueuedBlock& b, BlockProgress* progress)
{
    OutputFile* out = b.out;
    EncodedRecord record{};
    if (!out->failed.load()) {
        const uint64_t capacity = compress_capacity(header_block_size(out->header));
        uint8_t* out_buffer = block_alloc(capacity + BUFFER_SLACK);
        if (out_buffer) {
            record = block_encode(out->header, b.in, b.in_size, out_buffer, capacity, progress, b.helpers);
            block_release(record.buffer == b.in ? out_buffer : b.in);
        } else {
            file_mark_failed(out, report_error(*out->messages, ERR_MALLOC));
        }
    }
    if (!record.buffer)
        block_release(b.in);
    return {b.seq, out, record.data, record.length, record.buffer, b.ends_file};
}

} // namespace qrn
