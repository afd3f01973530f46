// Method 4's binary range coder: a 64-bit range and low/code, topped up or
// shifted out a 32-bit word at a time before a symbol whenever the range has
// fallen to 2^32 - 1 or below.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "codecs/m4/m4_format.h"

namespace qrn {

struct M4Encoder {
    uint64_t low = 0;
    uint64_t range = 0;
    uint8_t* start = nullptr;
    uint8_t* op = nullptr;
    uint8_t* end = nullptr;
    bool full = false;   // a word did not fit: the stream is unusable

    // The first byte b of the block goes into the start: the decoder's first
    // 64-bit value divided by M4_TOP gives b.
    void open(uint8_t* out, uint32_t capacity, uint8_t first)
    {
        start = op = out;
        end = out + (capacity & ~3u);
        full = false;
        low = uint64_t{first} * M4_TOP;
        range = M4_TOP;
    }
    void put_word(uint64_t w)
    {
        if (end - op < 4) {
            full = true;
            return;
        }
        store_le32(op, static_cast<uint32_t>(w));
        op += 4;
    }
    // A carry out of `low` runs into the words already written.
    void carry()
    {
        for (uint8_t* q = op; q > start;) {
            q -= 4;
            const uint32_t w = load_le32(q) + 1;
            store_le32(q, w);
            if (w != 0)
                return;
        }
    }
    void add(uint64_t x)
    {
        low += x;
        if (low < x)
            carry();
    }
    void shift_word()
    {
        put_word(low >> 32);
        low <<= 32;
    }
    void normalize()
    {
        if (range <= M4_NORMALIZE_AT) {
            shift_word();
            range <<= 32;
        }
    }
    void bit(uint16_t& p, uint32_t b)
    {
        normalize();
        const uint64_t bound = (range >> M4_PROB_BITS) * p;
        if (b == 0) {
            range = bound;
            p = static_cast<uint16_t>(p + ((M4_PROB_ONE - p) >> M4_ADAPT_SHIFT));
        } else {
            add(bound);
            range -= bound;
            p = static_cast<uint16_t>(p - (p >> M4_ADAPT_SHIFT));
        }
    }
    // m bits of v, each equally likely.
    void direct(uint32_t v, uint32_t m)
    {
        range >>= m;
        add(uint64_t{v} * range);
        normalize();
    }
    // Ends the stream with a value inside the final range.
    void flush()
    {
        uint64_t t;
        if (range < (uint64_t{1} << 48)) {
            shift_word();
            t = range & ~uint64_t{0xFFFF};
        } else {
            t = range >> 32;
        }
        if (t <= M4_NORMALIZE_AT) {
            shift_word();
            t <<= 32;
        }
        add(t <= (uint64_t{1} << 33) ? uint64_t{1} << 31 : uint64_t{1} << 32);
        put_word(low >> 32);
    }
    uint32_t size() const { return static_cast<uint32_t>(op - start); }
};

struct M4Decoder {
    uint64_t range = 0;
    uint64_t code = 0;
    const uint8_t* ip = nullptr;
    const uint8_t* end = nullptr;
    bool overrun = false;   // a word was needed beyond the payload

    // Reads the first two words; returns the block's first byte (256 only
    // from a damaged stream).
    uint32_t open(const uint8_t* in, uint32_t words)
    {
        ip = in + 8;
        end = in + 4 * uint64_t{words};
        const uint64_t v = uint64_t{load_le32(in)} << 32 | load_le32(in + 4);
        code = v % M4_TOP;
        range = M4_TOP;
        overrun = false;
        return static_cast<uint32_t>(v / M4_TOP);
    }
    void normalize()
    {
        if (range <= M4_NORMALIZE_AT) {
            uint32_t w = 0;
            if (ip < end) [[likely]] {
                w = load_le32(ip);
                ip += 4;
            } else {
                overrun = true;
            }
            range <<= 32;
            code = code << 32 | w;
        }
    }
    uint32_t bit(uint16_t& p)
    {
        normalize();
        const uint64_t bound = (range >> M4_PROB_BITS) * p;
        if (code < bound) {
            range = bound;
            p = static_cast<uint16_t>(p + ((M4_PROB_ONE - p) >> M4_ADAPT_SHIFT));
            return 0;
        }
        code -= bound;
        range -= bound;
        p = static_cast<uint16_t>(p - (p >> M4_ADAPT_SHIFT));
        return 1;
    }
    // The same without a branch on the bit, with the probability's value
    // already loaded: faster where the bits are hard to predict (literals,
    // distance trees), and it lets a tree load a node's children before the
    // node's bit is known.
    uint32_t bit_free(uint16_t& p, uint32_t prob)
    {
        normalize();
        const uint64_t bound = (range >> M4_PROB_BITS) * prob;
        const uint32_t one = code >= bound;
        const uint64_t mask = uint64_t{0} - one;
        code -= bound & mask;
        range = (bound & ~mask) | ((range - bound) & mask);
        const uint32_t zero_p = prob + ((M4_PROB_ONE - prob) >> M4_ADAPT_SHIFT);
        const uint32_t one_p = prob - (prob >> M4_ADAPT_SHIFT);
        p = static_cast<uint16_t>(zero_p ^ ((zero_p ^ one_p) & static_cast<uint32_t>(mask)));
        return one;
    }
    uint32_t bit_free(uint16_t& p) { return bit_free(p, p); }
    // One bit of a tree: decoded with `prob` (the adapted value goes to p),
    // after which prob is the next node's, p0 or p1 by the bit. On x86-64
    // the range, the code and the next probability are all chosen by
    // conditional moves on the one comparison, which keeps the bit-to-bit
    // chain to a shift, a multiply, a compare and a move.
    uint32_t tree_bit(uint16_t& p, uint32_t& prob, uint32_t p0, uint32_t p1)
    {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(QRN_PORTABLE_ONLY)
        normalize();
        const uint64_t bound = (range >> M4_PROB_BITS) * prob;
        uint64_t above = range - bound, rest = code - bound;
        uint32_t next = p1;
        uint8_t one;
        asm("cmp %[bound], %[code]\n\t"
            "cmovb %[bound], %[above]\n\t"
            "cmovb %[code], %[rest]\n\t"
            "cmovb %[p0], %[next]\n\t"
            "setae %[one]"
            : [above] "+&r"(above), [rest] "+&r"(rest), [next] "+&r"(next), [one] "=&r"(one)
            : [bound] "r"(bound), [code] "r"(code), [p0] "r"(p0)
            : "cc");
        range = above;
        code = rest;
        const uint32_t zero_p = prob + ((M4_PROB_ONE - prob) >> M4_ADAPT_SHIFT);
        const uint32_t one_p = prob - (prob >> M4_ADAPT_SHIFT);
        p = static_cast<uint16_t>(zero_p ^ ((zero_p ^ one_p) & (0u - one)));
        prob = next;
        return one;
#else
        const uint32_t one = bit_free(p, prob);
        prob = one ? p1 : p0;
        return one;
#endif
    }
    // m direct bits; false when the stream names a value of more than m bits
    // or leaves no range for them (only damaged streams do).
    bool direct(uint32_t m, uint32_t* v)
    {
        range >>= m;
        if (range == 0)
            return false;
        const uint64_t value = code / range;
        if (value >> m)
            return false;
        code -= value * range;
        *v = static_cast<uint32_t>(value);
        normalize();
        return true;
    }
};

// Tree bits from `node` until the node reaches `limit` (a power of two);
// both children of a node are loaded while its bit is decoded, which keeps
// the load out of the chain from one bit to the next.
inline uint32_t m4_decode_tree_from(M4Decoder& rc, uint16_t* probs, uint32_t node, uint32_t limit)
{
    uint32_t prob = probs[node];
    while (2 * node < limit)
        node = 2 * node + rc.tree_bit(probs[node], prob, probs[2 * node], probs[2 * node + 1]);
    return 2 * node + rc.bit_free(probs[node], prob);
}

// A value of 1 or more bits as a tree over probs[1 .. 2^bits - 1], most
// significant bit first.
inline uint32_t m4_decode_tree(M4Decoder& rc, uint16_t* probs, uint32_t bits)
{
    return m4_decode_tree_from(rc, probs, 1, 1u << bits) - (1u << bits);
}

// A byte's tree from `node` (1 for a whole byte, up to 255): node 256..511.
inline uint32_t m4_decode_byte_tree(M4Decoder& rc, uint16_t* probs, uint32_t node)
{
    return m4_decode_tree_from(rc, probs, node, 256);
}

// Four bits whose probability for bit k after the bits x is group[index(k, x)].
template <class Index>
inline uint32_t m4_decode_nibble(M4Decoder& rc, uint16_t* group, Index index)
{
    uint32_t x = 0;
    uint32_t prob = group[index(0, 0)];
    for (uint32_t k = 0; k < 3; ++k)
        x = 2 * x + rc.tree_bit(group[index(k, x)], prob, group[index(k + 1, 2 * x)], group[index(k + 1, 2 * x + 1)]);
    return 2 * x + rc.bit_free(group[index(3, x)], prob);
}

// A byte coded beside the match byte `mb`: its bits use `matched` (512
// entries: match bit x 256 + node) while they agree with mb's, then `plain`.
inline uint32_t m4_decode_matched_byte(M4Decoder& rc, uint16_t* matched, uint16_t* plain, uint32_t mb)
{
    uint32_t node = 1;
    uint32_t prob = matched[((mb >> 7) & 1) << 8 | 1];
    for (uint32_t i = 7; i > 0; --i) {
        const uint32_t b = (mb >> i) & 1;
        const uint16_t* next = matched + (((mb >> (i - 1)) & 1) << 8) + 2 * node;
        const uint32_t bit = rc.tree_bit(matched[(b << 8) + node], prob, next[0], next[1]);
        node = 2 * node + bit;
        if (bit != b)
            return m4_decode_byte_tree(rc, plain, node);
    }
    return 2 * node + rc.bit_free(matched[((mb & 1) << 8) + node], prob);
}

} // namespace qrn
