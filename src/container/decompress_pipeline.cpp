#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "codecs/codec_table.h"
#include "container/block_buffers.h"
#include "container/block_coding.h"
#include "container/container_format.h"
#include "container/errors.h"
#include "container/filters.h"
#include "container/pipeline.h"

namespace qrn {

namespace {

// A container's output name: a trailing ".qrn" (any case) is cut from names
// longer than 3 characters.
std::string restored_name(const char* name)
{
    std::string s = name;
    if (has_container_extension(name))
        s.resize(s.size() - 4);
    return s;
}

// How a file failed: its result and the reason printed with its name.
struct Failure {
    int rc = 0;
    std::string reason;
};

// "Decompression error.rc=%d" with the number the format's reader prints.
void fail_reading(Failure* f, int printed, const std::string& reason)
{
    std::fprintf(stderr, "Decompression error.rc=%d\n", printed);
    f->rc = -1;
    f->reason = reason;
}

// A numbered error.
void fail_numbered(Failure* f, int number, const std::string& reason)
{
    f->rc = report_error(number);
    f->reason = reason;
}

std::string read_error_text() { return std::string("read error: ") + error_text(last_error()); }

// Reads a container through a buffer, so that the header and the fields of
// small records cost one read call between them; large payloads go straight
// to their buffers. Where the input's size is known, its end costs no call.
struct InputReader {
    static constexpr int64_t BUFFER = 65536;
    PlatformFile* in;
    int64_t left;          // bytes the file has not yet given (-1: unknown)
    int64_t pos = 0, len = 0;
    uint8_t buffer[BUFFER];

    explicit InputReader(PlatformFile* f) : in(f), left(f->size) {}

    // Reads straight from the file: the bytes read, or -1 on a failure.
    int64_t from_file(uint8_t* dst, int64_t n)
    {
        if (left >= 0 && n > left)
            n = left;
        const int64_t got = file_read_fully(in, dst, n);
        if (got > 0 && left >= 0)
            left -= got;
        return got;
    }

    // Reads up to n bytes: n unless the input ends first; -1 on a failure.
    int64_t read(void* dst, int64_t n)
    {
        auto* out = static_cast<uint8_t*>(dst);
        int64_t done = std::min(n, len - pos);
        std::memcpy(out, buffer + pos, static_cast<size_t>(done));
        pos += done;
        if (done == n)
            return n;
        if (n - done >= BUFFER) {
            const int64_t got = from_file(out + done, n - done);
            return got < 0 ? -1 : done + got;
        }
        if (refill() < 0)
            return -1;
        const int64_t more = std::min(n - done, len);
        std::memcpy(out + done, buffer, static_cast<size_t>(more));
        pos = more;
        return done + more;
    }

    // 1 when another byte follows, 0 at the end, -1 on a failure.
    int more()
    {
        if (pos < len)
            return 1;
        const int64_t got = refill();
        return got < 0 ? -1 : got > 0;
    }

    int64_t refill()
    {
        pos = len = 0;
        const int64_t got = from_file(buffer, BUFFER);
        if (got > 0)
            len = got;
        return got;
    }
};

// One record as read from the container.
struct RecordIn {
    uint8_t flags;
    uint32_t length;    // bytes that follow the fields: P, or the block size when raw
    uint32_t decoded;   // the exact decoded length, when compressed
};

enum class ReadResult { Record, End, Failed };

// Reads a record's flag byte and length fields; `f` says what is wrong when
// something is.
ReadResult read_record_fields(InputReader& in, uint32_t block_size, RecordIn* r, Failure* f)
{
    uint8_t fields[9];
    const int64_t got = in.read(fields, 1);
    if (got == 0)
        return ReadResult::End;
    if (got < 0) {
        fail_reading(f, static_cast<int>(got), read_error_text());
        return ReadResult::Failed;
    }
    r->flags = fields[0];
    r->decoded = block_size;
    r->length = block_size;
    if (block_size == 0) {
        // Only an empty file has no block size, and it has no records.
        fail_numbered(f, ERR_CORRUPT, "damaged: a record where the header says the file is empty");
        return ReadResult::Failed;
    }
    const int64_t field_bytes = record_field_bytes(r->flags);
    if (field_bytes == 0)
        return ReadResult::Record;
    const int64_t n = in.read(fields + 1, field_bytes);
    if (n != field_bytes) {
        fail_reading(f, static_cast<int>(n), n < 0 ? read_error_text() : "truncated: a record's length fields are cut short");
        return ReadResult::Failed;
    }
    if (const char* damage = record_lengths(r->flags, fields + 1, block_size, &r->length, &r->decoded)) {
        fail_numbered(f, ERR_CORRUPT, damage);
        return ReadResult::Failed;
    }
    return ReadResult::Record;
}

// Reads a record's bytes into `buffer` (room for `r.length` + slack). Returns
// the bytes obtained, or -1 with `f` set.
int64_t read_record_data(InputReader& in, const RecordIn& r, uint8_t* buffer, Failure* f)
{
    const int64_t got = in.read(buffer, r.length);
    if (got < 0) {
        fail_reading(f, -1, read_error_text());
        return -1;
    }
    std::memset(buffer + got, 0, BUFFER_SLACK);
    if (r.flags & BLOCK_COMPRESSED) {
        if (got < r.length) {
            std::fprintf(stderr, "RD ERR%d,%d ", static_cast<int>(r.length), static_cast<int>(got));
            fail_reading(f, static_cast<int>(got),
                         "truncated: a record of " + std::to_string(r.length) + " bytes holds " + std::to_string(got));
            return -1;
        }
    } else if (got == 0) {
        // A raw record holds at least one byte.
        fail_numbered(f, ERR_CORRUPT, "truncated: a record ends after its flag byte");
        return -1;
    }
    return got;
}

constexpr const char* CORRUPT_BLOCK = "damaged: a block does not decode (file is corrupted)";

// Decodes a compressed record into `out` and undoes the filter; true when it
// gave exactly its size.
bool decode_record(const CodecJob& job, uint8_t* out)
{
    return block_decode(job_header(job), job.in, job.in_size, out, job.out_limit);
}

// Grows `buffer` to hold at least `bytes`.
bool reserve(uint8_t*& buffer, size_t& capacity, size_t bytes)
{
    if (bytes <= capacity)
        return true;
    block_release(buffer);
    capacity = 0;
    buffer = block_alloc(bytes);
    if (!buffer)
        return false;
    capacity = bytes;
    return true;
}

} // namespace

int decompress_file(Pipeline& p, const char* in_name, const char* out_name)
{
    PlatformFile* in = open_input(p, in_name);
    if (!in)
        return -1;
    auto reader = std::make_unique<InputReader>(in);
    uint8_t header[HEADER_SIZE];
    errno = 0;
    const int64_t header_bytes = reader->read(header, HEADER_SIZE);
    if (header_bytes != HEADER_SIZE) {
        const int rc = report_read_failure();
        print_file_failure(in_name, header_bytes < 0 ? last_reported_text() : "not a container: shorter than its header");
        file_close(in);
        return rc;
    }
    if (!header_magic_ok(header)) {
        std::fprintf(stderr, "'%s' not qrn file\n", in_name);
        file_close(in);
        return report_error(ERR_HEADER);
    }
    CodecJob job{};
    header_decode(header, &job);
    job.seq = 0;
    const IntegrityFields fields = integrity_decode(header);
    const char* refusal = nullptr;
    if (fields.state == INTEGRITY_PENDING)
        refusal = "incomplete: its compression did not finish";
    else if (fields.state != INTEGRITY_NONE && fields.state != INTEGRITY_COMPLETE && fields.state != INTEGRITY_LENGTH)
        refusal = "damaged header: unknown integrity state";
    else if (!decoder_for(job.method) || !bsize_code_valid(job.bsize_code))
        refusal = "damaged header";
    if (refusal) {
        file_close(in);
        const int rc = report_error(ERR_CORRUPT);
        print_file_failure(in_name, refusal);
        return rc;
    }
    job.block_size = static_cast<uint32_t>(bsize_decode(job.bsize_code));
    job.in_file = in;

    const std::string name = restored_name(out_name);
    OutputFile* out = open_output(p, in, in_name, name.c_str());
    if (!out) {
        file_close(in);
        return FILE_CREATE_FAILED;
    }
    job.out_file = out;
    out->fields = fields;
    Failure f;
    if (fields.state == INTEGRITY_COMPLETE) {
        out->hash = content_hash_new();
        if (!out->hash)
            fail_numbered(&f, ERR_MALLOC, "malloc error");
    }

    const bool threaded = p.thread_count > 0;
    uint8_t* in_buffer = nullptr;
    uint8_t* out_buffer = nullptr;
    size_t in_capacity = 0, out_capacity = 0;
    bool previous_short = false;
    bool finished = false;  // the file's last record was queued, and finishes it
    while (f.rc == 0) {
        RecordIn r;
        const ReadResult rr = read_record_fields(*reader, job.block_size, &r, &f);
        if (rr == ReadResult::End)
            break;
        if (rr == ReadResult::Failed)
            break;
        if (previous_short) {
            // Only the last block may be shorter than the block size.
            fail_numbered(&f, ERR_CORRUPT, "damaged: a record follows the short last one");
            break;
        }
        uint8_t* buffer;
        if (threaded) {
            buffer = block_alloc(r.length + BUFFER_SLACK);
        } else {
            buffer = reserve(in_buffer, in_capacity, r.length + size_t(BUFFER_SLACK)) ? in_buffer : nullptr;
        }
        if (!buffer) {
            report_error(ERR_MALLOC);
            fail_reading(&f, -ERR_MALLOC, "malloc error");
            break;
        }
        const int64_t got = read_record_data(*reader, r, buffer, &f);
        if (got < 0) {
            if (threaded)
                block_release(buffer);
            break;
        }
        CodecJob cj = job;
        cj.block_flags = r.flags;
        cj.in = buffer;
        cj.in_size = static_cast<uint32_t>(got);
        cj.out_limit = (r.flags & BLOCK_COMPRESSED) ? r.decoded : cj.in_size;
        previous_short = cj.out_limit < job.block_size;

        if (threaded) {
            // A record with nothing behind it ends the file: its worker
            // finishes the output, and no job of its own is needed for that.
            const int more = reader->more();
            cj.ends_file = finished = more == 0;
            cj.seq = p.job_seq_counter++;
            queue_put(p.queue, cj);
            if (finished)
                break;
            if (more < 0) {
                fail_reading(&f, -1, read_error_text());
                break;
            }
            if (out->failed.load()) {
                // A worker failed a block and said why; read no further.
                f.rc = -1;
                break;
            }
            continue;
        }

        uint8_t* data = buffer;
        if (r.flags & BLOCK_COMPRESSED) {
            if (!reserve(out_buffer, out_capacity, cj.out_limit + size_t(BUFFER_SLACK))) {
                report_error(ERR_MALLOC);
                fail_reading(&f, -ERR_MALLOC, "malloc error");
                break;
            }
            if (!decode_record(cj, out_buffer)) {
                fail_numbered(&f, ERR_CORRUPT, CORRUPT_BLOCK);
                break;
            }
            data = out_buffer;
        } else {
            block_unfilter_raw(job_header(cj), data, cj.out_limit);
        }
        if (!output_restored(out, data, cj.out_limit)) {
            fail_reading(&f, -ERR_WRITE, out->reason);
            break;
        }
    }
    block_release(in_buffer);
    block_release(out_buffer);
    file_close(in);
    if (f.rc != 0 && !f.reason.empty())
        file_mark_failed(out, f.reason);
    if (!threaded)
        file_finish(p, out);
    else if (!finished)
        queue_end_of_file(p, job);
    return f.rc;
}

Finished decompress_job(const CodecJob& job)
{
    OutputFile* out = job.out_file;
    uint8_t* data = job.in;
    bool ok = !out->failed.load();
    if (ok && (job.block_flags & BLOCK_COMPRESSED)) {
        data = block_alloc(job.out_limit + size_t(BUFFER_SLACK));
        const char* reason = nullptr;
        if (!data) {
            report_error(ERR_MALLOC);
            reason = "malloc error";
        } else if (!decode_record(job, data)) {
            report_error(ERR_CORRUPT);
            reason = CORRUPT_BLOCK;
        }
        block_release(job.in);
        if (reason) {
            block_release(data);
            data = nullptr;
            ok = false;
            file_mark_failed(out, reason);
        }
    }
    if (ok && !(job.block_flags & BLOCK_COMPRESSED))
        block_unfilter_raw(job_header(job), data, job.out_limit);
    return {job.seq, out, ok ? data : nullptr, job.out_limit, data, job.ends_file};
}

} // namespace qrn
