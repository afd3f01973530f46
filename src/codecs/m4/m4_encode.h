// Method 4 steps as binary decisions, in the order the decoder reads them.
// Each walk hands every (probability, bit) pair of a step to `bit`: the step
// coder codes them, the parser sums their prices.
#pragma once

#include <cstdint>

#include "codecs/m4/m4_format.h"
#include "codecs/m4/m4_range.h"

namespace qrn {

template <class Bit>
inline void m4_walk_tree(uint16_t* probs, uint32_t bits, uint32_t value, Bit&& bit)
{
    uint32_t node = 1;
    for (uint32_t i = bits; i-- > 0;) {
        const uint32_t b = (value >> i) & 1;
        bit(probs[node], b);
        node = node << 1 | b;
    }
}

// A literal: after a match-like step (state 5 and up) the bits are coded
// beside the match byte's bits until the first that differs.
template <class Bit>
inline void m4_walk_literal(M4Probs& pr, uint32_t state, uint32_t match_byte, uint32_t prev, uint32_t byte,
                            Bit&& bit)
{
    uint32_t node = 1;
    int i = 7;
    if (m4_matched_literal(state)) {
        uint16_t* matched = pr.lit_matched[match_byte];
        for (; i >= 0; --i) {
            const uint32_t b = (match_byte >> i) & 1, x = (byte >> i) & 1;
            bit(matched[(b << 8) + node], x);
            node = node << 1 | x;
            if (x != b) {
                --i;
                break;
            }
        }
    }
    uint16_t* plain = pr.lit_plain[prev];
    for (; i >= 0; --i) {
        const uint32_t x = (byte >> i) & 1;
        bit(plain[node], x);
        node = node << 1 | x;
    }
}

template <class Bit>
inline void m4_walk_length(M4Probs& pr, uint32_t length_state, uint32_t pos_class, uint32_t length, Bit&& bit)
{
    bit(pr.len_is_2[length_state][pos_class], length == 2);
    if (length == 2)
        return;
    const uint32_t i = m4_length_prefix(length);
    for (uint32_t k = 0; k < i; ++k)
        bit(pr.len_prefix[length_state][k], 0);
    bit(pr.len_prefix[length_state][i], 1);
    const uint32_t v = length - 1;
    for (uint32_t j = i + 1; j-- > 0;)
        bit(pr.len_bits[i][j], (v >> j) & 1);
}

// The two nibbles of a distance slot under distance context t.
template <class Bit>
inline void m4_walk_slot(M4Probs& pr, uint32_t t, uint32_t slot, Bit&& bit)
{
    const uint32_t h = slot >> 4, l = slot & 15;
    uint16_t* high = pr.dist_nibbles[t];
    for (uint32_t k = 0, x = 0; k < 4; ++k) {
        const uint32_t b = (h >> (3 - k)) & 1;
        bit(high[m4_nibble_index(k, x)], b);
        x = x << 1 | b;
    }
    uint16_t* low = pr.dist_nibbles[M4_LOW_GROUP + h];
    for (uint32_t k = 0, x = 0; k < 4; ++k) {
        const uint32_t b = (l >> (3 - k)) & 1;
        bit(low[m4_nibble_index(k, m4_low_history(t, k, x))], b);
        x = x << 1 | b;
    }
}

// Codes steps of a block and keeps the model exactly as the decoder will.
// `block` is what the decoder produces: the match byte of each step is read
// from it.
struct M4StepCoder {
    M4Encoder rc;
    M4Probs* pr = nullptr;
    const uint8_t* block = nullptr;
    uint32_t pos = 0;   // bytes coded
    M4State st;

    // Starts with the block's first byte.
    void open(M4Probs* probs, const uint8_t* data, uint8_t* out, uint32_t capacity)
    {
        pr = probs;
        pr->reset();
        block = data;
        st = M4State{};
        rc.open(out, capacity, data[0]);
        pos = 1;
    }
    auto bits()
    {
        return [this](uint16_t& p, uint32_t b) { rc.bit(p, b); };
    }
    uint32_t match_byte() const { return block[pos - st.rep[0]]; }

    void literal()
    {
        rc.bit(pr->is_match[st.state][match_byte()], 0);
        const uint32_t byte = block[pos];
        m4_walk_literal(*pr, st.state, match_byte(), st.prev, byte, bits());
        st.state = m4_after_literal(st.state);
        advance(1);
    }
    void short_rep()
    {
        rc.bit(pr->is_match[st.state][match_byte()], 1);
        rc.bit(pr->is_rep[st.state], 1);
        rc.bit(pr->is_rep0[st.state], 0);
        rc.bit(pr->is_short_rep[st.state][pos & 3], 1);
        st.state = m4_after_short_rep(st.state);
        advance(1);
    }
    // A repeat of distance `index` (0..3), length 2 or more.
    void rep(uint32_t index, uint32_t length)
    {
        rc.bit(pr->is_match[st.state][match_byte()], 1);
        rc.bit(pr->is_rep[st.state], 1);
        rc.bit(pr->is_rep0[st.state], index != 0);
        if (index == 0) {
            rc.bit(pr->is_short_rep[st.state][pos & 3], 0);
        } else {
            rc.bit(pr->rep_is_1, index != 1);
            if (index != 1)
                rc.bit(pr->rep_is_2, index != 2);
        }
        m4_rep_to_front(st.rep, index);
        st.state = m4_after_rep(st.state);
        m4_walk_length(*pr, st.state, pos & 3, length, bits());
        advance(length);
    }
    void match(uint32_t distance, uint32_t length)
    {
        rc.bit(pr->is_match[st.state][match_byte()], 1);
        rc.bit(pr->is_rep[st.state], 0);
        m4_walk_length(*pr, st.state, pos & 3, length, bits());
        const uint32_t slot = m4_slot(distance);
        m4_walk_slot(*pr, m4_dist_context(length), slot, bits());
        if (slot >= 16) {
            const uint32_t extra_bits = m4_slot_extra_bits(slot);
            const uint32_t extra = distance - static_cast<uint32_t>(m4_slot_base(slot));
            if (extra_bits <= M4_EXTRA_TREE_BITS) {
                m4_walk_tree(pr->dist_extra[slot], extra_bits, extra, bits());
            } else {
                const uint32_t direct = extra_bits - M4_EXTRA_TREE_BITS;
                m4_walk_tree(pr->dist_extra[slot], M4_EXTRA_TREE_BITS, extra >> direct, bits());
                rc.direct(extra & ((1u << direct) - 1), direct);
            }
        }
        m4_push_distance(st.rep, distance);
        st.state = m4_after_match(st.state);
        advance(length);
    }
    // The stream's size in bytes, or all ones when it did not fit the output.
    // (A block of one byte gives two words: the flush of an untouched range.)
    uint32_t finish()
    {
        rc.flush();
        return rc.full ? 0xFFFFFFFFu : rc.size();
    }

private:
    void advance(uint32_t length)
    {
        pos += length;
        st.prev = block[pos - 1];
    }
};

} // namespace qrn
