#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "codecs/codec_call.h"
#include "container/block_buffers.h"
#include "container/block_coding.h"
#include "container/container_format.h"
#include "pipeline/errors.h"
#include "container/filters.h"
#include "pipeline/pipeline.h"

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

// How a file failed, and where to say so.
struct Failure {
    const MessageSink& sink;
    Status status;
};

// "Decompression error.rc=%d" with the number the format's reader prints.
void fail_reading(Failure* f, int printed, StatusCode code, const std::string& reason)
{
    Message m{MessageKind::ReadFailed};
    m.number = printed;
    message_say(f->sink, m);
    f->status = status_failed(code, reason);
}

// A numbered error, and the reason given with the file's name.
void fail_numbered(Failure* f, int number, StatusCode code, const std::string& reason)
{
    f->status = report_error(f->sink, number);
    f->status.code = code;
    f->status.reason = reason;
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

    // Bytes the input still holds, where its size is known; -1 otherwise.
    int64_t known_left() const { return left < 0 ? -1 : left + (len - pos); }

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

enum class ReadResult { Record, End, Failed };

// Reads a record's flag byte and length fields; `f` says what is wrong when
// something is.
ReadResult read_record_front(InputReader& in, uint32_t block_size, RecordFront* r, Failure* f)
{
    uint8_t front[RECORD_FRONT_SHORT];
    const int64_t got = in.read(front, 1);
    if (got == 0)
        return ReadResult::End;
    if (got < 0) {
        fail_reading(f, static_cast<int>(got), StatusCode::Io, read_error_text());
        return ReadResult::Failed;
    }
    if (block_size == 0) {
        // Only an empty file has no block size, and it has no records.
        fail_numbered(f, ERR_CORRUPT, StatusCode::Damaged, "damaged: a record where the header says the file is empty");
        return ReadResult::Failed;
    }
    const int64_t field_bytes = record_field_bytes(front[0]);
    const int64_t n = field_bytes > 0 ? in.read(front + 1, field_bytes) : 0;
    if (n != field_bytes) {
        if (n < 0)
            fail_reading(f, static_cast<int>(n), StatusCode::Io, read_error_text());
        else
            fail_reading(f, static_cast<int>(n), StatusCode::Truncated, "truncated: a record's length fields are cut short");
        return ReadResult::Failed;
    }
    if (const char* damage = record_front_decode(front, block_size, r)) {
        fail_numbered(f, ERR_CORRUPT, StatusCode::Damaged, damage);
        return ReadResult::Failed;
    }
    return ReadResult::Record;
}

// Reads a record's bytes into `buffer` (room for `r.payload` + slack).
// Returns the bytes obtained, or -1 with `f` set.
int64_t read_record_data(InputReader& in, const RecordFront& r, uint8_t* buffer, Failure* f)
{
    const int64_t got = in.read(buffer, r.payload);
    if (got < 0) {
        fail_reading(f, -1, StatusCode::Io, read_error_text());
        return -1;
    }
    std::memset(buffer + got, 0, BUFFER_SLACK);
    if (r.flags & BLOCK_COMPRESSED) {
        if (got < r.payload) {
            Message m{MessageKind::RecordShort};
            m.number = static_cast<int>(r.payload);
            m.got = static_cast<int>(got);
            message_say(f->sink, m);
            fail_reading(f, static_cast<int>(got), StatusCode::Truncated,
                         "truncated: a record of " + std::to_string(r.payload) + " bytes holds " + std::to_string(got));
            return -1;
        }
    } else if (got == 0) {
        // A raw record holds at least one byte.
        fail_numbered(f, ERR_CORRUPT, StatusCode::Truncated, "truncated: a record ends after its flag byte");
        return -1;
    }
    return got;
}

constexpr const char* CORRUPT_BLOCK = "damaged: a block does not decode (file is corrupted)";

// Grows `buffer` to hold at least `bytes`, keeping its first `used` bytes.
bool grow(uint8_t*& buffer, size_t& capacity, size_t used, size_t bytes)
{
    if (bytes <= capacity)
        return true;
    uint8_t* old = buffer;
    if (used == 0) {
        block_release(old);
        old = nullptr;
    }
    buffer = block_alloc(bytes);
    capacity = buffer ? bytes : 0;
    if (buffer && used)
        std::memcpy(buffer, old, used);
    block_release(old);
    return buffer != nullptr;
}

// Reads a raw record, which holds up to `limit` bytes (the block size) and
// ends a short last block where the input ends. The buffer holds what the
// input is known to have left, or, from a pipe, grows from 1 MiB as bytes
// arrive: a short record never costs a buffer of the block size. Returns the
// bytes read, or -1 with `f` set.
int64_t read_raw_record(InputReader& in, uint32_t limit, uint8_t*& buffer, size_t& capacity, Failure* f)
{
    constexpr int64_t FIRST_STEP = int64_t{1} << 20;
    const int64_t known = in.known_left();
    int64_t want = std::min<int64_t>(limit, known >= 0 ? known : FIRST_STEP);
    int64_t got = 0;
    for (;;) {
        if (!grow(buffer, capacity, static_cast<size_t>(got), static_cast<size_t>(want) + BUFFER_SLACK)) {
            report_error(f->sink, ERR_MALLOC);
            fail_reading(f, -ERR_MALLOC, StatusCode::Memory, "malloc error");
            return -1;
        }
        const int64_t n = in.read(buffer + got, want - got);
        if (n < 0) {
            fail_reading(f, -1, StatusCode::Io, read_error_text());
            return -1;
        }
        got += n;
        if (got < want || want == limit || known >= 0)
            break;
        want = std::min<int64_t>(limit, want * 2);
    }
    if (got == 0) {
        // A raw record holds at least one byte.
        fail_numbered(f, ERR_CORRUPT, StatusCode::Truncated, "truncated: a record ends after its flag byte");
        return -1;
    }
    std::memset(buffer + got, 0, BUFFER_SLACK);
    return got;
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

Status decompress_file(Pipeline& p, const char* in_name, const char* out_name)
{
    return decompress_file_at(p, place_of_path(in_name), place_of_path(out_name));
}

Status decompress_file_at(Pipeline& p, const FilePlace& in_place, const FilePlace& out_place)
{
    const char* in_name = in_place.path.c_str();
    Status st;
    PlatformFile* in = open_input(p, in_place, &st);
    if (!in)
        return st;
    auto reader = std::make_unique<InputReader>(in);
    uint8_t header[HEADER_SIZE];
    errno = 0;
    const int64_t header_bytes = reader->read(header, HEADER_SIZE);
    if (header_bytes != HEADER_SIZE) {
        st = report_read_failure(p.messages);
        if (header_bytes >= 0) {
            st.code = StatusCode::NotContainer;
            st.reason = "not a container: shorter than its header";
        }
        say_file_failure(p.messages, in_name, st.reason);
        file_close(in);
        return st;
    }
    ContainerHeader h;
    const char* refusal = nullptr;
    StatusCode refused = StatusCode::Damaged;
    switch (container_header_decode(header, &h)) {
    case HeaderCheck::Ok: break;
    case HeaderCheck::NotContainer: {
        Message m{MessageKind::NotContainer};
        m.name = in_name;
        message_say(p.messages, m);
        file_close(in);
        return report_error(p.messages, ERR_HEADER);
    }
    case HeaderCheck::Incomplete:
        refusal = "incomplete: its compression did not finish";
        refused = StatusCode::Incomplete;
        break;
    case HeaderCheck::UnknownState: refusal = "damaged header: unknown integrity state"; break;
    case HeaderCheck::Damaged: refusal = "damaged header"; break;
    }
    if (refusal) {
        file_close(in);
        st = report_error(p.messages, ERR_CORRUPT);
        st.code = refused;
        st.reason = refusal;
        say_file_failure(p.messages, in_name, refusal);
        return st;
    }
    const uint32_t block_size = header_block_size(h);

    FilePlace restored = out_place;
    restored.name = restored_name(out_place.name.c_str());
    restored.path = restored_name(out_place.path.c_str());
    OutputFile* out = open_output(p, in, in_name, restored);
    if (!out)
        return output_refused(in);
    out->header = h;
    Failure f{p.messages, {}};
    if (h.fields.state == INTEGRITY_COMPLETE) {
        out->hash = content_hash_new();
        if (!out->hash)
            fail_numbered(&f, ERR_MALLOC, StatusCode::Memory, "malloc error");
    }

    const bool threaded = p.thread_count > 0;
    uint8_t* in_buffer = nullptr;
    uint8_t* out_buffer = nullptr;
    size_t in_capacity = 0, out_capacity = 0;
    bool previous_short = false;
    bool finished = false;  // the file's last record was queued, and finishes it
    while (f.status.ok()) {
        RecordFront r;
        const ReadResult rr = read_record_front(*reader, block_size, &r, &f);
        if (rr == ReadResult::End)
            break;
        if (rr == ReadResult::Failed)
            break;
        if (previous_short) {
            // Only the last block may be shorter than the block size.
            fail_numbered(&f, ERR_CORRUPT, StatusCode::Damaged, "damaged: a record follows the short last one");
            break;
        }
        uint8_t* buffer;
        int64_t got;
        if (!(r.flags & BLOCK_COMPRESSED)) {
            size_t capacity = threaded ? 0 : in_capacity;
            buffer = threaded ? nullptr : in_buffer;
            got = read_raw_record(*reader, r.payload, buffer, capacity, &f);
            if (!threaded) {
                in_buffer = buffer;
                in_capacity = capacity;
            }
        } else {
            if (threaded) {
                buffer = block_alloc(r.payload + BUFFER_SLACK);
            } else {
                buffer = reserve(in_buffer, in_capacity, r.payload + size_t(BUFFER_SLACK)) ? in_buffer : nullptr;
            }
            if (!buffer) {
                report_error(p.messages, ERR_MALLOC);
                fail_reading(&f, -ERR_MALLOC, StatusCode::Memory, "malloc error");
                break;
            }
            got = read_record_data(*reader, r, buffer, &f);
        }
        if (got < 0) {
            if (threaded)
                block_release(buffer);
            break;
        }
        QueuedBlock b;
        b.out = out;
        b.flags = r.flags;
        b.in = buffer;
        b.in_size = static_cast<uint32_t>(got);
        b.out_size = (r.flags & BLOCK_COMPRESSED) ? r.decoded : b.in_size;
        previous_short = b.out_size < block_size;
        p.read_bytes += b.in_size;

        if (threaded) {
            // A record with nothing behind it ends the file: its worker
            // finishes the output, and no block of its own is needed for that.
            const int more = reader->more();
            b.ends_file = finished = more == 0;
            b.seq = p.job_seq_counter++;
            queue_put(p.queue, b);
            if (finished)
                break;
            if (more < 0) {
                fail_reading(&f, -1, StatusCode::Io, read_error_text());
                break;
            }
            if (out->failed.load()) {
                // A worker failed a block and said why; read no further.
                f.status = file_failure(out);
                break;
            }
            continue;
        }

        uint8_t* data = buffer;
        if (r.flags & BLOCK_COMPRESSED) {
            if (!reserve(out_buffer, out_capacity, b.out_size + size_t(BUFFER_SLACK))) {
                report_error(p.messages, ERR_MALLOC);
                fail_reading(&f, -ERR_MALLOC, StatusCode::Memory, "malloc error");
                break;
            }
            if (!block_decode(h, b.in, b.in_size, out_buffer, b.out_size)) {
                fail_numbered(&f, ERR_CORRUPT, StatusCode::Damaged, CORRUPT_BLOCK);
                break;
            }
            data = out_buffer;
        } else {
            block_unfilter_raw(h, data, b.out_size);
        }
        p.coded_bytes.fetch_add(b.in_size, std::memory_order_relaxed);
        if (!output_restored(out, data, b.out_size)) {
            fail_reading(&f, -ERR_WRITE, StatusCode::Io, file_failure(out).reason);
            break;
        }
    }
    block_release(in_buffer);
    block_release(out_buffer);
    file_close(in);
    if (!f.status.ok())
        file_mark_failed(out, f.status);
    if (!threaded)
        file_finish(p, out);
    else if (!finished)
        queue_end_of_file(p, out);
    return f.status;
}

Finished decompress_block(const QueuedBlock& b, BlockProgress*)
{
    OutputFile* out = b.out;
    uint8_t* data = b.in;
    bool ok = !out->failed.load();
    if (ok && (b.flags & BLOCK_COMPRESSED)) {
        data = block_alloc(b.out_size + size_t(BUFFER_SLACK));
        Status st;
        if (!data) {
            st = report_error(*out->messages, ERR_MALLOC);
        } else if (!block_decode(out->header, b.in, b.in_size, data, b.out_size)) {
            st = report_error(*out->messages, ERR_CORRUPT);
            st.reason = CORRUPT_BLOCK;
        }
        block_release(b.in);
        if (!st.ok()) {
            block_release(data);
            data = nullptr;
            ok = false;
            file_mark_failed(out, st);
        }
    }
    if (ok && !(b.flags & BLOCK_COMPRESSED))
        block_unfilter_raw(out->header, data, b.out_size);
    return {b.seq, out, ok ? data : nullptr, b.out_size, data, b.ends_file};
}

} // namespace qrn
