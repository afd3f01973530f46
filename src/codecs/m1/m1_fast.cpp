// Method 1 fast compressors: greedy parsers over one hash table of recent
// positions. Level 0 probes one position per step, level 1 three, level 2
// four with a 6-byte and a 4-byte hash; all share the match extension, the
// skipping of incompressible stretches and the final phase.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/table_memory.h"
#include "codecs/m1/m1.h"
#include "codecs/m1/m1_format.h"

namespace qrn {

namespace {

// Levels 1 and 2 hash into a table of 2^(hash_bits - 2) entries.
constexpr int MULTI_PROBE_TABLE_SHIFT = 34;
constexpr int LEVEL0_MAX_HASH_BITS = 16;
constexpr int MULTI_PROBE_MAX_HASH_BITS = 34;

// Bytes between the anchor and the probe position from which probing thins out.
constexpr uint32_t SKIP_GAP = 128;
constexpr uint32_t SKIP_MAX = 16;

struct Match {
    uint32_t start = 0;
    uint32_t length = 0; // 0: no match
    uint32_t distance = NO_MATCH_DISTANCE;
};

struct Parse {
    const uint8_t* in;
    uint32_t n;
    int64_t limit; // n - 32: a match reaching it ends the search
    uint32_t anchor;
    M1Writer w;
    uint8_t* out;
};

// A match whose forward extension ends at or past the search limit starts
// the final phase. Near the input end the first 8-byte group may run into
// the slack behind the input; such a match ends past the limit as well, and
// the final phase cuts it at the input end.
inline bool reaches_limit(const Parse& s, uint32_t pos, uint32_t length)
{
    return int64_t(pos) + length >= s.limit;
}

// Equal bytes at q and c beyond the `length` already validated, 8 at a time.
// The first group is always compared; later ones only while the range stays
// short of the search limit.
inline uint32_t extend_forward(const Parse& s, uint32_t q, uint32_t c, uint32_t length)
{
    const uint8_t* a = s.in + q;
    const uint8_t* b = s.in + c;
    for (;;) {
        const uint64_t x = load_le64(a + length) ^ load_le64(b + length);
        if (x != 0)
            return length + (static_cast<uint32_t>(__builtin_ctzll(x)) >> 3);
        length += 8;
        if (reaches_limit(s, q, length))
            return length;
    }
}

// Moves a match start back over equal bytes, not below the anchor or position 0.
inline void extend_backward(const Parse& s, Match* m)
{
    uint32_t c = m->start - m->distance;
    while (m->start > s.anchor && c > 0 && s.in[m->start - 1] == s.in[c - 1]) {
        --m->start;
        --c;
        ++m->length;
    }
}

inline bool valid4(const Parse& s, uint32_t q, uint32_t c)
{
    return uint64_t(q) + 4 <= s.n && q - c <= M1_MAX_DISTANCE && load_le32(s.in + q) == load_le32(s.in + c);
}

inline bool valid6(const Parse& s, uint32_t q, uint32_t c)
{
    return uint64_t(q) + 6 <= s.n && q - c <= M1_MAX_DISTANCE &&
           ((load_le64(s.in + q) ^ load_le64(s.in + c)) << 16) == 0;
}

// Whether `m` replaces `best`: it must reach far enough beyond it, by a margin
// that grows with its distance class relative to the best's.
inline bool replaces(const Match& m, const Match& best)
{
    if (best.length == 0)
        return true;
    const int64_t advantage = int64_t(best.start) - m.start + int64_t(m.length) - best.length + 2;
    return advantage >= DistanceClassBonus[distance_class(m.distance)][distance_class(best.distance)];
}

// Looks at the candidates c[0..count) probed at ip, ip + 1, ... and keeps in
// *best the one `replaces` prefers (MIN: the bytes the probe's hash covers).
// Returns false when one reaches the search limit; *best is then that one.
template <uint32_t MIN>
inline bool pick_best(const Parse& s, uint32_t ip, const uint32_t* c, uint32_t count, Match* best)
{
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t q = ip + i;
        // The same match seen one byte later adds nothing.
        if ((i > 0 && c[i] == c[i - 1] + 1) || !(MIN == 6 ? valid6(s, q, c[i]) : valid4(s, q, c[i])))
            continue;
        Match m{q, extend_forward(s, q, c[i], MIN), q - c[i]};
        if (reaches_limit(s, q, m.length)) {
            *best = m;
            return false;
        }
        extend_backward(s, &m);
        if (replaces(m, *best))
            *best = m;
    }
    return true;
}

// Final phase: the match in hand (if any) is cut at the input end and written
// without backward extension; the rest of the input becomes the end token.
uint32_t finish(Parse& s, const Match* m)
{
    if (m && m->start < s.n) {
        const uint32_t length = std::min(m->length, s.n - m->start);
        if (length >= M1_MIN_MATCH) {
            if (!m1_put_token(s.w, s.in + s.anchor, m->start - s.anchor, length, m->distance))
                return CODEC_FAIL;
            s.anchor = m->start + length;
        }
    }
    if (!m1_put_token(s.w, s.in + s.anchor, s.n - s.anchor, 0, 0))
        return CODEC_FAIL;
    return static_cast<uint32_t>(s.w.op - s.out);
}

inline bool emit(Parse& s, const Match& m)
{
    if (!m1_put_token(s.w, s.in + s.anchor, m.start - s.anchor, m.length, m.distance))
        return false;
    s.anchor = m.start + m.length;
    return true;
}

// After a probe step without a match: advance by the step, then further the
// longer the literal run grows. Returns false when the final phase begins.
inline bool skip(const Parse& s, uint32_t* ip, uint32_t step)
{
    *ip += step;
    const uint32_t gap = *ip - s.anchor;
    if (gap >= SKIP_GAP) {
        *ip += std::min(gap / SKIP_GAP + 1, SKIP_MAX);
        if (int64_t(*ip) >= s.limit)
            return false;
    }
    return true;
}

// The candidate c if it lies within reach of ip, else ip itself, chosen
// without a branch: compilers tend to turn the choice into a jump that skips
// the candidate load, and that jump follows the data, mispredicting on a large
// share of the probes in poorly compressible stretches.
inline uint32_t near_or_self(uint32_t c, uint32_t ip, uint32_t distance)
{
#if defined(__x86_64__) && defined(__GNUC__)
    uint32_t r = c;
    __asm__("cmpl %[max], %[d]\n\tcmova %[self], %[r]"
            : [r] "+r"(r)
            : [d] "r"(distance), [self] "r"(ip), [max] "i"(M1_MAX_DISTANCE)
            : "cc");
    return r;
#else
    return distance <= M1_MAX_DISTANCE ? c : ip;
#endif
}

Parse start_parse(const BlockCall& job)
{
    return Parse{job.in, job.in_size, int64_t(job.in_size) - 32, 0, M1Writer{job.out, job.out + job.out_limit},
                 job.out};
}

// Level 0: one probe per step into a table of 2^hash_bits entries on the
// stack. With END_INSERT, the last two positions of every match are entered
// as well. BITS: the table size when fixed at compile time (0: hash_bits).
template <bool END_INSERT, int BITS>
uint32_t compress_level0(const BlockCall& job)
{
    uint32_t table[1u << LEVEL0_MAX_HASH_BITS];
    const int bits = BITS ? BITS : job.hash_bits;
    std::memset(table, 0, sizeof(uint32_t) << bits);
    const int shift = 32 - bits;
    Parse s = start_parse(job);
    const uint8_t* const in = s.in;
    // From here on a probe's 4 bytes would pass the input end: no probe finds
    // a candidate any more, so the search is over.
    const uint32_t probe_end = s.n >= 4 ? s.n - 3 : 0;

    // One probe: reads the slot of ip's hash, stores ip there, and tells
    // whether the candidate holds the same 4 bytes within reach. The bytes
    // of a candidate too far back are not read (they may be far from any
    // cache): the probe's own stand in, and the distance test fails it.
    auto probe = [&](uint32_t ip, uint32_t* candidate) {
        const uint32_t here = load_le32(in + ip);
        const uint32_t h = (here * HASH_MULTIPLIER) >> shift;
        const uint32_t c = table[h];
        table[h] = ip;
        *candidate = c;
        const uint32_t distance = ip - c;
        return ((load_le32(in + near_or_self(c, ip, distance)) ^ here) | (distance >> 16)) == 0;
    };

    uint32_t ip = 1;
    for (;;) {
        uint32_t c;
        // Within 128 bytes of the anchor every position is probed.
        const uint32_t dense_end = uint32_t(std::min<uint64_t>(uint64_t(s.anchor) + SKIP_GAP, probe_end));
        for (; ip < dense_end; ++ip)
            if (probe(ip, &c))
                goto found;
        if (ip >= probe_end)
            return finish(s, nullptr);
        // Beyond, probes thin out as the literal run grows: the further
        // advance grows by one every 128 bytes of gap, up to 16. It is
        // constant between two such marks, which keeps the next position a
        // single addition away from the last.
        for (;;) {
            const uint32_t gap = ip - s.anchor;
            const uint32_t advance = std::min(gap / SKIP_GAP + 1, SKIP_MAX);
            const uint64_t mark = advance < SKIP_MAX ? uint64_t(s.anchor) + (gap / SKIP_GAP + 1) * SKIP_GAP
                                                     : UINT64_MAX;
            do {
                ip += advance;
                if (int64_t(ip) >= s.limit)
                    return finish(s, nullptr);
                if (probe(ip, &c))
                    goto found;
                ++ip;
            } while (ip < mark);
        }
    found:
        Match m{ip, extend_forward(s, ip, c, 4), ip - c};
        if (reaches_limit(s, ip, m.length))
            return finish(s, &m);
        extend_backward(s, &m);
        table[H4(in + ip + 1, shift)] = ip + 1;
        table[H4(in + ip + 2, shift)] = ip + 2;
        if (!emit(s, m))
            return CODEC_FAIL;
        ip = s.anchor;
        if constexpr (END_INSERT) {
            table[H4(in + ip - 1, shift)] = ip - 1;
            table[H4(in + ip - 2, shift)] = ip - 2;
        }
    }
}

// Level 1: three probes per step; all slots are read before any is stored.
uint32_t compress_level1(const BlockCall& job)
{
    TableMemory table_owner(size_t(1) << (job.hash_bits - 2));
    uint32_t* const table = table_owner.slots();
    if (!table)
        return CODEC_FAIL;
    const int shift = MULTI_PROBE_TABLE_SHIFT - job.hash_bits;
    Parse s = start_parse(job);
    const uint8_t* const in = s.in;
    const size_t slots = size_t(1) << (job.hash_bits - 2);
    table_owner.named_by(in, s.n, {{0, slots, SlotHash::H4, shift}});

    uint32_t ip = 1;
    for (;;) {
        if (ip >= s.n)
            return finish(s, nullptr);
        uint32_t h[3], c[3];
        for (int i = 0; i < 3; ++i) {
            h[i] = H4(in + ip + i, shift);
            c[i] = table[h[i]];
            __builtin_prefetch(in + c[i]);
        }
        for (uint32_t i = 0; i < 3; ++i)
            table[h[i]] = ip + i;

        Match best;
        if (!pick_best<4>(s, ip, c, 3, &best))
            return finish(s, &best);
        if (best.length == 0) {
            if (!skip(s, &ip, 3))
                return finish(s, nullptr);
            continue;
        }
        const uint32_t covered = best.start + std::min(best.length, 12u);
        for (uint32_t pos = ip; pos < covered; pos += 2)
            table[H4(in + pos, shift)] = pos;
        if (!emit(s, best))
            return CODEC_FAIL;
        ip = std::max(s.anchor, ip + 3);
        for (uint32_t pos = ip - 3; pos < ip; ++pos)
            table[H4(in + pos, shift)] = pos;
    }
}

// Level 2: four probes per step, each with a 6-byte and a 4-byte hash into
// the same table; 6-byte candidates first, 4-byte ones only when none matched.
uint32_t compress_level2(const BlockCall& job)
{
    TableMemory table_owner(size_t(1) << (job.hash_bits - 2));
    uint32_t* const table = table_owner.slots();
    if (!table)
        return CODEC_FAIL;
    const int shift = MULTI_PROBE_TABLE_SHIFT - job.hash_bits;
    Parse s = start_parse(job);
    const uint8_t* const in = s.in;
    const size_t slots = size_t(1) << (job.hash_bits - 2);
    table_owner.named_by(in, s.n, {{0, slots, SlotHash::H4, shift}, {0, slots, SlotHash::H6, shift}});

    uint32_t ip = 1;
    for (;;) {
        if (ip >= s.n)
            return finish(s, nullptr);
        uint32_t h6[4], h4[4], c6[4], c4[4];
        for (int i = 0; i < 4; ++i) {
            h6[i] = H6(in + ip + i, shift);
            h4[i] = H4(in + ip + i, shift);
            c6[i] = table[h6[i]];
            c4[i] = table[h4[i]];
            __builtin_prefetch(in + c6[i]);
            __builtin_prefetch(in + c4[i]);
        }
        for (uint32_t i = 0; i < 4; ++i) {
            table[h6[i]] = ip + i;
            table[h4[i]] = ip + i;
        }

        Match best;
        if (!pick_best<6>(s, ip, c6, 4, &best) || (best.length == 0 && !pick_best<4>(s, ip, c4, 4, &best)))
            return finish(s, &best);
        if (best.length == 0) {
            if (!skip(s, &ip, 4))
                return finish(s, nullptr);
            continue;
        }
        const uint32_t covered = best.start + std::min(best.length, 16u);
        for (uint32_t pos = ip; pos < covered; pos += 3)
            table[H6(in + pos, shift)] = pos;
        if (!emit(s, best))
            return CODEC_FAIL;
        ip = std::max(s.anchor, ip + 4);
        for (uint32_t pos = ip - 4; pos < ip; ++pos) {
            table[H4(in + pos, shift)] = pos;
            table[H6(in + pos, shift)] = pos;
        }
    }
}

} // namespace

uint32_t m1_compress(const BlockCall& job)
{
    const int bits = job.hash_bits;
    if (job.level == 9)
        return m1_compress_optimal(job);
    if (job.in_size == 0)
        return 0;
    switch (job.level) {
    case 0:
        if (bits < 1 || bits > LEVEL0_MAX_HASH_BITS)
            return CODEC_FAIL;
        if (bits == LEVEL0_MAX_HASH_BITS)
            return compress_level0<true, LEVEL0_MAX_HASH_BITS>(job);
        return bits < 13 ? compress_level0<false, 0>(job) : compress_level0<true, 0>(job);
    case 1:
        if (bits < 3 || bits > MULTI_PROBE_MAX_HASH_BITS)
            return CODEC_FAIL;
        return compress_level1(job);
    default:
        if (bits < 3 || bits > MULTI_PROBE_MAX_HASH_BITS)
            return CODEC_FAIL;
        return compress_level2(job);
    }
}

} // namespace qrn
