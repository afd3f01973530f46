// Compression: the one-call function, contexts and streams.
#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/codec_call.h"
#include "codecs/codec_plan.h"
#include "container/block_buffers.h"
#include "container/checksum.h"
#include "container/filters.h"
#include "lib/lib_internal.h"

using namespace qrn;

namespace {

// A stream in progress: the block being filled, the blocks in flight, and
// what is waiting for room in the caller's buffer (the header, then at most
// one record).
struct CompressStream {
    bool active = false;
    ContainerHeader h;
    uint32_t block_size = 0;
    int64_t pledged = -1;
    bool header_queued = false;   // false: it goes out complete, with the one record
    ContentHashPtr hash;          // when the header goes out complete
    uint8_t header[HEADER_SIZE] = {};
    uint32_t header_pos = HEADER_SIZE, header_end = HEADER_SIZE;
    uint8_t* fill = nullptr;      // the block being filled, data at +1
    uint32_t filled = 0;
    uint64_t taken = 0;           // input bytes taken
    std::vector<BlockJob*> inflight;
    BlockJob* draining = nullptr; // the record going out
    uint32_t drain_pos = 0;
    uint64_t consumed = 0, produced = 0;   // progress totals
};

} // namespace

struct qrn_cctx_s {
    LibParams params;
    qrn_progress_fn progress = nullptr;
    void* user = nullptr;
    Workers workers;
    CompressStream s;
};

namespace {

void stream_drop(qrn_cctx* c)
{
    CompressStream& s = c->s;
    jobs_drop(c->workers, s.inflight, s.draining);
    block_release(s.fill);
    s = CompressStream{};
}

size_t stream_fail(qrn_cctx* c, qrn_error_code code)
{
    stream_drop(c);
    return lib_error(code);
}

// Starts the workers a context's parameters ask for.
qrn_error_code prepare(qrn_cctx* c, const ContainerHeader& h)
{
    lib_prepare_encoding(h.method, h.level);
    return workers_start(c->workers, c->params.threads) ? QRN_OK : QRN_ERROR_THREAD;
}

size_t stream_start(qrn_cctx* c)
{
    CompressStream& s = c->s;
    s.pledged = c->params.pledged;
    if (qrn_error_code e = lib_settings(c->params, s.pledged, &s.h))
        return lib_error(e);
    if (qrn_error_code e = prepare(c, s.h))
        return lib_error(e);
    s.block_size = header_block_size(s.h);
    // Unknown size: no fields, as into a pipe. One block: the header goes
    // out complete with it. More: the length alone, known from the start.
    if (s.pledged >= 0 && static_cast<uint64_t>(s.pledged) <= s.block_size) {
        s.hash = content_hash_new();
        if (!s.hash)
            return lib_error(QRN_ERROR_MEMORY);
    } else {
        if (s.pledged >= 0) {
            s.h.fields.state = INTEGRITY_LENGTH;
            s.h.fields.length = static_cast<uint64_t>(s.pledged);
        }
        container_header_encode(s.h, s.header);
        s.header_pos = 0;
        s.header_queued = true;
        s.produced = HEADER_SIZE;
    }
    s.active = true;
    return 0;
}

// Queues the complete header of a one-block stream.
void queue_complete_header(CompressStream& s)
{
    s.h.fields.state = INTEGRITY_COMPLETE;
    s.h.fields.length = s.taken;
    s.h.fields.checksum = content_hash_low32(s.hash.get());
    container_header_encode(s.h, s.header);
    s.header_pos = 0;
    s.header_queued = true;
}

// Copies what waits into `out`; true when nothing is left waiting.
bool drain(CompressStream& s, qrn_out_buffer* out)
{
    auto put = [&](const uint8_t* from, uint32_t& pos, uint32_t end) {
        const size_t n = std::min<size_t>(end - pos, out->size - out->pos);
        std::memcpy(static_cast<uint8_t*>(out->dst) + out->pos, from + pos, n);
        out->pos += n;
        pos += static_cast<uint32_t>(n);
        return pos == end;
    };
    if (!put(s.header, s.header_pos, s.header_end))
        return false;
    if (s.draining && put(s.draining->data, s.drain_pos, s.draining->length)) {
        block_job_free(s.draining);
        s.draining = nullptr;
    }
    return !s.draining;
}

size_t waiting_bytes(const CompressStream& s)
{
    size_t n = s.header_end - s.header_pos;
    if (s.draining)
        n += s.draining->length - s.drain_pos;
    return n + (s.inflight.empty() ? 0 : 1);
}

// Takes the oldest block in flight (waiting for it) as the record to send.
qrn_error_code deliver(qrn_cctx* c)
{
    CompressStream& s = c->s;
    BlockJob* j = s.inflight.front();
    workers_wait(c->workers, j);
    s.inflight.erase(s.inflight.begin());
    if (j->error != QRN_OK) {
        const qrn_error_code e = j->error;
        block_job_free(j);
        return e;
    }
    if (!s.header_queued) {
        queue_complete_header(s);
        s.produced += HEADER_SIZE;
    }
    s.draining = j;
    s.drain_pos = 0;
    s.consumed += j->in_size;
    s.produced += j->length;
    if (c->progress)
        c->progress(c->user, s.consumed, s.produced);
    return QRN_OK;
}

// Hands the filled block to the workers.
void submit_fill(qrn_cctx* c)
{
    CompressStream& s = c->s;
    std::memset(s.fill + 1 + s.filled, 0, BUFFER_SLACK - 1);
    if (s.hash)
        content_hash_update(s.hash.get(), s.fill + 1, s.filled);
    auto* j = new BlockJob;
    j->run = block_job_compress;
    j->h = s.h;
    j->in = s.fill;
    j->in_size = s.filled;
    s.fill = nullptr;
    s.filled = 0;
    s.inflight.push_back(j);
    workers_submit(c->workers, j);
}

size_t in_flight_limit(const qrn_cctx* c) { return static_cast<size_t>(c->params.threads) + 1; }

} // namespace

extern "C" {

size_t qrn_compress_bound(size_t src_size) { return HEADER_SIZE + src_size + 8 * (src_size / KIB + 1); }

qrn_cctx* qrn_cctx_create(void) { return new (std::nothrow) qrn_cctx; }

void qrn_cctx_free(qrn_cctx* cctx)
{
    if (!cctx)
        return;
    stream_drop(cctx);
    workers_stop(cctx->workers);
    delete cctx;
}

void qrn_cctx_reset(qrn_cctx* cctx) { stream_drop(cctx); }

void qrn_cctx_set_progress(qrn_cctx* cctx, qrn_progress_fn fn, void* user)
{
    cctx->progress = fn;
    cctx->user = user;
}

size_t qrn_cctx_set(qrn_cctx* cctx, qrn_param param, long long value)
{
    if (cctx->s.active)
        return lib_error(QRN_ERROR_STAGE);
    LibParams& p = cctx->params;
    auto in_range = [&](long long lo, long long hi) { return value >= lo && value <= hi; };
    switch (param) {
    case QRN_P_METHOD:
        if (!in_range(1, 255) || !codec_plan(static_cast<int>(value), 9).exists)
            return lib_error(QRN_ERROR_UNSUPPORTED);
        p.method = static_cast<int>(value);
        return 0;
    case QRN_P_LEVEL:
        if (!in_range(0, 255) || !codec_plan(1, static_cast<int>(value)).level_known)
            return lib_error(QRN_ERROR_UNSUPPORTED);
        p.level = static_cast<int>(value);
        return 0;
    case QRN_P_THREADS:
        if (!in_range(0, LIB_MAX_THREADS))
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        p.threads = static_cast<int>(value);
        return 0;
    case QRN_P_BLOCK_SIZE:
        if (!in_range(0, static_cast<long long>(MAX_UNIT_COUNT) * MIB))
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        p.block_size = static_cast<uint64_t>(value);
        return 0;
    case QRN_P_HASH_BITS:
        if (!in_range(0, 30))
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        p.hash_bits = static_cast<int>(value);
        return 0;
    case QRN_P_MEMORY_LIMIT:
        if (value < 0)
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        p.memory_limit = static_cast<uint64_t>(value);
        return 0;
    case QRN_P_PLEDGED_SIZE:
        if (value < -1)
            return lib_error(QRN_ERROR_PARAMETER_RANGE);
        p.pledged = value;
        return 0;
    case QRN_P_FILTER:
        if (!in_range(FILTER_NONE, FILTER_DELTA3))
            return lib_error(QRN_ERROR_UNSUPPORTED);
        p.filter = static_cast<int>(value);
        return 0;
    }
    return lib_error(QRN_ERROR_UNSUPPORTED);
}

size_t qrn_compress_stream(qrn_cctx* cctx, qrn_out_buffer* out, qrn_in_buffer* in, qrn_end_directive end)
{
    qrn_cctx* c = cctx;
    CompressStream& s = c->s;
    if (out->pos > out->size || in->pos > in->size)
        return lib_error(QRN_ERROR_PARAMETER_RANGE);
    if (!s.active) {
        const size_t r = stream_start(c);
        if (qrn_is_error(r))
            return stream_fail(c, qrn_get_error_code(r));
    }
    for (;;) {
        if (!drain(s, out))
            return waiting_bytes(s);
        const bool room = s.inflight.size() < in_flight_limit(c);
        if (!s.inflight.empty() && (!room || workers_done(c->workers, s.inflight.front()))) {
            if (qrn_error_code e = deliver(c))
                return stream_fail(c, e);
            continue;
        }
        if (in->pos < in->size) {
            const size_t avail = in->size - in->pos;
            if (s.pledged >= 0 && s.taken + avail > static_cast<uint64_t>(s.pledged))
                return stream_fail(c, QRN_ERROR_SIZE_WRONG);
            if (!s.fill && !(s.fill = block_alloc(size_t{s.block_size} + BUFFER_SLACK)))
                return stream_fail(c, QRN_ERROR_MEMORY);
            const size_t n = std::min<size_t>(avail, s.block_size - s.filled);
            std::memcpy(s.fill + 1 + s.filled, static_cast<const uint8_t*>(in->src) + in->pos, n);
            in->pos += n;
            s.filled += static_cast<uint32_t>(n);
            s.taken += n;
            if (s.filled == s.block_size)
                submit_fill(c);   // room was checked above: this block is at most the limit
            continue;
        }
        if (end == QRN_E_CONTINUE)
            return waiting_bytes(s);
        if (s.pledged >= 0 && s.taken != static_cast<uint64_t>(s.pledged))
            return stream_fail(c, QRN_ERROR_SIZE_WRONG);
        if (s.fill && s.filled > 0) {
            submit_fill(c);
            continue;
        }
        if (!s.inflight.empty()) {
            if (qrn_error_code e = deliver(c))
                return stream_fail(c, e);
            continue;
        }
        if (!s.header_queued) {
            // No record at all: the header alone, complete.
            queue_complete_header(s);
            continue;
        }
        // All written: the container is complete, and the pledge used.
        stream_drop(c);
        c->params.pledged = -1;
        return 0;
    }
}

} // extern "C"

namespace {

// A whole container of `src` into `dst`, the header (complete) written last.
size_t compress_flat(qrn_cctx* c, void* dst, size_t dst_capacity, const void* src, size_t src_size)
{
    ContainerHeader h;
    if (qrn_error_code e = lib_settings(c->params, static_cast<int64_t>(src_size), &h))
        return lib_error(e);
    if (qrn_error_code e = prepare(c, h))
        return lib_error(e);
    if (dst_capacity < HEADER_SIZE)
        return lib_error(QRN_ERROR_DST_TOO_SMALL);
    const uint32_t block_size = header_block_size(h);
    const auto* from = static_cast<const uint8_t*>(src);
    auto* to = static_cast<uint8_t*>(dst);
    std::vector<BlockJob*> inflight;
    size_t taken = 0, consumed = 0, written = HEADER_SIZE;
    qrn_error_code error = QRN_OK;
    while (error == QRN_OK && (taken < src_size || !inflight.empty())) {
        if (!inflight.empty() && (taken == src_size || inflight.size() >= in_flight_limit(c) ||
                                  workers_done(c->workers, inflight.front()))) {
            BlockJob* j = inflight.front();
            workers_wait(c->workers, j);
            inflight.erase(inflight.begin());
            if (j->error != QRN_OK)
                error = j->error;
            else if (dst_capacity - written < j->length)
                error = QRN_ERROR_DST_TOO_SMALL;
            else {
                std::memcpy(to + written, j->data, j->length);
                written += j->length;
                consumed += j->in_size;
                if (c->progress)
                    c->progress(c->user, consumed, written);
            }
            block_job_free(j);
            continue;
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block_size, src_size - taken));
        uint8_t* buffer = block_alloc(size_t{block_size} + BUFFER_SLACK);
        if (!buffer) {
            error = QRN_ERROR_MEMORY;
            break;
        }
        std::memcpy(buffer + 1, from + taken, n);
        std::memset(buffer + 1 + n, 0, BUFFER_SLACK - 1);
        taken += n;
        auto* j = new BlockJob;
        j->run = block_job_compress;
        j->h = h;
        j->in = buffer;
        j->in_size = n;
        inflight.push_back(j);
        workers_submit(c->workers, j);
    }
    BlockJob* none = nullptr;
    jobs_drop(c->workers, inflight, none);
    if (error != QRN_OK)
        return lib_error(error);
    h.fields.state = INTEGRITY_COMPLETE;
    h.fields.length = src_size;
    h.fields.checksum = content_hash_of(src_size ? src : to, src_size);
    container_header_encode(h, to);
    return written;
}

} // namespace

extern "C" {

size_t qrn_compress_cctx(qrn_cctx* cctx, void* dst, size_t dst_capacity, const void* src, size_t src_size)
{
    if (cctx->s.active)
        return lib_error(QRN_ERROR_STAGE);
    return compress_flat(cctx, dst, dst_capacity, src, src_size);
}

size_t qrn_compress(void* dst, size_t dst_capacity, const void* src, size_t src_size, int method, int level)
{
    qrn_cctx c;
    c.params.method = method;
    c.params.level = level;
    return compress_flat(&c, dst, dst_capacity, src, src_size);
}

} // extern "C"
