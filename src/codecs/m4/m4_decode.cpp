// Method 4 decoder. The range decoder never reads past the payload (a word
// needed beyond it is damage), and every length and distance is checked
// against the bytes decoded so far and the block size, so that a damaged
// stream ends in a result other than the block size.
#include <memory>
#include <new>

#include "codecs/common/copy.h"
#include "codecs/m4/m4.h"
#include "codecs/m4/m4_format.h"
#include "codecs/m4/m4_range.h"

namespace qrn {
namespace {

// The model is too large for a worker's stack: one per thread, reset per block.
M4Probs* decode_probs()
{
    thread_local std::unique_ptr<M4Probs> probs(new (std::nothrow) M4Probs);
    return probs.get();
}

// A length under length state s; 0 when the unary prefix does not end.
inline uint64_t decode_length(M4Decoder& rc, M4Probs& pr, uint32_t s, uint32_t pos_class)
{
    if (rc.bit(pr.len_is_2[s][pos_class]))
        return 2;
    uint32_t i = 0;
    while (!rc.bit(pr.len_prefix[s][i]))
        if (++i == M4_LENGTH_PREFIXES)
            return 0;
    uint64_t v = 1;
    uint16_t* bits = pr.len_bits[i];
    for (uint32_t j = i + 1; j-- > 0;)
        v = v << 1 | rc.bit_free(bits[j]);
    return v + 1;
}

// A new distance under distance context t; 0 when it is 0 or reaches before
// the block's start (pos bytes decoded).
inline uint32_t decode_distance(M4Decoder& rc, M4Probs& pr, uint32_t t, uint32_t pos)
{
    const uint32_t h = m4_decode_nibble(rc, pr.dist_nibbles[t], [](uint32_t k, uint32_t x) { return m4_nibble_index(k, x); });
    const uint32_t l = m4_decode_nibble(rc, pr.dist_nibbles[M4_LOW_GROUP + h], [t](uint32_t k, uint32_t x) {
        return m4_nibble_index(k, m4_low_history(t, k, x));
    });
    const uint32_t slot = 16 * h + l;
    if (slot < 16)
        return slot <= pos ? slot : 0;
    const uint64_t base = m4_slot_base(slot);
    if (base > pos)
        return 0;
    // base <= pos < 2^32 keeps the extra bits at 28 or fewer.
    const uint32_t extra_bits = m4_slot_extra_bits(slot);
    const uint32_t tree_bits = extra_bits < M4_EXTRA_TREE_BITS ? extra_bits : M4_EXTRA_TREE_BITS;
    uint32_t extra = m4_decode_tree(rc, pr.dist_extra[slot], tree_bits);
    if (extra_bits > tree_bits) {
        uint32_t direct;
        if (!rc.direct(extra_bits - tree_bits, &direct))
            return 0;
        extra = extra << (extra_bits - tree_bits) | direct;
    }
    const uint64_t d = base + extra;
    return d <= pos ? static_cast<uint32_t>(d) : 0;
}

// The byte at pos - distance, `length` times: 16 bytes at a time where the
// block has room for the pieces' overshoot, else one byte at a time.
inline void copy_match(uint8_t* out, uint32_t pos, uint32_t distance, uint32_t length, uint32_t size)
{
    uint8_t* dst = out + pos;
    const uint8_t* src = dst - distance;
    if (uint64_t{size - pos} >= uint64_t{length} + 32) {
        uint8_t* const end = dst + length;
        if (distance >= 16)
            wild_copy16_apart(dst, src, end);
        else if (distance >= 8)
            wild_copy16(dst, src, end);
        else
            overlap_copy(dst, distance, end);
        return;
    }
    for (uint32_t i = 0; i < length; ++i)
        dst[i] = src[i];
}

} // namespace

uint32_t m4_decompress(const BlockCall& job)
{
    const uint32_t size = job.out_limit;
    if (size == 0)
        return 0;
    if (job.in_size < 8 || job.in_size % 4 != 0)
        return codec_damaged(size);
    M4Probs* probs = decode_probs();
    if (!probs)
        return codec_damaged(size);
    M4Probs& pr = *probs;
    pr.reset();
    uint8_t* const out = job.out;
    M4Decoder rc;
    const uint32_t first = rc.open(job.in, job.in_size / 4);
    if (first > 255)
        return codec_damaged(size);
    out[0] = static_cast<uint8_t>(first);
    uint32_t pos = 1;
    uint32_t state = 0, rep0 = 1, rep1 = 1, rep2 = 1, rep3 = 1, prev = 0;
    while (pos < size) {
        if (rc.overrun) [[unlikely]]
            return codec_damaged(size);
        const uint32_t mb = out[pos - rep0];
        if (!rc.bit(pr.is_match[state][mb])) {
            const uint32_t node = m4_matched_literal(state)
                                      ? m4_decode_matched_byte(rc, pr.lit_matched[mb], pr.lit_plain[prev], mb)
                                      : m4_decode_byte_tree(rc, pr.lit_plain[prev], 1);
            prev = node - 256;
            out[pos++] = static_cast<uint8_t>(prev);
            state = m4_after_literal(state);
            continue;
        }
        uint64_t length;
        if (!rc.bit(pr.is_rep[state])) {
            length = decode_length(rc, pr, state, pos & 3);
            if (length == 0 || length > size - pos)
                return codec_damaged(size);
            const uint32_t d = decode_distance(rc, pr, m4_dist_context(static_cast<uint32_t>(length)), pos);
            if (d == 0)
                return codec_damaged(size);
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = d;
            state = m4_after_match(state);
        } else {
            if (!rc.bit(pr.is_rep0[state])) {
                if (rc.bit(pr.is_short_rep[state][pos & 3])) {
                    out[pos++] = static_cast<uint8_t>(mb);
                    prev = mb;
                    state = m4_after_short_rep(state);
                    continue;
                }
            } else {
                uint32_t d;
                if (!rc.bit(pr.rep_is_1)) {
                    d = rep1;
                } else {
                    if (!rc.bit(pr.rep_is_2)) {
                        d = rep2;
                    } else {
                        d = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = d;
            }
            state = m4_after_rep(state);
            length = decode_length(rc, pr, state, pos & 3);
            if (length == 0 || length > size - pos)
                return codec_damaged(size);
        }
        copy_match(out, pos, rep0, static_cast<uint32_t>(length), size);
        pos += static_cast<uint32_t>(length);
        prev = out[pos - 1];
    }
    return rc.overrun ? codec_damaged(size) : size;
}

} // namespace qrn
