// Method 3 decoder. Each of the five streams is decoded a chunk at a time into
// a small buffer, following its chain of segments as it runs out; the LZ loop
// only takes bytes from those buffers. Every link, count, field, length and
// distance is checked, so that damaged input ends in a result other than the
// block size instead of a read or write outside the buffers.
#include <array>
#include <cstring>
#include <initializer_list>

#include "ans/ans.h"
#include "common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m3/m3.h"
#include "codecs/m3/m3_format.h"

namespace qrn {
namespace {

constexpr uint32_t MAX_CHUNK = 16384;
constexpr uint32_t BUFFER_TAIL = 16;  // 16-byte literal copies may read past a chunk's symbols

// Extra bits of one segment, most significant bit first, read through a
// 64-bit big-endian window at a byte position. The window may reach up to 8
// bytes past the field (into the segment's ANS data, never past the block);
// taking any bit from beyond the field is damage, found by overrun().
struct RawBits {
    const uint8_t* field = nullptr;
    const uint8_t* p = nullptr;     // window position
    const uint8_t* last = nullptr;  // the field's end: the window never moves past it
    uint64_t window = 0;
    uint32_t used = 0;              // bits of the window taken (below 8 after a refill)
    bool beyond = false;            // the window had to stop at the field's end

    void open(const uint8_t* f, uint32_t bytes)
    {
        field = f;
        last = f + bytes;
        p = f;
        used = 0;
        beyond = false;
        window = __builtin_bswap64(load_le64(p));
    }
    // k <= 30 bits; at most 37 bits are taken between refills.
    uint32_t take(uint32_t k)
    {
        const uint32_t v = static_cast<uint32_t>(((window << used) >> 1) >> (63 - k));
        used += k;
        return v;
    }
    void refill()
    {
        p += used >> 3;
        used &= 7;
        if (p > last) [[unlikely]] {
            p = last;
            beyond = true;
        }
        window = __builtin_bswap64(load_le64(p));
    }
    bool overrun() const
    {
        return beyond || static_cast<size_t>(p - field) * 8 + used > static_cast<size_t>(last - field) * 8;
    }
};

struct StreamReader {
    uint32_t pos = 0;         // next symbol in buf
    uint32_t avail = 0;       // symbols in buf
    int64_t remaining = 0;    // symbols of the current segment not yet decoded
    uint32_t link_slot = 0;   // offset of the link word to follow next
    const uint8_t* ans = nullptr;
    const uint8_t* raw = nullptr;  // raw literal runs (literal-run extension)
    RawBits bits;
    // Extension streams: the chunk's values (bucket code plus extra bits,
    // capped at 2^32 - 1), worked out when the chunk is decoded.
    uint32_t* values = nullptr;
    AnscContext ctx;
    alignas(16) uint8_t buf[MAX_CHUNK + BUFFER_TAIL];
};

// What a token says, for the level's minimum match, in one word: the literal
// run it codes directly (bits 0-7: lc, 7 when a run extension value follows),
// the match length (bits 8-15: minimum + mc, minimum + 31 when a length value
// follows) and which extension values follow (the flags above bit 15).
constexpr uint32_t TOKEN_RUN_EXT = 1u << 16;
constexpr uint32_t TOKEN_LENGTH_EXT = 1u << 17;

struct Decoder {
    const uint8_t* in;
    uint32_t in_size;
    StreamReader s[M3_STREAMS];
    uint32_t values[2][MAX_CHUNK];
    // Copies of the lookup tables in the decoder's frame, which the hot loop
    // reaches without a separate base register.
    uint32_t tokens[256];
    uint64_t buckets[256];
};

// Follows the stream's next link and reads the segment's front.
bool open_segment(Decoder& d, int k)
{
    StreamReader& r = d.s[k];
    if (M3_SHAPE[k].fields != 0 && r.ans != nullptr && r.bits.overrun())
        return false;
    const uint32_t size = d.in_size;
    const uint32_t slot = r.link_slot;
    if (slot > size || size - slot < 4)
        return false;
    const uint32_t link = load_le32(d.in + slot);
    const uint32_t at = link & ~M3_PARTIAL;
    // Links point forward only, so no chain can loop.
    if (at < M3_LINK_TABLE_SIZE || at < slot + 4 || at > size || size - at < 4)
        return false;
    r.link_slot = at;
    uint32_t p = at + 4;
    uint32_t count = M3_SHAPE[k].capacity;
    if (link & M3_PARTIAL) {
        if (p >= size || prefix_varint_width(d.in[p]) > size - p)
            return false;
        p = static_cast<uint32_t>(prefix_varint_get(d.in + p, &count) - d.in);
        if (count == 0 || count > M3_SHAPE[k].capacity)
            return false;
    }
    const uint32_t fields = M3_SHAPE[k].fields;
    if (size - p < 4 * fields)
        return false;
    uint64_t ans_at = p;
    if (fields != 0) {
        const uint32_t last = p + 4 * (fields - 1);  // the field pointing at the ANS segment
        ans_at = uint64_t{last} + load_le32(d.in + last);
        const uint32_t bits_at = p + 4 * fields;
        if (ans_at < bits_at || ans_at > size)
            return false;
        if (k == M3_RUN_EXT) {
            const uint64_t raw_at = uint64_t{p} + load_le32(d.in + p);
            if (raw_at > size)
                return false;
            r.raw = d.in + raw_at;
        }
        r.ans = d.in + ans_at;
        if (!ansc_read_header(r.ctx, &r.ans, d.in + size))
            return false;
        // The ANS header (at least 33 bytes) follows the field, so the
        // window's 8-byte loads stay inside the block.
        r.bits.open(d.in + bits_at, static_cast<uint32_t>(ans_at) - bits_at);
    } else {
        r.ans = d.in + ans_at;
        if (!ansc_read_header(r.ctx, &r.ans, d.in + size))
            return false;
    }
    r.remaining = count;
    return true;
}

// Bucket codes as a value base (bits 8 and up) and a count of extra bits
// (bits 0-7): b < 16 is the value itself, otherwise ((8 + (b & 7)) << k) with
// k = (b >> 3) - 1 extra bits to add. Damaged symbols may ask for values
// beyond 32 bits, hence the 64-bit entries.
constexpr std::array<uint64_t, 256> make_buckets()
{
    std::array<uint64_t, 256> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        const uint32_t k = b < 16 ? 0 : (b >> 3) - 1;
        const uint64_t base = b < 16 ? b : uint64_t{8 + (b & 7)} << k;
        t[b] = base << 8 | k;
    }
    return t;
}
constexpr auto BUCKETS = make_buckets();

// A bucket-coded value with its extra bits.
inline uint64_t bucket_value(RawBits& bits, uint32_t b)
{
    const uint64_t e = BUCKETS[b];
    const uint64_t v = (e >> 8) + bits.take(static_cast<uint32_t>(e & 0xFF));
    bits.refill();
    return v;
}

// The values of n symbols with their extra bits, in symbol order. Values
// that only damaged data can have (2^32 and more) are capped: they still fail
// every length and distance check.
void bucket_values(StreamReader& r, uint32_t n)
{
    RawBits bits = r.bits;  // in registers for the loop
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t e = BUCKETS[r.buf[i]];
        const uint64_t v = (e >> 8) + bits.take(static_cast<uint32_t>(e & 0xFF));
        bits.refill();
        r.values[i] = v < UINT32_MAX ? static_cast<uint32_t>(v) : UINT32_MAX;
    }
    r.bits = bits;
}

// Decodes the stream's next chunk (opening its next segment when needed).
bool refill(Decoder& d, int k)
{
    StreamReader& r = d.s[k];
    if (r.remaining <= 0 && !open_segment(d, k))
        return false;
    const uint32_t chunk = M3_SHAPE[k].chunk;
    const uint32_t n = r.remaining < chunk ? static_cast<uint32_t>(r.remaining) : chunk;
    r.ans = ansc_decode(r.ctx, r.ans, d.in + d.in_size, n, r.buf);
    if (r.ans == nullptr)
        return false;
    if (r.values != nullptr)
        bucket_values(r, n);
    r.remaining -= chunk;
    r.pos = 0;
    r.avail = n;
    return true;
}

// One decoded sequence: a literal run (raw bytes or symbols of the literal
// stream) and a match.
struct Sequence {
    uint32_t literals;
    uint32_t length;
    uint32_t distance;
    const uint8_t* raw;  // the run's bytes when it is longer than the raw threshold
};

// Sequences are decoded in batches ahead of their copies, so that the source
// of each match can be fetched into the cache before it is needed. Sources far
// back in a large block often miss the TLB as well; 128 sequences leave those
// fetches more time than 64 did, and 256 gained nothing more.
constexpr uint32_t BATCH = 128;

struct SequenceReader {
    Decoder& d;
    uint32_t min_match;
    uint32_t raw_threshold;
    const uint8_t* out;
    size_t pos = 0;  // output position after the sequences read so far
    size_t literals = 0;  // literal stream symbols taken by the sequences read so far
    // Recent distances in a ring: rep[(head + i) & 3] is number i.
    uint32_t rep[M3_REPEATS] = {1, 1, 1, 1};
    uint32_t head = 0;

    void push(uint32_t dist)
    {
        head = (head - 1) & (M3_REPEATS - 1);
        rep[head] = dist;
    }
    uint32_t& repeat(uint32_t i) { return rep[(head + i) & (M3_REPEATS - 1)]; }

    // Reads plain sequences (no repeat distance, no raw run, no end) from
    // the buffers at tp (tokens) and ob (offset symbols), at most n; returns
    // how many, or UINT32_MAX when a distance reaches before the block.
    // Everything that stops the run is found before anything of that
    // sequence is taken. Unchecked, the caller has made sure that the extra
    // bits of n offsets cannot move the window past the field's end.
    template <bool Checked>
    uint32_t read_run(const uint8_t* tp, const uint8_t* ob, uint32_t n, Sequence* s, size_t& at, RawBits& bits,
                      uint32_t& ri, uint32_t& li)
    {
        const uint32_t threshold = raw_threshold;
        const uint32_t* const rv0 = d.s[M3_RUN_EXT].values;
        const uint32_t* const lv0 = d.s[M3_LENGTH_EXT].values;
        const uint32_t* rv = rv0 + ri;
        const uint32_t* lv = lv0 + li;
        const uint32_t* const rend = rv0 + d.s[M3_RUN_EXT].avail;
        const uint32_t* const lend = lv0 + d.s[M3_LENGTH_EXT].avail;
        // Locals the compiler can keep in registers.
        uint64_t window = bits.window;
        uint32_t used = bits.used;
        const uint8_t* p = bits.p;
        size_t o = at;
        size_t lit = literals;
        // Sequence i: 0 when taken, 1 when it stops the run (nothing of it
        // taken), 2 when its distance reaches before the block. `reload`
        // moves the extra-bit window on.
        const auto step = [&](uint32_t i, bool reload) __attribute__((always_inline)) -> int {
            const uint32_t b = ob[i];
            // Codes 0-4 (repeats, end) have no extra bits.
            if (b <= M3_REPEATS) [[unlikely]]
                return 1;
            const uint32_t te = d.tokens[tp[i]];
            uint64_t run = te & 0xFF;
            uint64_t length = (te >> 8) & 0xFF;
            if (te > 0xFFFF) [[unlikely]] {
                if ((te & TOKEN_LENGTH_EXT) && lv == lend)
                    return 1;
                if (te & TOKEN_RUN_EXT) {
                    if (rv == rend)
                        return 1;
                    run += *rv;
                    if (run > threshold)
                        return 1;
                    ++rv;
                }
                if (te & TOKEN_LENGTH_EXT)
                    length += *lv++;
            }
            lit += run;
            // The offset value: bucket base plus extra bits.
            const uint64_t e = d.buckets[b];
            const uint32_t k = static_cast<uint32_t>(e & 0xFF);
            const uint64_t w = (e >> 8) + (((window << used) >> 1) >> (63 - k));
            used += k;
            if (reload) {
                p += used >> 3;
                used &= 7;
                if constexpr (Checked) {
                    if (p > bits.last) [[unlikely]] {
                        p = bits.last;
                        bits.beyond = true;
                    }
                }
                window = __builtin_bswap64(load_le64(p));
            }
            o += run;
            const uint64_t dist = w - M3_REPEATS;
            if (dist > o)
                return 2;
            // The first 32 bytes of the source, which the copy reads, may
            // straddle two cache lines.
            __builtin_prefetch(out + o - dist);
            __builtin_prefetch(out + o - dist + 31);
            o += length;
            s[i].literals = static_cast<uint32_t>(run);
            s[i].length = static_cast<uint32_t>(length);
            s[i].distance = static_cast<uint32_t>(dist);
            return 0;
        };
        // Unchecked, the window is reloaded after every second offset,
        // which takes the reload off the chain from one offset to the next:
        // a distance below 2^32 has at most 28 extra bits, and 7 + 2 x 28
        // bits fit in the window. More bits make a distance of 2^32 or more,
        // which the check rejects before the next offset is read (or, for
        // the second, whatever its low bits).
        uint32_t i = 0;
        int r = 0;
        if constexpr (Checked) {
            for (; i != n; ++i)
                if ((r = step(i, true)) != 0)
                    break;
        } else {
            for (; i + 2 <= n; i += 2) {
                if ((r = step(i, false)) != 0)
                    break;
                if ((r = step(i + 1, true)) != 0) {
                    ++i;
                    break;
                }
            }
            if (r == 0 && i != n && (r = step(i, false)) == 0)
                ++i;
        }
        if (r == 2)
            return UINT32_MAX;
        if constexpr (!Checked) {
            p += used >> 3;
            used &= 7;
            window = __builtin_bswap64(load_le64(p));
        }
        bits.window = window;
        bits.used = used;
        bits.p = p;
        at = o;
        literals = lit;
        ri = static_cast<uint32_t>(rv - rv0);
        li = static_cast<uint32_t>(lv - lv0);
        return i;
    }

    // Reads up to BATCH sequences into `batch`. Returns how many, with *end
    // set when the last one is the end marker (its match is not used), or -1
    // when the data is damaged. The lengths are checked against `out_limit`
    // per batch, the distances against the output written by then per
    // sequence, so that every copy stays inside the block.
    int64_t read(Sequence* batch, size_t out_limit, bool* end)
    {
        StreamReader& tok = d.s[M3_TOKENS];
        StreamReader& off = d.s[M3_OFFSETS];
        StreamReader& rx = d.s[M3_RUN_EXT];
        StreamReader& lx = d.s[M3_LENGTH_EXT];
        uint32_t count = 0;
        while (count < BATCH) {
            if (tok.pos == tok.avail && !refill(d, M3_TOKENS))
                return -1;
            if (off.pos == off.avail && !refill(d, M3_OFFSETS))
                return -1;
            // Sequences whose token and offset are both at hand, and their
            // extension values when they have any.
            uint32_t n = BATCH - count;
            n = n < tok.avail - tok.pos ? n : tok.avail - tok.pos;
            n = n < off.avail - off.pos ? n : off.avail - off.pos;
            const uint8_t* const tp = tok.buf + tok.pos;
            const uint8_t* const ob = off.buf + off.pos;
            Sequence* const s = batch + count;
            // The loop's state in locals, which the compiler keeps in
            // registers (the sequence stores could alias the members).
            size_t at = pos;
            RawBits bits = off.bits;
            uint32_t ri = rx.pos, li = lx.pos;
            // With room for n offsets' extra bits (at most 4 bytes each) in
            // the field, the window needs no check in the loop.
            const bool unchecked = bits.last - bits.p >= static_cast<ptrdiff_t>(4 * n);
            const uint32_t i = unchecked ? read_run<false>(tp, ob, n, s, at, bits, ri, li)
                                         : read_run<true>(tp, ob, n, s, at, bits, ri, li);
            if (i == UINT32_MAX)
                return -1;
            tok.pos += i;
            off.pos += i;
            rx.pos = ri;
            lx.pos = li;
            off.bits = bits;
            pos = at;
            // The distances just read are the most recent ones.
            for (uint32_t j = i > M3_REPEATS ? i - M3_REPEATS : 0; j < i; ++j)
                push(s[j].distance);
            count += i;
            if (i == n)
                continue;
            // A sequence with a raw run, an extension value still to decode,
            // a repeat distance or the end.
            const int step = next_general(batch[count]);
            if (step < 0)
                return -1;
            ++count;
            if (step == 0) {
                *end = true;
                break;
            }
        }
        return pos <= out_limit ? int64_t{count} : -1;
    }
    // Any sequence; 1 when read, 0 for the end marker, -1 when damaged.
    int next_general(Sequence& s)
    {
        uint32_t token;
        if (!take(M3_TOKENS, &token))
            return -1;
        uint64_t length = token & 31;
        if (length == M3_MC_EXT) {
            uint32_t v;
            if (!take_value(M3_LENGTH_EXT, &v))
                return -1;
            length = M3_MC_EXT + uint64_t{v};
        }
        uint64_t run = token >> 5;
        s.raw = nullptr;
        if (run == M3_LC_EXT) {
            uint32_t v;
            if (!take_value(M3_RUN_EXT, &v))
                return -1;
            StreamReader& ext = d.s[M3_RUN_EXT];
            run = M3_LC_EXT + uint64_t{v};
            if (run > raw_threshold) {
                if (run > static_cast<size_t>(d.in + d.in_size - ext.raw))
                    return -1;
                s.raw = ext.raw;
                ext.raw += run;
            }
        }
        // Kept below 2^32 here; the batch's end position is checked later.
        if (run > UINT32_MAX)
            return -1;
        pos += run;
        if (s.raw == nullptr)
            literals += run;
        s.literals = static_cast<uint32_t>(run);

        uint32_t b;
        if (!take(M3_OFFSETS, &b))
            return -1;
        const uint64_t w = bucket_value(d.s[M3_OFFSETS].bits, b);
        uint64_t dist;
        switch (w) {
        case 0: dist = repeat(0); break;
        case 1:
            dist = repeat(1);
            repeat(1) = repeat(0);
            repeat(0) = static_cast<uint32_t>(dist);
            break;
        case 2: {
            dist = repeat(2);
            const uint32_t last = repeat(3);
            push(static_cast<uint32_t>(dist));
            repeat(3) = last;
            break;
        }
        case 3:
            dist = repeat(3);
            push(static_cast<uint32_t>(dist));
            break;
        default:
            dist = w - M3_REPEATS;
            if (dist == 0) {
                s.length = 0;
                s.distance = 0;
                return 0;
            }
            if (dist > pos)
                return -1;
            push(static_cast<uint32_t>(dist));
            break;
        }
        length += min_match;
        if (dist > pos || length > UINT32_MAX)
            return -1;
        __builtin_prefetch(out + pos - dist);
        __builtin_prefetch(out + pos - dist + 31);
        pos += length;
        s.length = static_cast<uint32_t>(length);
        s.distance = static_cast<uint32_t>(dist);
        return 1;
    }

    bool take(int k, uint32_t* symbol)
    {
        StreamReader& r = d.s[k];
        if (r.pos == r.avail && !refill(d, k)) [[unlikely]]
            return false;
        *symbol = r.buf[r.pos++];
        return true;
    }
    bool take_value(int k, uint32_t* value)
    {
        StreamReader& r = d.s[k];
        if (r.pos == r.avail && !refill(d, k)) [[unlikely]]
            return false;
        *value = r.values[r.pos++];
        return true;
    }
};


// Copies n literal symbols of the literal stream to out.
bool copy_literals(Decoder& d, uint8_t* out, uint32_t n)
{
    StreamReader& r = d.s[M3_LITERALS];
    while (n != 0) {
        if (r.pos == r.avail && !refill(d, M3_LITERALS))
            return false;
        const uint32_t take = n < r.avail - r.pos ? n : r.avail - r.pos;
        std::memcpy(out, r.buf + r.pos, take);
        out += take;
        r.pos += take;
        n -= take;
    }
    return true;
}

// The literal run of a sequence that the fast path does not take: raw, or
// crossing the end of the literal buffer.
bool copy_run(Decoder& d, uint8_t* op, const Sequence& s, uint32_t raw_threshold)
{
    if (s.literals > raw_threshold) {
        std::memcpy(op, s.raw, s.literals);
        return true;
    }
    return copy_literals(d, op, s.literals);
}

// A match of distance 1 to 15 (the source overlaps the first 16 bytes).
inline void copy_near_match(uint8_t* op, uint32_t distance, uint32_t length)
{
    if (distance >= 8)
        wild_copy16(op, op - distance, op + length);
    else
        overlap_copy(op, distance, op + length);
}

// Copies the literal runs and matches of n sequences to op; returns the
// position after them, or null when the literal stream is damaged.
// Unchecked, the caller has made sure that the literal buffer holds every
// literal symbol the sequences take.
template <bool Checked>
uint8_t* execute(Decoder& d, const Sequence* batch, uint32_t n, uint8_t* op, uint32_t raw_threshold)
{
    StreamReader& lits = d.s[M3_LITERALS];
    // The literal buffer's position in locals: the output stores could
    // alias the reader's members.
    const uint8_t* lp = lits.buf + lits.pos;
    const uint8_t* lend = lits.buf + lits.avail;
    for (uint32_t i = 0; i < n; ++i) {
        const Sequence& s = batch[i];
        const uint32_t run = s.literals;
        if (run <= 16 && (!Checked || run <= static_cast<size_t>(lend - lp))) [[likely]] {
            copy16_apart(op, lp);
            lp += run;
        } else if (run <= raw_threshold && (!Checked || run <= static_cast<size_t>(lend - lp))) {
            // The buffer has 16 spare bytes behind its symbols.
            wild_copy16_apart(op, lp, op + run);
            lp += run;
        } else {
            lits.pos = static_cast<uint32_t>(lp - lits.buf);
            if (!copy_run(d, op, s, raw_threshold))
                return nullptr;
            lp = lits.buf + lits.pos;
            lend = lits.buf + lits.avail;
        }
        op += run;
        const uint32_t length = s.length;
        const uint32_t distance = s.distance;
        if (distance >= 16) [[likely]] {
            // Two 16-byte steps cover most matches; each step reads bytes
            // written before it.
            const uint8_t* src = op - distance;
            copy16_apart(op, src);
            copy16_apart(op + 16, src + 16);
            if (length > 32) [[unlikely]]
                wild_copy16_apart(op + 32, src + 32, op + length);
        } else {
            copy_near_match(op, distance, length);
        }
        op += length;
    }
    lits.pos = static_cast<uint32_t>(lp - lits.buf);
    return op;
}

} // namespace

uint32_t m3_decompress(const BlockCall& job)
{
    Decoder d;
    d.in = job.in;
    d.in_size = job.in_size;
    for (int k = 0; k < M3_STREAMS; ++k)
        d.s[k].link_slot = 4 * static_cast<uint32_t>(k);
    d.s[M3_RUN_EXT].values = d.values[0];
    for (uint32_t t = 0; t < 256; ++t) {
        const uint32_t lc = t >> 5, mc = t & 31;
        d.tokens[t] = lc | (mc + m3_min_match(job.level)) << 8 | (lc == M3_LC_EXT ? TOKEN_RUN_EXT : 0) |
                      (mc == M3_MC_EXT ? TOKEN_LENGTH_EXT : 0);
    }
    std::memcpy(d.buckets, BUCKETS.data(), sizeof d.buckets);
    d.s[M3_LENGTH_EXT].values = d.values[1];
    // Short literal runs are copied 16 bytes at a time from this buffer.
    std::memset(d.s[M3_LITERALS].buf, 0, sizeof d.s[M3_LITERALS].buf);
    const StreamReader& lits = d.s[M3_LITERALS];
    const uint32_t raw_threshold = m3_raw_threshold(job.level);
    uint8_t* const out = job.out;
    uint8_t* op = out;
    SequenceReader reader{d, m3_min_match(job.level), raw_threshold, out};

    Sequence batch[BATCH];
    for (bool ended = false; !ended;) {
        const size_t literals_before = reader.literals;
        const int64_t count = reader.read(batch, job.out_limit, &ended);
        if (count < 0)
            return codec_damaged(job.out_limit);
        const size_t literals_after = reader.literals;
        // The end marker's literal run is copied below, its match never.
        const uint32_t matches = static_cast<uint32_t>(count) - (ended ? 1 : 0);
        // When the literal buffer holds every literal of the batch, no run
        // needs a check of its own.
        const bool at_hand = literals_after - literals_before <= lits.avail - lits.pos;
        op = at_hand ? execute<false>(d, batch, matches, op, raw_threshold)
                     : execute<true>(d, batch, matches, op, raw_threshold);
        if (op == nullptr)
            return codec_damaged(job.out_limit);
        if (ended) {
            if (!copy_run(d, op, batch[matches], raw_threshold))
                return codec_damaged(job.out_limit);
            op += batch[matches].literals;
        }
    }
    for (int k : {M3_RUN_EXT, M3_LENGTH_EXT, M3_OFFSETS})
        if (d.s[k].ans != nullptr && d.s[k].bits.overrun())
            return codec_damaged(job.out_limit);
    return static_cast<uint32_t>(op - out);
}

} // namespace qrn
