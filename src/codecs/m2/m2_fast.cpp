// Method 2 fast compressors, levels 0-2: greedy parsers over hash tables of
// recent positions, writing the plain dialect.
//   level 0: one H4 probe per position;
//   level 1: three H4 probes per step, the candidate choice by distance class,
//            short matches dropped when too far to pay for their token;
//   level 2: four probes per step over H6 then H4 candidates, as level 1, and
//            the literal gap before each match searched for 3-byte matches.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/common/table_memory.h"
#include "codecs/m2/m2.h"
#include "codecs/m2/m2_format.h"

namespace qrn {
namespace {

constexpr int LEVEL0_MAX_HASH_BITS = 16;
constexpr int MIN_HASH_BITS = 10;
constexpr int MAX_HASH_BITS = 32;

// ---- token writer ----------------------------------------------------------

// Copies 16 bytes at a time; may write up to 15 bytes past the run and read as
// far past its source.
inline uint8_t* put_literals(uint8_t* op, const uint8_t* src, uint32_t count)
{
    wild_copy16(op, src, op + count);
    return op + count;
}

// One token: `lit` literals from `lit_src`, then a match of `len` bytes at
// distance `dist`. The distance alone picks the form.
inline uint8_t* put_token(uint8_t* op, const uint8_t* lit_src, uint32_t lit, uint32_t len, uint32_t dist,
                          uint32_t min_match)
{
    const uint32_t value = len - min_match;
    const uint32_t ml_field = value < 7 ? value : 7;
    uint32_t lit_escape;
    if (dist <= M2_SHORT_MAX_DISTANCE) {
        lit_escape = 3;
        store_le32(op, dist << 6 | std::min(lit, 3u) << 4 | ml_field);
        op += 2;
    } else {
        lit_escape = 7;
        const bool far = dist > M2_THREE_BYTE_MAX_DISTANCE;
        store_le32(op, dist << 8 | std::min(lit, 7u) << 5 | (far ? 24 : 8) | ml_field);
        op += far ? 4 : 3;
    }
    if (ml_field == 7)
        op = length_extension_put(op, value);
    if (lit >= lit_escape)
        op = length_extension_put(op, lit);
    return put_literals(op, lit_src, lit);
}

// The end token: a short token of distance 0 carrying the last literals.
inline uint8_t* put_end(uint8_t* op, const uint8_t* lit_src, uint32_t lit)
{
    store_le32(op, std::min(lit, 3u) << 4);
    op += 2;
    if (lit >= 3)
        op = length_extension_put(op, lit);
    return put_literals(op, lit_src, lit);
}

// ---- match search ----------------------------------------------------------

struct Match {
    uint32_t start;
    uint32_t len;  // 0: no match
    uint32_t dist;
};

constexpr Match NO_MATCH = {0, 0, NO_MATCH_DISTANCE};

// The state every level shares: the block, the output and the anchor.
struct Parse {
    const uint8_t* src;
    uint32_t n;
    int64_t limit;  // n - 32, negative for short blocks
    uint32_t anchor;
    uint8_t* op;
    uint32_t min_match;
};

inline bool equal4(const uint8_t* a, const uint8_t* b) { return load_le32(a) == load_le32(b); }
inline bool equal6(const uint8_t* a, const uint8_t* b)
{
    return ((load_le64(a) ^ load_le64(b)) & 0xFFFFFFFFFFFFull) == 0;
}

// Whether `cand` is a match for `q` on `width` (4 or 6) bytes within reach.
inline bool is_match(const Parse& ps, uint32_t q, uint32_t cand, uint32_t width)
{
    if (q + width > ps.n || q - cand - 1 >= M2_MAX_DISTANCE)  // distance 1..M2_MAX_DISTANCE
        return false;
    return width == 4 ? equal4(ps.src + q, ps.src + cand) : equal6(ps.src + q, ps.src + cand);
}

// Extends a match of `validated` bytes at q (source cand) forward, 8 bytes per
// comparison. Returns true when the compared range reached the search limit:
// the parse then ends with this match.
inline bool extend_forward(const Parse& ps, uint32_t q, uint32_t cand, uint32_t validated, uint32_t* len)
{
    const uint8_t* a = ps.src + q;
    const uint8_t* b = ps.src + cand;
    uint32_t l = validated;
    for (;;) {
        const uint64_t x = load_le64(a + l) ^ load_le64(b + l);
        if (x != 0) {
            l += static_cast<uint32_t>(__builtin_ctzll(x)) >> 3;
            // Near the end the comparison may run into the zeroed slack.
            *len = std::min(l, ps.n - q);
            return false;
        }
        l += 8;
        if (static_cast<int64_t>(q) + l >= ps.limit) {
            *len = l;
            return true;
        }
    }
}

// Moves a match back over equal bytes, not before the anchor nor position 0.
inline Match extend_backward(const Parse& ps, uint32_t q, uint32_t cand, uint32_t len)
{
    while (q > ps.anchor && cand > 0 && ps.src[q - 1] == ps.src[cand - 1]) {
        --q;
        --cand;
        ++len;
    }
    return {q, len, q - cand};
}

inline void emit(Parse& ps, const Match& m)
{
    ps.op = put_token(ps.op, ps.src + ps.anchor, m.start - ps.anchor, m.len, m.dist, ps.min_match);
    ps.anchor = m.start + m.len;
}

// End of the parse: the match in hand (not extended backward) is cut at the
// input end and written if still long enough, then the end token.
uint32_t finish(Parse& ps, uint8_t* out_start, const Match& m)
{
    if (m.len != 0 && m.start < ps.n) {
        const uint32_t len = std::min(m.len, ps.n - m.start);
        if (len >= ps.min_match)
            emit(ps, {m.start, len, m.dist});
    }
    ps.op = put_end(ps.op, ps.src + ps.anchor, ps.n - ps.anchor);
    return static_cast<uint32_t>(ps.op - out_start);
}

// Advance after a step without a match; true when the parse must end.
inline bool skip(const Parse& ps, uint32_t* ip, uint32_t step)
{
    *ip += step;
    const uint32_t gap = *ip - ps.anchor;
    if (gap >= 128) {
        *ip += std::min(gap / 128 + 1, 16u);
        if (static_cast<int64_t>(*ip) >= ps.limit)
            return true;
    }
    return false;
}

// Whether `m` should replace `best`: it must reach far enough beyond the best
// match to make up for a larger distance class.
inline bool better(const Match& m, const Match& best)
{
    if (best.len == 0)
        return true;
    const int64_t advantage = static_cast<int64_t>(best.start) - m.start + static_cast<int64_t>(m.len) -
                              static_cast<int64_t>(best.len) + 2;
    return advantage >= DistanceClassBonus[distance_class(m.dist)][distance_class(best.dist)];
}

// Looks at the candidates cand[0..count) probed at ip, ip + 1, ... whose
// first `width` bytes match: each is extended both ways and `better` picks
// among them. Returns false when one reaches the search limit; *best is then
// that one, not extended backwards.
inline bool pick_best(const Parse& ps, uint32_t ip, const uint32_t* cand, uint32_t count, uint32_t width, Match* best)
{
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t q = ip + k;
        // The same match seen one byte later adds nothing.
        if (k > 0 && cand[k] == cand[k - 1] + 1)
            continue;
        if (!is_match(ps, q, cand[k], width))
            continue;
        uint32_t len;
        if (extend_forward(ps, q, cand[k], width, &len)) {
            *best = {q, len, q - cand[k]};
            return false;
        }
        const Match m = extend_backward(ps, q, cand[k], len);
        if (better(m, *best))
            *best = m;
    }
    return true;
}

inline bool pays_for_token(const Match& m) { return m.dist < MaxDistanceByLength[std::min(m.len, 9u)]; }


// ---- level 0 -----------------------------------------------------------------

template <bool END_INSERT>
uint32_t compress_level0(const BlockCall& job, int p)
{
    uint32_t table[1u << LEVEL0_MAX_HASH_BITS];
    std::fill_n(table, size_t(1) << p, 0u);
    const int shift = 32 - p;
    Parse ps{job.in, job.in_size, static_cast<int64_t>(job.in_size) - 32, 0, job.out, 4};
    const uint8_t* const src = ps.src;
    auto store = [&](uint32_t pos) { table[H4(src + pos, shift)] = pos; };

    uint32_t ip = 1;
    while (ip < ps.n) {
        uint32_t& slot = table[H4(src + ip, shift)];
        const uint32_t cand = slot;
        slot = ip;
        if (is_match(ps, ip, cand, 4)) {
            uint32_t len;
            if (extend_forward(ps, ip, cand, 4, &len))
                return finish(ps, job.out, {ip, len, ip - cand});
            const Match m = extend_backward(ps, ip, cand, len);
            store(ip + 1);
            store(ip + 2);
            emit(ps, m);
            if (END_INSERT) {
                store(ps.anchor - 1);
                store(ps.anchor - 2);
            }
            ip = ps.anchor;
            continue;
        }
        if (skip(ps, &ip, 1))
            break;
    }
    return finish(ps, job.out, NO_MATCH);
}

// ---- level 1 -----------------------------------------------------------------

uint32_t compress_level1(const BlockCall& job, int p)
{
    TableMemory t(size_t(1) << (p - 2));
    if (!t.slots())
        return CODEC_FAIL;
    uint32_t* const table = t.slots();
    const int shift = 34 - p;
    t.named_by(job.in, job.in_size, {{0, size_t(1) << (p - 2), SlotHash::H4, shift}});
    Parse ps{job.in, job.in_size, static_cast<int64_t>(job.in_size) - 32, 0, job.out, 4};
    const uint8_t* const src = ps.src;

    // The table is larger than the near caches: while a step runs, the slots
    // of the step that follows it when it finds nothing are fetched, and
    // their hashes kept for that step.
    uint32_t h[3] = {};
    uint32_t hashed_at = 0;  // the position h belongs to (0: none)
    uint32_t ip = 1;
    while (ip < ps.n) {
        if (hashed_at != ip) {
            for (int k = 0; k < 3; ++k)
                h[k] = H4(src + ip + k, shift);
        }
        uint32_t cand[3];
        for (int k = 0; k < 3; ++k) {
            cand[k] = table[h[k]];
            __builtin_prefetch(src + cand[k]);
        }
        for (int k = 0; k < 3; ++k)
            table[h[k]] = ip + k;
        uint32_t next = ip + 3;
        if (next - ps.anchor >= 128)
            next += std::min((next - ps.anchor) / 128 + 1, 16u);
        uint32_t next_h[3];
        for (int k = 0; k < 3; ++k) {
            next_h[k] = H4(src + next + k, shift);
            __builtin_prefetch(table + next_h[k]);
        }

        Match best = NO_MATCH;
        if (!pick_best(ps, ip, cand, 3, 4, &best))
            return finish(ps, job.out, best);
        if (best.len != 0 && pays_for_token(best)) {
            // The slots of the step after the match are fetched while the
            // match is written.
            const uint32_t after = std::max(best.start + best.len, ip + 3);
            for (int k = 0; k < 3; ++k) {
                h[k] = H4(src + after + k, shift);
                __builtin_prefetch(table + h[k]);
            }
            hashed_at = after;
            emit(ps, best);
            ip = std::max(ps.anchor, ip + 3);
            for (uint32_t pos = ip - 3; pos < ip; ++pos)
                table[H4(src + pos, shift)] = pos;
            continue;
        }
        if (skip(ps, &ip, 3))
            break;
        if (ip == next) {
            std::copy_n(next_h, 3, h);
            hashed_at = ip;
        }
    }
    return finish(ps, job.out, NO_MATCH);
}

// ---- level 2 -----------------------------------------------------------------

// Searches the literal gap between the anchor and the main match for 3-byte
// matches and writes those that pay for their token; none reaches into the
// main match.
void fill_gap(Parse& ps, uint32_t* h3_table, uint32_t match_start)
{
    const uint8_t* const src = ps.src;
    uint32_t q = std::max(ps.anchor, 1u);
    while (q + 3 <= match_start) {
        uint32_t& slot = h3_table[H3(src + q)];
        uint32_t cand = slot;
        slot = q;
        if (((load_le32(src + q) ^ load_le32(src + cand)) & 0xFFFFFF) != 0 || q - cand - 1 >= M2_MAX_DISTANCE) {
            ++q;
            continue;
        }
        uint32_t start = q;
        uint32_t len = 3 + match_length(src + q + 3, src + cand + 3, match_start - q - 3);
        while (cand > ps.anchor && src[start - 1] == src[cand - 1]) {
            --start;
            --cand;
            ++len;
        }
        const Match m{start, len, start - cand};
        if (pays_for_token(m)) {
            emit(ps, m);
            q = ps.anchor;
        } else {
            ++q;
        }
    }
}

uint32_t compress_level2(const BlockCall& job, int p)
{
    TableMemory t(size_t(1) << (p - 2));
    TableMemory t3(size_t(1) << H3_BITS);
    if (!t.slots() || !t3.slots())
        return CODEC_FAIL;
    uint32_t* const table = t.slots();
    uint32_t* const h3_table = t3.slots();
    const int shift = 34 - p;
    const size_t slots = size_t(1) << (p - 2);
    t.named_by(job.in, job.in_size, {{0, slots, SlotHash::H6, shift}, {0, slots, SlotHash::H4, shift}});
    t3.named_by(job.in, job.in_size, {{0, size_t(1) << H3_BITS, SlotHash::H3, 0}});
    Parse ps{job.in, job.in_size, static_cast<int64_t>(job.in_size) - 32, 0, job.out, 3};
    const uint8_t* const src = ps.src;

    // The table is far larger than the caches: while a step runs, the slots
    // of the step that follows it when it finds nothing are fetched, and
    // their hashes kept for that step.
    uint32_t h6[4];
    uint32_t h4[4];
    uint32_t hashed_at = 0;  // the position h6 and h4 belong to (0: none)
    uint32_t ip = 1;
    while (ip < ps.n) {
        if (hashed_at != ip) {
            for (int k = 0; k < 4; ++k) {
                h6[k] = H6(src + ip + k, shift);
                h4[k] = H4(src + ip + k, shift);
            }
        }
        uint32_t cand6[4];
        uint32_t cand4[4];
        probe_and_enter4(src, ip, table, h6, cand6, table, h4, cand4);
        uint32_t next = ip + 4;
        if (next - ps.anchor >= 128)
            next += std::min((next - ps.anchor) / 128 + 1, 16u);
        uint32_t next_h6[4];
        uint32_t next_h4[4];
        for (int k = 0; k < 4; ++k) {
            next_h6[k] = H6(src + next + k, shift);
            next_h4[k] = H4(src + next + k, shift);
            __builtin_prefetch(table + next_h6[k]);
            __builtin_prefetch(table + next_h4[k]);
        }

        // Six-byte candidates first; the four-byte ones only when none matched.
        Match best = NO_MATCH;
        if (!pick_best(ps, ip, cand6, 4, 6, &best) || (best.len == 0 && !pick_best(ps, ip, cand4, 4, 4, &best)))
            return finish(ps, job.out, best);

        if (best.len != 0 && pays_for_token(best)) {
            // The slots of the step after the match are fetched while the gap
            // and the match are written.
            const uint32_t after = std::max(best.start + best.len, ip + 4);
            for (int k = 0; k < 4; ++k) {
                h6[k] = H6(src + after + k, shift);
                h4[k] = H4(src + after + k, shift);
                __builtin_prefetch(table + h6[k]);
                __builtin_prefetch(table + h4[k]);
            }
            hashed_at = after;
            fill_gap(ps, h3_table, best.start);
            for (uint32_t k = 0; k < 4; ++k)
                h3_table[H3(src + ip + k)] = ip + k;
            const uint32_t covered = best.start + std::min(best.len, 16u);
            for (uint32_t pos = ip; pos < covered; pos += 3)
                table[H6(src + pos, shift)] = pos;
            emit(ps, best);
            ip = std::max(ps.anchor, ip + 4);
            for (uint32_t pos = ip - 4; pos < ip; ++pos)
                table[H4(src + pos, shift)] = pos;
            for (uint32_t pos = ip - 4; pos < ip; ++pos)
                table[H6(src + pos, shift)] = pos;
            continue;
        }
        if (skip(ps, &ip, 4))
            break;
        if (ip == next) {
            std::copy_n(next_h6, 4, h6);
            std::copy_n(next_h4, 4, h4);
            hashed_at = ip;
        }
    }
    return finish(ps, job.out, NO_MATCH);
}

} // namespace

uint32_t m2_compress(const BlockCall& job)
{
    const uint32_t n = job.in_size;
    if (n == 0)
        return 0;
    // The worst token costs 11 bytes for 10 input bytes (a three-byte token
    // with an extension byte after 7 literals, carrying a 3-byte match).
    if (static_cast<uint64_t>(n) + n / 8 + 64 > job.out_limit)
        return CODEC_FAIL;
    const int p = job.hash_bits;
    switch (job.level) {
    case 0:
        if (p < MIN_HASH_BITS || p > LEVEL0_MAX_HASH_BITS)
            return CODEC_FAIL;
        return p < 13 ? compress_level0<false>(job, p) : compress_level0<true>(job, p);
    case 1:
        if (p < MIN_HASH_BITS || p > MAX_HASH_BITS)
            return CODEC_FAIL;
        return compress_level1(job, p);
    case 9:
        return m2_compress_optimal(job);
    default:
        if (p < MIN_HASH_BITS || p > MAX_HASH_BITS)
            return CODEC_FAIL;
        return compress_level2(job, p);
    }
}

} // namespace qrn
