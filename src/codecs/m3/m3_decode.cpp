// Method 3 decoder. Each of the five streams is decoded a chunk at a time into
// a small buffer, following its chain of segments as it runs out; the LZ loop
// only takes bytes from those buffers. Every link, count, field, length and
// distance is checked, so that damaged input ends in a result other than the
// block size instead of a read or write outside the buffers.
#include <cstring>
#include <initializer_list>

#include "ans/ans.h"
#include "codecs/common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m3/m3.h"
#include "codecs/m3/m3_format.h"

namespace qrn {
namespace {

constexpr uint32_t MAX_CHUNK = 16384;
constexpr uint32_t BUFFER_TAIL = 16;  // 16-byte literal copies may read past a chunk's symbols

// Extra bits of one segment, read as big-endian 32-bit words into a 64-bit
// buffer (valid bits at the top). Bytes at or beyond the field's end load as
// zero; taking any bit of them is damage, found by overrun().
struct RawBits {
    const uint8_t* field = nullptr;
    uint32_t size = 0;     // bytes in the field
    uint32_t loaded = 0;   // bytes loaded so far (a multiple of 4)
    uint64_t buf = 0;
    uint32_t empty = 64;   // empty bit positions in buf

    void open(const uint8_t* p, uint32_t bytes)
    {
        field = p;
        size = bytes;
        loaded = 0;
        buf = 0;
        empty = 64;
    }
    uint32_t take(uint32_t k)  // k <= 30
    {
        if (empty > 32) {
            uint32_t w;
            if (loaded + 4 <= size) {
                w = __builtin_bswap32(load_le32(field + loaded));
            } else {
                w = 0;
                for (uint32_t i = 0; i < 4; ++i)
                    w = (w << 8) | (loaded + i < size ? field[loaded + i] : 0u);
            }
            loaded += 4;
            buf |= uint64_t{w} << (empty - 32);
            empty -= 32;
        }
        const uint32_t v = k ? static_cast<uint32_t>(buf >> (64 - k)) : 0;
        buf <<= k;
        empty += k;
        return v;
    }
    bool overrun() const { return uint64_t{loaded} * 8 - (64 - empty) > uint64_t{size} * 8; }
};

struct StreamReader {
    uint32_t pos = 0;         // next symbol in buf
    uint32_t avail = 0;       // symbols in buf
    int64_t remaining = 0;    // symbols of the current segment not yet decoded
    uint32_t link_slot = 0;   // offset of the link word to follow next
    const uint8_t* ans = nullptr;
    const uint8_t* raw = nullptr;  // raw literal runs (literal-run extension)
    RawBits bits;
    AnscContext ctx;
    alignas(16) uint8_t buf[MAX_CHUNK + BUFFER_TAIL];
};

struct Decoder {
    const uint8_t* in;
    uint32_t in_size;
    StreamReader s[M3_STREAMS];
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
        r.bits.open(d.in + bits_at, static_cast<uint32_t>(ans_at) - bits_at);
        if (k == M3_RUN_EXT) {
            const uint64_t raw_at = uint64_t{p} + load_le32(d.in + p);
            if (raw_at > size)
                return false;
            r.raw = d.in + raw_at;
        }
    }
    r.ans = d.in + ans_at;
    if (!ansc_read_header(r.ctx, &r.ans, d.in + size))
        return false;
    r.remaining = count;
    return true;
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
    r.remaining -= chunk;
    r.pos = 0;
    r.avail = n;
    return true;
}

// A bucket-coded value with its extra bits; 64 bits wide because a damaged
// symbol may ask for more than 32.
inline uint64_t bucket_value(StreamReader& r, uint32_t b)
{
    if (b < 16)
        return b;
    const uint32_t k = (b >> 3) - 1;
    return (uint64_t{8 + (b & 7)} << k) + r.bits.take(k);
}

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

// One decoded sequence: a literal run (raw bytes or symbols of the literal
// stream) and a match; length 0 marks the end of the block.
struct Sequence {
    uint32_t literals;
    uint32_t length;
    uint32_t distance;
    const uint8_t* raw;  // the run's bytes when it is stored raw, else null
};

enum class Step { Ok, End, Damaged };

// Sequences are decoded in batches ahead of their copies, so that the source
// of each match can be fetched into the cache before it is needed.
constexpr uint32_t BATCH = 32;

struct SequenceReader {
    Decoder& d;
    uint32_t min_match;
    uint32_t raw_threshold;
    const uint8_t* out;
    size_t out_limit;
    size_t pos = 0;  // output position after the sequences read so far
    uint32_t rep[M3_REPEATS] = {1, 1, 1, 1};

    // Reads the next sequence and checks it against the output written by
    // then: every length fits the block, every source lies inside it.
    Step next(Sequence& s)
    {
        uint32_t token;
        if (!take(M3_TOKENS, &token))
            return Step::Damaged;
        uint64_t length = token & 31;
        if (length == M3_MC_EXT) {
            uint32_t b;
            if (!take(M3_LENGTH_EXT, &b))
                return Step::Damaged;
            length = M3_MC_EXT + bucket_value(d.s[M3_LENGTH_EXT], b);
        }
        uint64_t run = token >> 5;
        s.raw = nullptr;
        if (run == M3_LC_EXT) {
            uint32_t b;
            if (!take(M3_RUN_EXT, &b))
                return Step::Damaged;
            StreamReader& ext = d.s[M3_RUN_EXT];
            run = M3_LC_EXT + bucket_value(ext, b);
            if (run > raw_threshold) {
                if (run > static_cast<size_t>(d.in + d.in_size - ext.raw))
                    return Step::Damaged;
                s.raw = ext.raw;
                ext.raw += run;
            }
        }
        if (run > out_limit - pos)
            return Step::Damaged;
        pos += run;
        s.literals = static_cast<uint32_t>(run);

        uint32_t b;
        if (!take(M3_OFFSETS, &b))
            return Step::Damaged;
        const uint64_t w = bucket_value(d.s[M3_OFFSETS], b);
        uint64_t dist;
        switch (w) {
        case 0: dist = rep[0]; break;
        case 1:
            dist = rep[1];
            rep[1] = rep[0];
            rep[0] = static_cast<uint32_t>(dist);
            break;
        case 2:
            dist = rep[2];
            rep[2] = rep[1];
            rep[1] = rep[0];
            rep[0] = static_cast<uint32_t>(dist);
            break;
        case 3:
            dist = rep[3];
            rep[3] = rep[2];
            rep[2] = rep[1];
            rep[1] = rep[0];
            rep[0] = static_cast<uint32_t>(dist);
            break;
        default:
            dist = w - M3_REPEATS;
            if (dist == 0) {
                s.length = 0;
                return Step::End;
            }
            if (dist > pos)
                return Step::Damaged;
            rep[3] = rep[2];
            rep[2] = rep[1];
            rep[1] = rep[0];
            rep[0] = static_cast<uint32_t>(dist);
            break;
        }
        length += min_match;
        if (dist > pos || length > out_limit - pos)
            return Step::Damaged;
        __builtin_prefetch(out + pos - dist);
        pos += length;
        s.length = static_cast<uint32_t>(length);
        s.distance = static_cast<uint32_t>(dist);
        return Step::Ok;
    }

    bool take(int k, uint32_t* symbol)
    {
        StreamReader& r = d.s[k];
        if (r.pos == r.avail && !refill(d, k)) [[unlikely]]
            return false;
        *symbol = r.buf[r.pos++];
        return true;
    }
};

} // namespace

uint32_t m3_decompress(const CodecJob& job)
{
    Decoder d;
    d.in = job.in;
    d.in_size = job.in_size;
    for (int k = 0; k < M3_STREAMS; ++k)
        d.s[k].link_slot = 4 * static_cast<uint32_t>(k);
    // Short literal runs are copied 16 bytes at a time from this buffer.
    std::memset(d.s[M3_LITERALS].buf, 0, sizeof d.s[M3_LITERALS].buf);
    StreamReader& lits = d.s[M3_LITERALS];
    uint8_t* const out = job.out;
    uint8_t* op = out;
    SequenceReader reader{d, m3_min_match(job.level), m3_raw_threshold(job.level), out, job.out_limit};

    Sequence batch[BATCH];
    for (bool ended = false; !ended;) {
        uint32_t count = 0;
        while (count < BATCH) {
            const Step step = reader.next(batch[count++]);
            if (step == Step::Damaged)
                return CODEC_FAIL;
            if (step == Step::End) {
                ended = true;
                break;
            }
        }
        for (uint32_t i = 0; i < count; ++i) {
            const Sequence& s = batch[i];
            const uint32_t run = s.literals;
            if (s.raw != nullptr) {
                wild_copy16(op, s.raw, op + run);
            } else if (run <= 16 && lits.avail - lits.pos >= run) {
                copy16(op, lits.buf + lits.pos);
                lits.pos += run;
            } else if (!copy_literals(d, op, run)) {
                return CODEC_FAIL;
            }
            op += run;
            if (s.length == 0)
                break;
            if (s.distance >= 8)
                wild_copy16(op, op - s.distance, op + s.length);
            else
                overlap_copy(op, s.distance, op + s.length);
            op += s.length;
        }
    }
    for (int k : {M3_RUN_EXT, M3_LENGTH_EXT, M3_OFFSETS})
        if (d.s[k].ans != nullptr && d.s[k].bits.overrun())
            return CODEC_FAIL;
    return static_cast<uint32_t>(op - out);
}

} // namespace qrn
