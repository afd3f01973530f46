// Method 4 block format: one stream of 32-bit little-endian words from an
// adaptive binary range coder. Every decision is one binary symbol with its
// own probability; this header holds the model (every probability and its
// context), the state machine and the value codes shared by the coder and the
// decoder.
//
// A step is a literal (`is_match` 0), a new match (`is_match` 1, `is_rep` 0:
// length, then distance), a short repeat (one byte at rep0) or a repeat of
// one of four recent distances with a length.
#pragma once

#include <cstdint>
#include <cstddef>

namespace qrn {

// Probabilities: chance of a 0 bit on a scale of 2^14, adapting by 1/32.
constexpr uint32_t M4_PROB_BITS = 14;
constexpr uint32_t M4_PROB_ONE = 1u << M4_PROB_BITS;
constexpr uint32_t M4_ADAPT_SHIFT = 5;
constexpr uint16_t M4_PROB_START = 0x2100;
constexpr uint16_t M4_REP_SELECT_START = 0x2000;   // rep_is_1 and rep_is_2

// The range: 64 bits, topped up by a 32-bit word when it falls to 2^32 - 1.
constexpr uint64_t M4_TOP = (uint64_t{1} << 56) - 1;
constexpr uint64_t M4_NORMALIZE_AT = 0xFFFFFFFFu;

constexpr uint32_t M4_STATES = 13;
constexpr uint32_t M4_REPEATS = 4;
constexpr uint32_t M4_LENGTH_PREFIXES = 32;
constexpr uint32_t M4_DIST_CONTEXTS = 6;

// Every probability of one block. The distance nibbles are 32 groups of 64:
// group t (0..5) codes the high nibble under distance context t, group
// 16 + H the low nibble under high nibble H; bit k (0..3) with history x is
// entry 4x + 3 - k of its group.
struct M4Probs {
    uint16_t is_match[M4_STATES][256];       // state, byte at rep0
    uint16_t is_rep[M4_STATES];
    uint16_t is_rep0[M4_STATES];
    uint16_t is_short_rep[M4_STATES][4];     // state, position mod 4
    uint16_t rep_is_1;
    uint16_t rep_is_2;
    uint16_t len_is_2[M4_STATES][4];         // length state, position mod 4
    uint16_t len_prefix[M4_STATES][M4_LENGTH_PREFIXES];
    uint16_t len_bits[M4_LENGTH_PREFIXES][32];   // prefix value, bit position
    uint16_t dist_nibbles[32][64];
    uint16_t dist_extra[256][64];            // slot, tree node
    uint16_t lit_plain[256][256];            // previous byte, tree node
    uint16_t lit_matched[256][512];          // match byte, 256 x match bit + tree node

    void reset()
    {
        uint16_t* p = reinterpret_cast<uint16_t*>(this);
        for (size_t i = 0; i < sizeof(M4Probs) / sizeof(uint16_t); ++i)
            p[i] = M4_PROB_START;
        rep_is_1 = rep_is_2 = M4_REP_SELECT_START;
    }
};
static_assert(sizeof(M4Probs) % sizeof(uint16_t) == 0);

// The coder's state besides the probabilities.
struct M4State {
    uint32_t state = 0;
    uint32_t rep[M4_REPEATS] = {1, 1, 1, 1};
    uint32_t prev = 0;   // the byte before the position; 0 until the first step
};

inline uint32_t m4_after_literal(uint32_t s) { return s < 4 ? 0 : s == 4 ? 1 : s <= 9 ? s - 3 : s - 6; }
inline uint32_t m4_after_match(uint32_t s) { return s < 7 ? 7 : 10; }
inline uint32_t m4_after_short_rep(uint32_t s) { return s < 7 ? 8 : 11; }
// Also the length state of a repeat's length.
inline uint32_t m4_after_rep(uint32_t s) { return s < 7 ? 9 : 12; }
inline bool m4_matched_literal(uint32_t s) { return s >= 5; }

// Moves repeat distance `index` to the front; those before it move down one.
inline void m4_rep_to_front(uint32_t* rep, uint32_t index)
{
    const uint32_t d = rep[index];
    for (uint32_t i = index; i > 0; --i)
        rep[i] = rep[i - 1];
    rep[0] = d;
}
inline void m4_push_distance(uint32_t* rep, uint32_t d)
{
    rep[3] = rep[2];
    rep[2] = rep[1];
    rep[1] = rep[0];
    rep[0] = d;
}

// Distance context of a match length: 2, 3, 4, 5, 6-11, 12 and more.
inline uint32_t m4_dist_context(uint32_t length)
{
    return length < 6 ? length - 2 : length < 12 ? 4 : 5;
}

// Distance slot: 1..15 are their own slots; beyond, with k = floor(log2 d),
// 8k + (the three bits below the top one) - 16, and k - 3 extra bits.
inline uint32_t m4_slot(uint32_t d)
{
    if (d < 16)
        return d;
    const uint32_t k = 31 - static_cast<uint32_t>(__builtin_clz(d));
    return 8 * k + ((d >> (k - 3)) & 7) - 16;
}
inline uint32_t m4_slot_extra_bits(uint32_t slot) { return slot < 16 ? 0 : ((slot + 16) >> 3) - 3; }
inline uint64_t m4_slot_base(uint32_t slot)
{
    return slot < 16 ? slot : uint64_t{8 + (slot & 7)} << m4_slot_extra_bits(slot);
}
// Extra bits beyond six: the top six are tree-coded, the rest are direct bits.
constexpr uint32_t M4_EXTRA_TREE_BITS = 6;

// Entry of nibble bit k with history x in a distance group.
inline uint32_t m4_nibble_index(uint32_t k, uint32_t x) { return 4 * x + 3 - k; }
// History of the low nibble's bit k: the distance context, then the bits so far.
inline uint32_t m4_low_history(uint32_t context, uint32_t k, uint32_t prefix) { return ((context << k) + prefix) & 15; }
constexpr uint32_t M4_LOW_GROUP = 16;

// Lengths: 2 is one bit; otherwise v = length - 1 >= 2 has i + 2 bits, sent
// as i in unary and then the i + 1 bits below the top one.
inline uint32_t m4_length_prefix(uint32_t length) { return 30 - static_cast<uint32_t>(__builtin_clz(length - 1)); }

} // namespace qrn
