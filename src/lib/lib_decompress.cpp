// Decompression: the one-call function, contexts and streams.
#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/codec_call.h"
#include "container/block_buffers.h"
#include "container/checksum.h"
#include "lib/lib_internal.h"

using namespace qrn;

namespace {

// Raw records of a container without a recorded length are as long as the
// input says; their buffer starts at this size and grows.
constexpr size_t RAW_START = size_t{64} << 10;

// A container being restored: its header, the record being read, the
// records in flight and the restored block going out.
struct RestoreStream {
    uint8_t header[HEADER_SIZE] = {};
    uint32_t header_got = 0;
    bool header_done = false;
    ContainerHeader h;
    uint32_t block_size = 0;
    bool recorded = false;            // the header records the length
    ContentHashPtr hash;              // kept when it records the checksum too
    // The record being read; front_got 0: between records.
    uint8_t front[RECORD_FRONT_SHORT] = {};
    int front_got = 0;
    bool front_read = false;
    RecordFront rec;
    uint8_t* buffer = nullptr;
    size_t capacity = 0;              // bytes of data the buffer holds (slack beyond)
    uint32_t got = 0, want = 0;
    bool want_exact = true;           // false: a raw record that may end early
    bool previous_short = false;
    uint64_t scheduled = 0;           // bytes the records read so far restore to
    std::vector<BlockJob*> inflight;
    BlockJob* draining = nullptr;
    uint32_t drain_pos = 0;
    uint64_t consumed = 0, restored = 0;   // progress totals
};

} // namespace

struct qrn_dctx_s {
    int threads = 0;
    uint64_t memory_limit = 0;
    qrn_progress_fn progress = nullptr;
    void* user = nullptr;
    Workers workers;
    RestoreStream s;
};

namespace {

void container_drop(qrn_dctx* d)
{
    RestoreStream& s = d->s;
    jobs_drop(d->workers, s.inflight, s.draining);
    block_release(s.buffer);
    s = RestoreStream{};
}

size_t container_fail(qrn_dctx* d, qrn_error_code code)
{
    container_drop(d);
    return lib_error(code);
}

// Counts a record's restored bytes into the checksum.
void track(RestoreStream& s, const uint8_t* data, size_t n)
{
    if (s.hash)
        content_hash_update(s.hash.get(), data, n);
    s.restored += n;
}

void record_done(qrn_dctx* d, BlockJob* j)
{
    d->s.consumed += j->record_bytes;
    if (d->progress)
        d->progress(d->user, d->s.consumed, d->s.restored);
    block_job_free(j);
}

qrn_error_code header_take(qrn_dctx* d)
{
    RestoreStream& s = d->s;
    switch (container_header_decode(s.header, &s.h)) {
    case HeaderCheck::Ok: break;
    case HeaderCheck::NotContainer: return QRN_ERROR_NOT_CONTAINER;
    case HeaderCheck::Incomplete: return QRN_ERROR_INCOMPLETE;
    case HeaderCheck::UnknownState:
    case HeaderCheck::Damaged: return QRN_ERROR_DAMAGED;
    }
    s.block_size = header_block_size(s.h);
    s.recorded = s.h.fields.state == INTEGRITY_COMPLETE || s.h.fields.state == INTEGRITY_LENGTH;
    if (s.h.fields.state == INTEGRITY_COMPLETE && !(s.hash = content_hash_new()))
        return QRN_ERROR_MEMORY;
    lib_prepare_decoding();
    if (!workers_start(d->workers, d->threads))
        return QRN_ERROR_THREAD;
    s.header_done = true;
    s.consumed = HEADER_SIZE;
    return QRN_OK;
}

// Grows the record buffer to hold `bytes` (and slack), keeping what it holds.
// An empty record gets a buffer too: its slack is cleared and given to the codec.
bool buffer_reserve(RestoreStream& s, size_t bytes)
{
    if (s.buffer && bytes <= s.capacity)
        return true;
    uint8_t* grown = block_alloc(bytes + BUFFER_SLACK);
    if (!grown)
        return false;
    if (s.buffer)
        std::memcpy(grown, s.buffer, s.got);
    block_release(s.buffer);
    s.buffer = grown;
    s.capacity = bytes;
    return true;
}

// Sets up the buffer for the record whose front was just read.
qrn_error_code record_open(qrn_dctx* d, size_t available)
{
    RestoreStream& s = d->s;
    // Only an empty file has no block size, and it has no records.
    if (s.block_size == 0 || record_front_decode(s.front, s.block_size, &s.rec))
        return QRN_ERROR_DAMAGED;
    // Only the last block may be shorter than the block size.
    if (s.previous_short)
        return QRN_ERROR_DAMAGED;
    size_t first;
    if (s.rec.flags & BLOCK_COMPRESSED) {
        if (s.recorded && s.scheduled + s.rec.decoded > s.h.fields.length)
            return QRN_ERROR_LENGTH;
        if (d->memory_limit && s.rec.decoded > d->memory_limit)
            return QRN_ERROR_MEMORY;
        s.want = s.rec.payload;
        first = s.want;
    } else {
        s.want = s.block_size;
        s.want_exact = s.recorded;
        if (s.recorded)
            s.want = static_cast<uint32_t>(std::min<uint64_t>(s.want, s.h.fields.length - s.scheduled));
        first = s.want_exact ? s.want : std::min<size_t>(s.want, std::max(available, RAW_START));
    }
    if (d->memory_limit && first > d->memory_limit)
        return QRN_ERROR_MEMORY;
    s.front_read = true;
    return buffer_reserve(s, first) ? QRN_OK : QRN_ERROR_MEMORY;
}

// Hands the record read to the workers (or decodes it here).
void record_submit(qrn_dctx* d, qrn_out_buffer* out)
{
    RestoreStream& s = d->s;
    std::memset(s.buffer + s.got, 0, BUFFER_SLACK);
    auto* j = new BlockJob;
    j->run = block_job_restore;
    j->h = s.h;
    j->flags = s.rec.flags;
    j->in = s.buffer;
    j->in_size = s.got;
    j->decoded = (s.rec.flags & BLOCK_COMPRESSED) ? s.rec.decoded : s.got;
    j->record_bytes = static_cast<uint64_t>(s.front_got) + s.got;
    // On the caller's thread, with nothing ahead of it, a block whose
    // restored bytes (and the codec's slack) fit decodes straight into `out`.
    if (d->workers.threads.empty() && (j->flags & BLOCK_COMPRESSED) && !s.draining && s.inflight.empty() &&
        out->size - out->pos >= size_t{j->decoded} + BUFFER_SLACK)
        j->direct = static_cast<uint8_t*>(out->dst) + out->pos;
    s.previous_short = j->decoded < s.block_size;
    s.scheduled += j->decoded;
    s.buffer = nullptr;
    s.capacity = 0;
    s.got = s.want = 0;
    s.want_exact = true;
    s.front_got = 0;
    s.front_read = false;
    s.inflight.push_back(j);
    workers_submit(d->workers, j);
}

} // namespace

extern "C" {

qrn_dctx* qrn_dctx_create(void) { return new (std::nothrow) qrn_dctx; }

void qrn_dctx_free(qrn_dctx* dctx)
{
    if (!dctx)
        return;
    container_drop(dctx);
    workers_stop(dctx->workers);
    delete dctx;
}

void qrn_dctx_reset(qrn_dctx* dctx) { container_drop(dctx); }

void qrn_dctx_set_progress(qrn_dctx* dctx, qrn_progress_fn fn, void* user)
{
    dctx->progress = fn;
    dctx->user = user;
}

size_t qrn_dctx_set(qrn_dctx* dctx, qrn_param param, long long value)
{
    if (dctx->s.header_got > 0)
        return lib_error(QRN_ERROR_STAGE);
    if (param == QRN_P_THREADS) {
        if (value < 0 || value > LIB_MAX_THREADS)
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        dctx->threads = static_cast<int>(value);
        return 0;
    }
    if (param == QRN_P_MEMORY_LIMIT) {
        if (value < 0)
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        dctx->memory_limit = static_cast<uint64_t>(value);
        return 0;
    }
    return lib_error(QRN_ERROR_UNSUPPORTED);
}

size_t qrn_decompress_stream(qrn_dctx* dctx, qrn_out_buffer* out, qrn_in_buffer* in, qrn_end_directive end)
{
    qrn_dctx* d = dctx;
    RestoreStream& s = d->s;
    if (out->pos > out->size || in->pos > in->size)
        return lib_error(QRN_ERROR_PARAMETER_RANGE);
    const auto* src = static_cast<const uint8_t*>(in->src);
    auto take = [&](uint8_t* to, size_t want) {
        const size_t n = std::min(want, in->size - in->pos);
        std::memcpy(to, src + in->pos, n);
        in->pos += n;
        return n;
    };
    const bool ending = end == QRN_E_END;
    const size_t limit = static_cast<size_t>(d->threads) + 1;
    for (;;) {
        // Restored bytes go out in order.
        if (BlockJob* j = s.draining) {
            const size_t n = std::min<size_t>(j->length - s.drain_pos, out->size - out->pos);
            std::memcpy(static_cast<uint8_t*>(out->dst) + out->pos, j->data + s.drain_pos, n);
            track(s, j->data + s.drain_pos, n);
            out->pos += n;
            s.drain_pos += static_cast<uint32_t>(n);
            if (s.drain_pos < j->length)
                return 1;
            s.draining = nullptr;
            record_done(d, j);
        }
        if (!s.inflight.empty() && workers_done(d->workers, s.inflight.front())) {
            BlockJob* j = s.inflight.front();
            s.inflight.erase(s.inflight.begin());
            if (j->error != QRN_OK) {
                const qrn_error_code e = j->error;
                block_job_free(j);
                return container_fail(d, e);
            }
            if (j->direct) {
                track(s, j->direct, j->length);
                out->pos += j->length;
                record_done(d, j);
            } else {
                s.draining = j;
                s.drain_pos = 0;
            }
            continue;
        }
        if (!s.header_done) {
            s.header_got += static_cast<uint32_t>(take(s.header + s.header_got, HEADER_SIZE - s.header_got));
            if (s.header_got >= 4 && !header_magic_ok(s.header))
                return container_fail(d, QRN_ERROR_NOT_CONTAINER);
            if (s.header_got < HEADER_SIZE) {
                if (ending)
                    return container_fail(d, s.header_got >= 4 ? QRN_ERROR_TRUNCATED : QRN_ERROR_NOT_CONTAINER);
                return HEADER_SIZE - s.header_got;
            }
            if (qrn_error_code e = header_take(d))
                return container_fail(d, e);
            continue;
        }
        if (s.front_got == 0) {
            // Between records: the container may end here.
            const bool length_reached = s.recorded && s.scheduled == s.h.fields.length;
            const bool input_ended = !s.recorded && ending && in->pos == in->size;
            if (length_reached || input_ended) {
                if (!s.inflight.empty()) {
                    workers_wait(d->workers, s.inflight.front());
                    continue;
                }
                if (s.hash && content_hash_low32(s.hash.get()) != s.h.fields.checksum)
                    return container_fail(d, QRN_ERROR_CHECKSUM);
                container_drop(d);
                return 0;
            }
            if (s.inflight.size() >= limit) {
                workers_wait(d->workers, s.inflight.front());
                continue;
            }
            if (in->pos == in->size)
                return ending ? container_fail(d, QRN_ERROR_TRUNCATED) : 1;
            s.front[0] = src[in->pos++];
            s.front_got = 1;
            // Only an empty file has no block size, and it has no records.
            if (s.block_size == 0)
                return container_fail(d, QRN_ERROR_DAMAGED);
        }
        const int front_bytes = record_front_bytes(s.front[0]);
        if (s.front_got < front_bytes) {
            s.front_got += static_cast<int>(take(s.front + s.front_got, static_cast<size_t>(front_bytes - s.front_got)));
            if (s.front_got < front_bytes) {
                if (ending)
                    return container_fail(d, QRN_ERROR_TRUNCATED);
                return static_cast<size_t>(front_bytes - s.front_got);
            }
        }
        if (!s.front_read) {
            if (qrn_error_code e = record_open(d, in->size - in->pos))
                return container_fail(d, e);
        }
        if (s.got < s.want) {
            size_t n = std::min<size_t>(s.want - s.got, in->size - in->pos);
            if (!s.want_exact && s.got + n > s.capacity) {
                const size_t grown = std::min<size_t>(s.want, std::max(s.capacity * 2, s.got + n));
                if ((d->memory_limit && grown > d->memory_limit) || !buffer_reserve(s, grown))
                    return container_fail(d, QRN_ERROR_MEMORY);
            }
            n = take(s.buffer + s.got, n);
            s.got += static_cast<uint32_t>(n);
            if (s.got < s.want) {
                if (!ending)
                    return s.want - s.got;
                // A raw record of a container without a recorded length may
                // end early (the last one); it holds at least one byte.
                if (s.want_exact || s.got == 0)
                    return container_fail(d, QRN_ERROR_TRUNCATED);
            }
        }
        record_submit(d, out);
    }
}

unsigned long long qrn_content_size(const void* src, size_t src_size)
{
    if (src_size < HEADER_SIZE)
        return QRN_CONTENTSIZE_ERROR;
    ContainerHeader h;
    if (container_header_decode(static_cast<const uint8_t*>(src), &h) != HeaderCheck::Ok)
        return QRN_CONTENTSIZE_ERROR;
    return h.fields.state == INTEGRITY_NONE ? QRN_CONTENTSIZE_UNKNOWN : h.fields.length;
}

size_t qrn_decompress(void* dst, size_t dst_capacity, const void* src, size_t src_size)
{
    qrn_dctx d;
    qrn_out_buffer out{dst, dst_capacity, 0};
    qrn_in_buffer in{src, src_size, 0};
    const size_t r = qrn_decompress_stream(&d, &out, &in, QRN_E_END);
    container_drop(&d);
    if (qrn_is_error(r))
        return r;
    // With all the input given, only a full destination stops it early.
    if (r != 0)
        return lib_error(QRN_ERROR_DST_TOO_SMALL);
    // Bytes behind a container that ends at its recorded length would be
    // read as more of it.
    if (in.pos != in.size)
        return lib_error(QRN_ERROR_LENGTH);
    return out.pos;
}

} // extern "C"
