// Method 3 fast compressors (levels 0-2): greedy parsers over hash tables of
// recent positions, feeding the five stream writers.
#include <cstring>

#include "common/bytes.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/table_memory.h"
#include "codecs/m3/m3.h"
#include "codecs/m3/m3_writer.h"

namespace qrn {
namespace {

// A match of length L at distance D is taken only if D < LengthDistanceLimit[min(L, 9)]:
// short matches far away cost more than their literals.
constexpr uint32_t LengthDistanceLimit[10] = {0,        0,        0,         3072,      524288,
                                              16777216, 16777216, 33554432, 134217728, 2147483647};

inline uint32_t distance_limit(uint32_t length) { return LengthDistanceLimit[length < 9 ? length : 9]; }


struct Match {
    uint32_t start;
    uint32_t length;
    uint32_t distance;
};

struct Parser {
    const uint8_t* in;
    uint32_t n;
    int64_t limit;  // search limit n - 32, negative for blocks under 32 bytes
    uint32_t anchor = 0;
    M3Writers* writers;

    void sequence(uint32_t start, uint32_t length, uint32_t distance)
    {
        m3w_sequence(*writers, anchor, start - anchor, length, distance + M3_REPEATS);
        anchor = start + length;
    }

    // Extends a match at probe position q (candidate c, `validated` bytes
    // equal) forward. Returns false when the compared range reached the
    // search limit: then `length` is what was compared, cut to the input end.
    bool extend_forward(uint32_t q, uint32_t c, uint32_t validated, uint32_t* length) const
    {
        uint32_t a = q + validated;
        uint32_t b = c + validated;
        for (;;) {
            if (static_cast<int64_t>(a) >= limit) {
                const uint32_t len = a - q;
                *length = len < n - q ? len : n - q;
                return false;
            }
            const uint64_t x = load_le64(in + a) ^ load_le64(in + b);
            if (x != 0) {
                *length = a - q + (static_cast<uint32_t>(__builtin_ctzll(x)) >> 3);
                return true;
            }
            a += 8;
            b += 8;
        }
    }

    // Moves a match start back over equal bytes, not below the anchor and
    // while the candidate is above position 0.
    void extend_backward(Match& m) const
    {
        uint32_t c = m.start - m.distance;
        while (m.start > anchor && c > 0 && in[m.start - 1] == in[c - 1]) {
            --m.start;
            --c;
            ++m.length;
        }
    }

    // The match that reached the search limit: written when it starts inside
    // the input and is long enough (no distance limit); the block then ends.
    void final_match(uint32_t q, uint32_t length, uint32_t distance, uint32_t min_match)
    {
        if (q < n && distance != 0 && length >= min_match)
            sequence(q, length, distance);
    }

    // Probe position after a step without a match: the step, then a growing
    // skip through stretches without matches. False when the block ends.
    bool skip(uint32_t& ip, uint32_t step) const
    {
        ip += step;
        const uint32_t gap = ip - anchor;
        if (gap >= 128) {
            const uint32_t extra = gap / 128 + 1;
            ip += extra < 16 ? extra : 16;
            if (static_cast<int64_t>(ip) >= limit)
                return false;
        }
        return true;
    }

    // Where skip() would lead from ip.
    uint32_t after_miss(uint32_t ip, uint32_t step) const
    {
        ip += step;
        const uint32_t gap = ip - anchor;
        if (gap >= 128) {
            const uint32_t extra = gap / 128 + 1;
            ip += extra < 16 ? extra : 16;
        }
        return ip;
    }

    // Looks at the candidates c[0..count) probed at ip, ip + 1, ...: those
    // whose first MIN bytes (4 or 8) match are extended both ways, and
    // `better` picks among them. Returns false when one reaches the search
    // limit: the final phase has then written it (min_final: the shortest
    // match that phase keeps).
    template <uint32_t MIN>
    [[gnu::always_inline]] bool pick(uint32_t ip, const uint32_t* c, uint32_t count, uint32_t min_final, Match* best)
    {
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t q = ip + k;
            // The same match seen one byte later adds nothing.
            if (k > 0 && c[k] == c[k - 1] + 1)
                continue;
            if (q + MIN > n || (MIN == 8 ? load_le64(in + c[k]) != load_le64(in + q)
                                         : load_le32(in + c[k]) != load_le32(in + q)))
                continue;
            Match m{q, 0, q - c[k]};
            if (!extend_forward(q, c[k], MIN, &m.length)) {
                final_match(q, m.length, m.distance, min_final);
                return false;
            }
            extend_backward(m);
            // The first match found always wins (`better` would agree).
            if (best->length == 0 || better(m, *best))
                *best = m;
        }
        return true;
    }

    // DistanceClassBonus rule: does `c` replace `best`?
    static bool better(const Match& c, const Match& best)
    {
        const int64_t advantage = (int64_t{best.start} - c.start) + int64_t{c.length} - best.length + 2;
        return advantage >= DistanceClassBonus[distance_class(c.distance)][distance_class(best.distance)];
    }
};

uint32_t finish(Parser& p)
{
    return m3w_finish(*p.writers, p.anchor, p.n - p.anchor);
}

// Level 0: one H4 probe per position, table on the stack. BITS: the
// table size when fixed at compile time (0: bits).
template <int BITS>
[[gnu::noinline]] uint32_t compress_level0(const Parser& start, int bits)
{
    // A copy of its own: its fields stay in registers, where stores of
    // symbol bytes would otherwise make the compiler read them again.
    Parser p = start;
    if constexpr (BITS != 0)
        bits = BITS;
    uint32_t table[1u << 16];
    std::memset(table, 0, sizeof(uint32_t) << bits);
    const int shift = 32 - bits;
    const uint8_t* in = p.in;
    const uint32_t n = p.n;
    uint32_t ip = 1;
    while (ip < n) {
        if (ip + 4 <= n) {
            uint32_t& slot = table[H4(in + ip, shift)];
            const uint32_t cand = slot;
            slot = ip;
            // Start loading the candidate of a position a little ahead while
            // this one is compared (only a cache hint).
            __builtin_prefetch(in + table[H4(in + ip + 4, shift)]);
            if (load_le32(in + cand) == load_le32(in + ip)) {
                Match m{ip, 0, ip - cand};
                if (!p.extend_forward(ip, cand, 4, &m.length)) {
                    p.final_match(ip, m.length, m.distance, 4);
                    break;
                }
                p.extend_backward(m);
                if (m.distance < distance_limit(m.length)) {
                    table[H4(in + ip + 1, shift)] = ip + 1;
                    table[H4(in + ip + 2, shift)] = ip + 2;
                    p.sequence(m.start, m.length, m.distance);
                    ip = m.start + m.length;
                    table[H4(in + ip - 1, shift)] = ip - 1;
                    table[H4(in + ip - 2, shift)] = ip - 2;
                    continue;
                }
            }
        }
        if (!p.skip(ip, 1))
            break;
    }
    return finish(p);
}

// Level 1: three H4 probes per step. BITS: the hash bits when fixed at
// compile time (0: bits).
template <int BITS>
[[gnu::noinline]] uint32_t compress_level1(const Parser& start, uint32_t* table, int bits)
{
    // A copy of its own: its fields stay in registers, where stores of
    // symbol bytes would otherwise make the compiler read them again.
    Parser p = start;
    if constexpr (BITS != 0)
        bits = BITS;
    const int shift = 34 - bits;
    const uint8_t* in = p.in;
    const uint32_t n = p.n;
    uint32_t ip = 1;
    while (ip < n) {
        uint32_t h[3], c[3];
        for (uint32_t k = 0; k < 3; ++k)
            h[k] = H4(in + ip + k, shift);
        for (uint32_t k = 0; k < 3; ++k) {
            c[k] = table[h[k]];
            __builtin_prefetch(in + c[k]);
        }
        for (uint32_t k = 0; k < 3; ++k)
            table[h[k]] = ip + k;
        {
            // Warm the candidates of the step that follows a miss, and the
            // slots of the one after it.
            const uint32_t next = p.after_miss(ip, 3);
            const uint32_t after = p.after_miss(next, 3);
            if (after < n)
                for (uint32_t k = 0; k < 3; ++k)
                    __builtin_prefetch(table + H4(in + after + k, shift), 1);
            if (next < n)
                for (uint32_t k = 0; k < 3; ++k)
                    __builtin_prefetch(in + table[H4(in + next + k, shift)]);
        }

        Match best{ip, 0, NO_MATCH_DISTANCE};
        if (!p.pick<4>(ip, c, 3, 4, &best))
            break;
        if (best.length == 0 || best.distance >= distance_limit(best.length)) {
            if (!p.skip(ip, 3))
                break;
            continue;
        }
        p.sequence(best.start, best.length, best.distance);
        const uint32_t end = best.start + best.length;
        ip = end > ip + 3 ? end : ip + 3;
        for (uint32_t k = 3; k > 0; --k)
            table[H4(in + ip - k, shift)] = ip - k;
    }
    return finish(p);
}

// Cache warming for the big tables of level 2, a step or two ahead of the
// probes (the values read here decide nothing).
inline void prefetch_slots(const uint8_t* in, uint32_t n, uint32_t ip, const uint32_t* t8, const uint32_t* t4,
                           int shift)
{
    if (ip >= n)
        return;
    for (uint32_t k = 0; k < 4; ++k) {
        __builtin_prefetch(t8 + H8(in + ip + k, shift), 1);
        __builtin_prefetch(t4 + H4(in + ip + k, shift), 1);
    }
}

inline void prefetch_candidates(const uint8_t* in, uint32_t n, uint32_t ip, const uint32_t* t8, const uint32_t* t4,
                                int shift)
{
    if (ip >= n)
        return;
    for (uint32_t k = 0; k < 4; ++k) {
        __builtin_prefetch(in + t8[H8(in + ip + k, shift)]);
        __builtin_prefetch(in + t4[H4(in + ip + k, shift)]);
    }
}

// Level 2: four probes per step over an H8 and an H4 table, and a scan for
// near 3-byte matches (H3 table) in the literals before each match. BITS:
// the hash bits when fixed at compile time (0: bits).
template <int BITS>
[[gnu::noinline]] uint32_t compress_level2(const Parser& start, uint32_t* t8, uint32_t* t4, uint32_t* t3, int bits)
{
    // A copy of its own: its fields stay in registers, where stores of
    // symbol bytes would otherwise make the compiler read them again.
    Parser p = start;
    if constexpr (BITS != 0)
        bits = BITS;
    const int shift = 34 - bits;
    const uint8_t* in = p.in;
    const uint32_t n = p.n;
    uint32_t ip = 1;
    while (ip < n) {
        uint32_t h8[4], h4[4], c8[4], c4[4];
        for (uint32_t k = 0; k < 4; ++k) {
            h8[k] = H8(in + ip + k, shift);
            h4[k] = H4(in + ip + k, shift);
        }
        probe_and_enter4(in, ip, t8, h8, c8, t4, h4, c4);
        // The big tables miss the cache: while this step is worked on, load
        // the candidates of the step that follows a miss and the slots of the
        // one after it.
        {
            const uint32_t next = p.after_miss(ip, 4);
            prefetch_candidates(in, n, next, t8, t4, shift);
            prefetch_slots(in, n, p.after_miss(next, 4), t8, t4, shift);
        }

        Match best{ip, 0, NO_MATCH_DISTANCE};
        if (!p.pick<8>(ip, c8, 4, 3, &best) || (best.length == 0 && !p.pick<4>(ip, c4, 4, 3, &best)))
            break;
        if (best.length == 0 || best.distance >= distance_limit(best.length)) {
            if (!p.skip(ip, 4))
                break;
            continue;
        }

        {
            const uint32_t end = best.start + best.length;
            prefetch_slots(in, n, end > ip + 4 ? end : ip + 4, t8, t4, shift);
        }
        // Near 3-byte (and longer) matches in the literal run before the best.
        for (uint32_t s = p.anchor == 0 ? 1 : p.anchor; s + 3 <= best.start;) {
            uint32_t& slot = t3[H3(in + s)];
            const uint32_t c = slot;
            slot = s;
            if (((load_le32(in + c) ^ load_le32(in + s)) & 0xFFFFFF) == 0) {
                Match m{s, 3 + match_length(in + s + 3, in + c + 3, best.start - s - 3), s - c};
                uint32_t cb = c;
                while (cb > p.anchor && in[m.start - 1] == in[cb - 1]) {
                    --m.start;
                    --cb;
                    ++m.length;
                }
                if (m.distance < distance_limit(m.length)) {
                    p.sequence(m.start, m.length, m.distance);
                    s = p.anchor;
                    continue;
                }
            }
            ++s;
        }
        for (uint32_t k = 0; k < 4; ++k)
            t3[H3(in + ip + k)] = ip + k;
        const uint32_t span = best.length < 16 ? best.length : 16;
        for (uint32_t q = ip; q < best.start + span; q += 3)
            t8[H8(in + q, shift)] = q;

        p.sequence(best.start, best.length, best.distance);
        const uint32_t end = best.start + best.length;
        ip = end > ip + 4 ? end : ip + 4;
        for (uint32_t k = 4; k > 0; --k)
            t4[H4(in + ip - k, shift)] = ip - k;
    }
    return finish(p);
}


} // namespace

uint32_t m3_compress(const BlockCall& job)
{
    if (job.level == 9)
        return m3_compress_optimal(job);
    if (job.in_size == 0)
        return 0;
    const int bits = job.hash_bits;
    const int level = job.level == 0 ? 0 : job.level == 1 ? 1 : 2;
    // Table sizes the shifts can address: 2^bits entries at level 0 (on the
    // stack), 2^(bits - 2) at levels 1 and 2.
    if (level == 0 ? (bits < 1 || bits > 16) : (bits < 3 || bits > 32))
        return CODEC_FAIL;

    const size_t entries = level == 0 ? 0 : size_t{1} << (bits - 2);
    TableMemory tables(level == 1 ? entries : level == 2 ? 2 * entries + (size_t{1} << H3_BITS) : 0);
    uint32_t* const t = tables.slots();
    if (level != 0 && t == nullptr)
        return CODEC_FAIL;
    const int shift = 34 - bits;
    const size_t h3_slots = size_t{1} << H3_BITS;
    if (level == 1)
        tables.named_by(job.in, job.in_size, {{0, entries, SlotHash::H4, shift}});
    else if (level == 2)
        tables.named_by(job.in, job.in_size,
                        {{0, entries, SlotHash::H8, shift},
                         {entries, entries, SlotHash::H4, shift},
                         {2 * entries, h3_slots, SlotHash::H3, 0}});
    M3Writers writers;
    if (!m3w_open(writers, job))
        return CODEC_FAIL;
    Parser p{job.in, job.in_size, int64_t{job.in_size} - 32, 0, &writers};
    uint32_t result;
    // The default table sizes have builds of their own, with constant shifts.
    if (level == 0) {
        result = bits == 16 ? compress_level0<16>(p, bits) : compress_level0<0>(p, bits);
    } else if (level == 1) {
        result = bits == 20 ? compress_level1<20>(p, t, bits) : compress_level1<0>(p, t, bits);
    } else {
        result = bits == 26 ? compress_level2<26>(p, t, t + entries, t + 2 * entries, bits)
                            : compress_level2<0>(p, t, t + entries, t + 2 * entries, bits);
    }
    m3w_close(writers);
    return result;
}

} // namespace qrn
