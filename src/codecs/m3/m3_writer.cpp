// Method 3 stream writers and segment flushing.
#include "codecs/m3/m3_writer.h"

#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"
#include "platform/platform.h"

namespace qrn {
namespace {

constexpr size_t SYMBOL_TAIL = 16;  // literals are appended 16 bytes at a time

size_t round_up(size_t v) { return (v + 63) & ~size_t{63}; }

// The most symbols a stream can hold at once for a block of n bytes: every
// stream gets at most one symbol per byte plus the end token.
uint32_t symbols_needed(int k, uint32_t n)
{
    const uint64_t most = uint64_t{n} + 2;
    return most < M3_SHAPE[k].capacity ? static_cast<uint32_t>(most) : M3_SHAPE[k].capacity;
}

// Bytes of extra bits per symbol at most: values stay below 2^32, so 28 bits.
constexpr size_t EXTRA_BYTES_PER_SYMBOL = 4;

void put_bits(M3StreamWriter& w, uint32_t value, uint32_t bits)
{
    w.bit_acc = (w.bit_acc << bits) | value;
    w.bit_count += bits;
    if (w.bit_count >= 32) {
        w.bit_count -= 32;
        const uint32_t word = static_cast<uint32_t>(w.bit_acc >> w.bit_count);
        store_le32(w.bits_end, __builtin_bswap32(word));
        w.bits_end += 4;
    }
}

void flush(M3Writers& m, int k);

inline void add_symbol(M3Writers& m, int k, uint32_t symbol)
{
    M3StreamWriter& w = m.w[k];
    w.symbols[w.count++] = static_cast<uint8_t>(symbol);
    if (w.count == w.capacity) [[unlikely]]
        flush(m, k);
}

inline void add_value(M3Writers& m, int k, uint32_t v)
{
    M3StreamWriter& w = m.w[k];
    if (v >= 16) {
        const uint32_t extra = m3_bucket_extra_bits(v);
        put_bits(w, v & ((1u << extra) - 1), extra);
    }
    add_symbol(m, k, m3_bucket_symbol(v));
}

void add_literals(M3Writers& m, const uint8_t* src, uint32_t length)
{
    M3StreamWriter& w = m.w[M3_LITERALS];
    if (length <= 16 && w.capacity - w.count > length) {
        copy16(w.symbols + w.count, src);
        w.count += length;
        return;
    }
    while (length != 0) {
        const uint32_t take = length < w.capacity - w.count ? length : w.capacity - w.count;
        std::memcpy(w.symbols + w.count, src, take);
        w.count += take;
        src += take;
        length -= take;
        if (w.count == w.capacity)
            flush(m, M3_LITERALS);
    }
}

// Token, extension values and literals of a run followed by a match code.
inline void add_run_and_token(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t match_code,
                              uint32_t length_ext)
{
    const uint32_t lc = run_length < M3_LC_EXT ? run_length : M3_LC_EXT;
    add_symbol(m, M3_TOKENS, lc << 5 | match_code);
    if (match_code == M3_MC_EXT)
        add_value(m, M3_LENGTH_EXT, length_ext);
    if (lc == M3_LC_EXT) {
        if (run_length > m.raw_threshold) {
            M3StreamWriter& w = m.w[M3_RUN_EXT];
            w.runs[w.run_count++] = {run_start, run_length};
        }
        add_value(m, M3_RUN_EXT, run_length - M3_LC_EXT);
    }
    if (run_length <= m.raw_threshold)
        add_literals(m, m.in + run_start, run_length);
}

// Writes the writer's pending symbols as one segment at the output position
// and links it from the stream's previous link slot.
void flush(M3Writers& m, int k)
{
    M3StreamWriter& w = m.w[k];
    const uint32_t count = w.count;
    w.count = 0;
    while (w.bit_count >= 8) {
        w.bit_count -= 8;
        *w.bits_end++ = static_cast<uint8_t>(w.bit_acc >> w.bit_count);
    }
    if (w.bit_count != 0) {
        *w.bits_end++ = static_cast<uint8_t>(w.bit_acc << (8 - w.bit_count));
        w.bit_count = 0;
    }
    const size_t bit_bytes = static_cast<size_t>(w.bits_end - w.bits);
    w.bits_end = w.bits;
    const uint32_t run_count = w.run_count;
    w.run_count = 0;

    const M3StreamShape& shape = M3_SHAPE[k];
    const uint32_t first_chunk = count < shape.chunk ? count : shape.chunk;
    uint8_t* p = m.pos;
    // Room for the front and the raw bits, and for the coder's first chunk at
    // its worst; the coder checks the rest itself.
    if (m.failed || static_cast<size_t>(m.end - p) < 4 + PREFIX_VARINT_MAX_BYTES + 8 + bit_bytes + 2 * size_t{first_chunk} + 2048) {
        m.failed = true;
        ansc_reset(w.ctx);
        return;
    }
    const bool partial = count < shape.capacity;
    const uint32_t offset = static_cast<uint32_t>(p - m.out);
    store_le32(m.out + w.link_slot, offset | (partial ? M3_PARTIAL : 0));
    w.link_slot = offset;
    store_le32(p, 0);  // next-link slot: zero unless another segment follows
    p += 4;
    if (partial)
        p = prefix_varint_put(p, count);
    uint8_t* fields = p;
    p += 4 * shape.fields;
    std::memcpy(p, w.bits, bit_bytes);
    p += bit_bytes;
    if (shape.fields != 0) {
        uint8_t* to_ans = fields + 4 * (shape.fields - 1);
        store_le32(to_ans, static_cast<uint32_t>(p - to_ans));
    }
    p = ansc_encode(w.ctx, w.symbols, count, shape.chunk, p, m.end);
    ansc_reset(w.ctx);
    if (!p) {
        m.failed = true;
        return;
    }
    if (k == M3_RUN_EXT) {
        store_le32(fields, static_cast<uint32_t>(p - fields));
        for (uint32_t i = 0; i < run_count; ++i) {
            const M3RawRun r = w.runs[i];
            if (static_cast<size_t>(m.end - p) < r.length) {
                m.failed = true;
                return;
            }
            std::memcpy(p, m.in + r.start, r.length);
            p += r.length;
        }
    }
    m.pos = p;
}

constexpr size_t MAP_THRESHOLD = size_t{1} << 20;

// Working memory: small areas from the heap, large ones straight from the
// system (huge pages, no copy of old contents). Nothing in it is read before
// it is written. Null when none is left.
void* m3_alloc(size_t bytes)
{
    return bytes < MAP_THRESHOLD ? std::malloc(bytes) : memory_map(bytes);
}

void m3_free(void* p, size_t bytes)
{
    if (bytes < MAP_THRESHOLD)
        std::free(p);
    else
        memory_unmap(p, bytes);
}

// The working memory of this thread's last block, kept for its next one: the
// kernel clears each fresh page on first touch, which cost about as much as
// the parse of a level-0 block. Its size is bounded by the streams' segment
// capacities (under 50 MiB of address space, whatever the block size).
struct KeptMemory {
    void* p = nullptr;
    size_t bytes = 0;
    ~KeptMemory() { m3_free(p, bytes); }
};

thread_local KeptMemory kept;

// At least `bytes` of working memory; `*got` is how much.
void* m3_acquire(size_t bytes, size_t* got)
{
    if (kept.p && kept.bytes >= bytes) {
        void* p = kept.p;
        *got = kept.bytes;
        kept.p = nullptr;
        return p;
    }
    *got = bytes;
    return m3_alloc(bytes);
}

void m3_release(void* p, size_t bytes)
{
    if (kept.p && kept.bytes >= bytes) {
        m3_free(p, bytes);
        return;
    }
    m3_free(kept.p, kept.bytes);
    kept.p = p;
    kept.bytes = bytes;
}

} // namespace

bool m3w_open(M3Writers& m, const BlockCall& job)
{
    const uint32_t n = job.in_size;
    m.min_match = m3_min_match(job.level);
    m.raw_threshold = m3_raw_threshold(job.level);
    size_t sizes[M3_STREAMS][3] = {};
    size_t total = 0;
    for (int k = 0; k < M3_STREAMS; ++k) {
        const uint32_t symbols = symbols_needed(k, n);
        sizes[k][0] = round_up(symbols + SYMBOL_TAIL);
        if (M3_SHAPE[k].fields != 0)
            sizes[k][1] = round_up(size_t{symbols} * EXTRA_BYTES_PER_SYMBOL + 8);
        if (k == M3_RUN_EXT) {
            const uint32_t most_runs = n / (m.raw_threshold + 1) + 1;
            sizes[k][2] = round_up(sizeof(M3RawRun) * (most_runs < symbols ? most_runs : symbols));
        }
        total += sizes[k][0] + sizes[k][1] + sizes[k][2];
    }
    size_t got = 0;
    uint8_t* mem = static_cast<uint8_t*>(m3_acquire(total, &got));
    if (mem == nullptr)
        return false;
    m.memory = mem;
    m.memory_size = got;
    for (int k = 0; k < M3_STREAMS; ++k) {
        M3StreamWriter& w = m.w[k];
        w = M3StreamWriter{};
        w.capacity = M3_SHAPE[k].capacity;
        w.link_slot = 4 * static_cast<uint32_t>(k);
        w.symbols = mem;
        mem += sizes[k][0];
        w.bits = w.bits_end = mem;
        mem += sizes[k][1];
        w.runs = reinterpret_cast<M3RawRun*>(mem);
        mem += sizes[k][2];
        ansc_reset(w.ctx);
    }
    m.in = job.in;
    m.out = job.out;
    m.end = job.out + job.out_limit;
    m.failed = job.out_limit < M3_LINK_TABLE_SIZE;
    m.easy_sequences = 0;
    m.pos = job.out + M3_LINK_TABLE_SIZE;
    if (!m.failed)
        std::memset(job.out, 0, M3_LINK_TABLE_SIZE);  // links of unused streams stay zero
    return true;
}

void m3w_close(M3Writers& m)
{
    m3_release(m.memory, m.memory_size);
    m.memory = nullptr;
}

void m3w_sequence_checked(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t match_length,
                          uint32_t offset_value)
{
    const uint32_t code = match_length - m.min_match;
    const uint32_t match_code = code < M3_MC_EXT ? code : M3_MC_EXT;
    add_run_and_token(m, run_start, run_length, match_code, code - M3_MC_EXT);
    add_value(m, M3_OFFSETS, offset_value);
    // A sequence adds at most one symbol to each stream but the literals,
    // and at most raw_threshold literals; a stream is flushed when it fills.
    uint32_t easy = UINT32_MAX;
    for (int k = 0; k < M3_STREAMS; ++k) {
        const uint32_t most = k == M3_LITERALS ? m.raw_threshold : 1;
        const uint32_t room = (m.w[k].capacity - 1 - m.w[k].count) / most;
        easy = room < easy ? room : easy;
    }
    m.easy_sequences = easy;
}

void m3w_extensions(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t code)
{
    if (code >= M3_MC_EXT)
        add_value(m, M3_LENGTH_EXT, code - M3_MC_EXT);
    if (run_length >= M3_LC_EXT) {
        if (run_length > m.raw_threshold) {
            M3StreamWriter& w = m.w[M3_RUN_EXT];
            w.runs[w.run_count++] = {run_start, run_length};
        }
        add_value(m, M3_RUN_EXT, run_length - M3_LC_EXT);
    }
}

uint32_t m3w_finish(M3Writers& m, uint32_t run_start, uint32_t run_length)
{
    add_run_and_token(m, run_start, run_length, 0, 0);
    add_value(m, M3_OFFSETS, M3_END_MARK);
    for (int k = 0; k < M3_STREAMS; ++k)
        if (m.w[k].count != 0)
            flush(m, k);
    if (m.failed)
        return CODEC_FAIL;
    return static_cast<uint32_t>(m.pos - m.out);
}

} // namespace qrn
