#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codecs/codec_table.h"
#include "common/bytes.h"
#include "container/block_buffers.h"
#include "container/block_coding.h"
#include "container/container_format.h"
#include "container/errors.h"
#include "container/filters.h"
#include "container/pipeline.h"

namespace qrn {

namespace {

constexpr uint32_t LEVEL0_BLOCK = 4 * MIB;
constexpr uint32_t FAST_BLOCK = 64 * MIB;
constexpr uint32_t STRONG_BLOCK_MIN = 32 * MIB;

// Codes the block size for the job's file (rounded up to the code's unit).
void set_block_size(CodecJob& job, int threads, PlatformFile* in)
{
    job.bsize_code = bsize_encode(choose_block_size(job.block_size, job.level, threads, file_size(in)));
    job.block_size = static_cast<uint32_t>(bsize_decode(job.bsize_code));
}

// Reads the next block to offset 1 of `buffer` and clears the slack behind it,
// so that nothing left from an earlier block can reach a codec.
// `total` bytes were read before; where the input's size is known, no more
// than what is left is asked for, so that its end costs no read call.
int64_t read_block(PlatformFile* in, uint8_t* buffer, uint32_t block_size, uint64_t total)
{
    int64_t want = block_size;
    if (in->size >= 0)
        want = std::min(want, std::max<int64_t>(0, in->size - static_cast<int64_t>(total)));
    const int64_t got = file_read_fully(in, buffer + 1, want);
    if (got >= 0)
        std::memset(buffer + 1 + got, 0, BUFFER_SLACK - 1);
    return got;
}

// Whether the block just read is the input's last: a short read, or, where
// the size is known, all of it read (no read is spent finding the end).
bool input_done(const PlatformFile* in, int64_t got, uint32_t block_size, uint64_t total)
{
    return got < block_size || (in->size >= 0 && total >= static_cast<uint64_t>(in->size));
}

// Filters and compresses one block whose data is at `in_buffer` + 1.
EncodedRecord code_block(const CodecJob& job, uint8_t* in_buffer, uint8_t* out_buffer, uint64_t capacity)
{
    return block_encode(job_header(job), in_buffer, job.in_size, out_buffer, capacity);
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
int compress_inline(CodecJob& job)
{
    const uint64_t capacity = compress_capacity(job.block_size);
    uint8_t* in_buffer = block_alloc(job.block_size + BUFFER_SLACK);
    uint8_t* out_buffer = in_buffer ? block_alloc(capacity + BUFFER_SLACK) : nullptr;
    int rc = 0;
    uint64_t total = 0;
    if (!out_buffer) {
        rc = report_error(ERR_MALLOC);
    } else {
        for (;;) {
            const int64_t got = read_block(job.in_file, in_buffer, job.block_size, total);
            if (got < 0) {
                rc = report_read_failure();
                break;
            }
            if (got == 0)
                break;
            job.in_size = static_cast<uint32_t>(got);
            track_content(job.out_file, in_buffer + 1, job.in_size);
            const EncodedRecord r = code_block(job, in_buffer, out_buffer, capacity);
            if (!output_record(job.out_file, r.data, r.length)) {
                rc = -ERR_WRITE;
                break;
            }
            total += static_cast<uint64_t>(got);
            if (input_done(job.in_file, got, job.block_size, total))
                break;
        }
    }
    block_release(in_buffer);
    block_release(out_buffer);
    return rc;
}

} // namespace

uint64_t choose_block_size(uint32_t requested, uint8_t level, int threads, int64_t file_bytes)
{
    if (requested != 0)
        return requested;
    if (level == 0)
        return LEVEL0_BLOCK;
    uint64_t size = FAST_BLOCK;
    if (level == 9) {
        const uint64_t share = physical_memory() / 14 / static_cast<uint64_t>(threads > 0 ? threads : 1);
        size = share > STRONG_BLOCK_MIN ? share : STRONG_BLOCK_MIN;
    }
    if (file_bytes >= 0 && static_cast<uint64_t>(file_bytes) < size)
        size = static_cast<uint64_t>(file_bytes);
    return size;
}

int compress_file(Pipeline& p, const CodecJob& job_template, const char* in_name, const char* out_name)
{
    CodecJob job = job_template;
    PlatformFile* in = open_input(p, in_name);
    if (!in)
        return -1;
    OutputFile* out = open_output(p, in, in_name, out_name);
    if (!out) {
        file_close(in);
        return FILE_CREATE_FAILED;
    }
    set_block_size(job, p.thread_count, in);
    job.filter = filter_for_name(in_name);
    job.in_file = in;
    job.out_file = out;
    job.seq = 0;

    // A container that can be rewritten in place carries integrity fields:
    // pending now, complete when its last block is written.
    header_encode(job, out->header);
    out->header_offset = file_rewrite_offset(out->file);
    if (out->header_offset >= 0 && !(out->hash = content_hash_new()))
        out->header_offset = -1;
    if (out->header_offset >= 0) {
        out->fields.state = INTEGRITY_PENDING;
        integrity_encode(out->fields, out->header);
        // A file of one block is read whole before anything is written: its
        // header goes out complete together with its record.
        out->header_deferred = in->size > 0 && static_cast<uint64_t>(in->size) <= job.block_size;
    }
    int rc = 0;
    if (!out->header_deferred && file_write_fully(out->file, out->header, HEADER_SIZE) != HEADER_SIZE) {
        rc = report_write_failure();
    } else if (p.thread_count == 0) {
        rc = compress_inline(job);
    } else {
        uint64_t total = 0;
        bool finished = false;  // the file's last block was queued, and finishes it
        for (;;) {
            if (out->failed.load()) {
                rc = -1;
                break;
            }
            uint8_t* buffer = block_alloc(job.block_size + BUFFER_SLACK);
            if (!buffer) {
                rc = report_error(ERR_MALLOC);
                file_mark_failed(out, last_reported_text());
                break;
            }
            const int64_t got = read_block(in, buffer, job.block_size, total);
            if (got <= 0) {
                block_release(buffer);
                if (got < 0) {
                    rc = report_read_failure();
                    file_mark_failed(out, last_reported_text());
                }
                break;
            }
            total += static_cast<uint64_t>(got);
            CodecJob queued = job;
            queued.seq = p.job_seq_counter++;
            queued.in = buffer;
            queued.in_size = static_cast<uint32_t>(got);
            queued.ends_file = finished = input_done(in, got, job.block_size, total);
            track_content(out, buffer + 1, queued.in_size);
            queue_put(p.queue, queued);
            if (finished)
                break;
        }
        if (!finished)
            queue_end_of_file(p, job);
        file_close(in);
        return rc;
    }
    file_close(in);
    if (rc != 0)
        file_mark_failed(out, last_reported_text());
    file_finish(p, out);
    return rc;
}

Finished compress_job(const CodecJob& job)
{
    OutputFile* out = job.out_file;
    EncodedRecord record{nullptr, 0, nullptr};
    if (!out->failed.load()) {
        const uint64_t capacity = compress_capacity(job.block_size);
        uint8_t* out_buffer = block_alloc(capacity + BUFFER_SLACK);
        if (out_buffer) {
            record = code_block(job, job.in, out_buffer, capacity);
            block_release(record.buffer == job.in ? out_buffer : job.in);
        } else {
            report_error(ERR_MALLOC);
            file_mark_failed(out, last_reported_text());
        }
    }
    if (!record.buffer)
        block_release(job.in);
    return {job.seq, out, record.data, record.length, record.buffer, job.ends_file};
}

} // namespace qrn
