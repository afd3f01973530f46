// Method 2 decoder for both dialects. The stream is untrusted: every byte it
// uses lies inside the payload, every match source inside the output produced
// so far, and the data never runs past the expected size. Any damage makes the
// result differ from the expected size.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m2/m2.h"
#include "codecs/m2/m2_format.h"

namespace qrn {
namespace {

// What the low bits of a token word tell: where the literals and the next
// token start, the literal count and match length (or that an extension byte
// follows), where the distance lies in the word, and where the next token's
// low bits lie in the 8-byte word loaded at this token. One-byte match-length
// extensions are common, so the offsets count that byte in.
struct TokenShape {
    uint8_t advance;     // to the next token: word, match extension byte, literals
    uint8_t lit_offset;  // to the literals: word and match extension byte
    uint8_t lit;         // literal count, or LIT_ESCAPED: an extension byte holds it
    uint8_t len;         // match length; with an extension the minimum, to add it to
    uint8_t ext_mask;    // 0xFF when a match-length extension byte precedes the literals
    uint8_t dist_left;   // the distance is (word << dist_left) >> dist_right
    uint8_t dist_right;
    uint8_t next_shift;  // bit position of the next token in the word; NEXT_BEYOND: not in it
};
static_assert(sizeof(TokenShape) == 8, "one scaled load per field");

constexpr uint8_t LIT_ESCAPED = 0x80;  // never a count (escaped counts are at most 6)
constexpr uint8_t NEXT_BEYOND = 0x80;  // never a shift (shifts are below 64)

// `index_bits`: how many low bits of a token word pick its shape.
constexpr TokenShape make_shape(uint32_t size, uint32_t lit, uint32_t lit_escape, uint32_t ml_field,
                                uint32_t min_match, uint32_t dist_shift, uint32_t dist_bits, uint32_t index_bits)
{
    const bool match_ext = ml_field == 7;
    const uint32_t advance = size + match_ext + lit;
    return {static_cast<uint8_t>(advance),
            static_cast<uint8_t>(size + match_ext),
            static_cast<uint8_t>(lit == lit_escape ? LIT_ESCAPED : lit),
            static_cast<uint8_t>(match_ext ? min_match : ml_field + min_match),
            static_cast<uint8_t>(match_ext ? 0xFF : 0),
            static_cast<uint8_t>(64 - dist_shift - dist_bits),
            static_cast<uint8_t>(64 - dist_bits),
            static_cast<uint8_t>(lit != lit_escape && 8 * advance + index_bits <= 64 ? 8 * advance : NEXT_BEYOND)};
}

// Plain dialect, indexed by the first byte.
template <uint32_t MIN_MATCH>
constexpr std::array<TokenShape, 256> make_plain_shapes()
{
    std::array<TokenShape, 256> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        if ((b & 8) == 0)
            t[b] = make_shape(2, (b >> 4) & 3, 3, b & 7, MIN_MATCH, 6, 10, 8);
        else if ((b & 16) == 0)
            t[b] = make_shape(3, b >> 5, 7, b & 7, MIN_MATCH, 8, 16, 8);
        else
            t[b] = make_shape(4, b >> 5, 7, b & 7, MIN_MATCH, 8, 24, 8);
    }
    return t;
}

// Level-9 dialect, indexed by the low 9 bits (the long forms' literal field
// reaches bit 8).
constexpr std::array<TokenShape, 512> make_level9_shapes()
{
    std::array<TokenShape, 512> t{};
    for (uint32_t x = 0; x < 512; ++x) {
        const uint32_t ml = x & 7;
        const uint32_t lit = (x >> 6) & 7;
        if ((x & 8) == 0) {
            t[x] = make_shape(2, (x >> 4) & 3, 3, ml, 3, 6, 10, 9);
            continue;
        }
        switch ((x >> 4) & 3) {
        case 0: t[x] = make_shape(3, lit, 7, ml, 3, 9, 15, 9); break;
        case 1: t[x] = make_shape(4, lit, 7, ml, 5, 9, 23, 9); break;
        case 2: t[x] = make_shape(5, lit, 7, ml, 6, 9, 31, 9); break;
        default: t[x] = make_shape(1, lit & 3, 3, ml, 3, 0, 1, 9); break;
        }
    }
    return t;
}

// Forms, from the index of a shape: a long form's distance 0 is damage, not
// the end; the level-9 one-byte form repeats the last distance.
constexpr bool is_long_form(size_t index) { return (index & 8) != 0; }
template <bool LEVEL9>
constexpr bool is_repeat(size_t index) { return LEVEL9 && (index & 0x38) == 0x38; }

constexpr auto PLAIN_SHAPES_MIN4 = make_plain_shapes<4>();
constexpr auto PLAIN_SHAPES_MIN3 = make_plain_shapes<3>();
constexpr auto LEVEL9_SHAPES = make_level9_shapes();

// A length extension: one byte below 255 is the value; 255 is followed by a
// PrefixVarint holding value - 255.
inline bool read_extension(const uint8_t*& in, const uint8_t* in_end, size_t* value)
{
    if (in >= in_end)
        return false;
    const uint8_t b = *in++;
    if (b < 255) {
        *value = b;
        return true;
    }
    if (in >= in_end || prefix_varint_width(*in) > static_cast<size_t>(in_end - in))
        return false;
    uint32_t v;
    in = prefix_varint_get(in, &v);
    *value = static_cast<size_t>(v) + 255;
    return true;
}

// A match at distance 16 or more: 16-byte moves in order (below 32 a move
// reads what the one before it wrote), at least two. Writes up to 32 bytes
// beyond its start and runs to its end.
inline void copy_match16(uint8_t* out, const uint8_t* src, size_t len)
{
    copy16_apart(out, src);
    copy16_apart(out + 16, src + 16);
    if (len > 32) [[unlikely]] {
        uint8_t* const end = out + len;
        out += 32;
        src += 32;
        do {
            copy16_apart(out, src);
            out += 16;
            src += 16;
        } while (out < end);
    }
}

// A match whose length fits a one-byte extension; writes up to 32 bytes
// (or 16 for distances below 16) beyond its start, and runs to its end.
inline void copy_near_match(uint8_t* out, size_t dist, size_t len)
{
    const uint8_t* src = out - dist;
    if (dist >= 16) [[likely]] {
        copy_match16(out, src, len);
    } else if (dist >= 8) {
        // Ordered 8-byte moves: a later move reads what an earlier one wrote.
        wild_copy16(out, src, out + len);
    } else {
        overlap_copy(out, static_cast<uint32_t>(dist), out + len);
    }
}

// A match of any length; writes up to 16 bytes beyond it.
inline void copy_match(uint8_t* out, size_t dist, size_t len)
{
    const uint8_t* src = out - dist;
    uint8_t* const end = out + len;
    if (dist >= 16) {
        do {
            copy16_apart(out, src);
            out += 16;
            src += 16;
        } while (out < end);
    } else if (dist >= 8) {
        wild_copy16(out, src, end);
    } else {
        overlap_copy(out, static_cast<uint32_t>(dist), end);
    }
}

// Literal runs: input and output never overlap. Writes up to 16 bytes (at
// least 16) beyond the run.
inline void copy_run(uint8_t* out, const uint8_t* src, size_t count)
{
    copy16_apart(out, src);
    if (count > 16) [[unlikely]]
        wild_copy16_apart(out + 16, src + 16, out + count);
}

// Moves `in` past a token without a literal-length extension and reads the
// next token's word and shape index. While the next token starts inside the
// word already loaded, its index comes from that word by a shift, so finding
// the next token waits for one table lookup and not also for a load.
template <uint64_t INDEX_MASK>
inline void next_token(const TokenShape& t, const uint8_t*& in, uint64_t& word, size_t& index)
{
    const uint32_t shift = t.next_shift;
    in += t.advance;
    if (shift & NEXT_BEYOND) [[unlikely]] {
        word = load_le64(in);
        index = word & INDEX_MASK;
    } else {
        index = (word >> (shift & 63)) & INDEX_MASK;
        word = load_le64(in);
    }
}

// FAR: the block is larger than the caches, so match sources are asked for
// ahead of their copies.
template <bool LEVEL9, const auto& SHAPES, bool FAR>
uint32_t decode_block(const BlockCall& job)
{
    const uint8_t* in = job.in;
    const uint8_t* const in_end = in + job.in_size;
    uint8_t* const base = job.out;
    uint8_t* out = base;
    uint8_t* const out_end = base + job.out_limit;
    const uint32_t damaged = codec_damaged(job.out_limit);
    size_t rep = 1;  // level 9: distance of the last token that carried one
    constexpr uint64_t INDEX_MASK = LEVEL9 ? 0x1FF : 0xFF;

    for (;;) {
        // Tokens that surely fit, checked only for their match source: one
        // with one-byte extensions uses at most 5 + 2 + 254 stream bytes and
        // makes at most 254 + 260 output bytes, writing at most 530 from its
        // start; the counts below allow 512 and 1024 per token, and the words
        // loaded ahead reach 8 bytes past the next token's start. The fast
        // loop also wants 16 bytes of output behind it.
        const ptrdiff_t in_room = in_end - in;
        const ptrdiff_t out_room = out_end - out;
        size_t sure = in_room > 0 && out_room > 0 && out - base >= 16
                          ? std::min(size_t(in_room) >> 9, size_t(out_room) >> 10)
                          : 0;
        uint64_t word = load_le64(in);
        size_t index = word & INDEX_MASK;
        if constexpr (!FAR) {
            uint8_t* const base16 = base + 16;
            for (; sure != 0; --sure) {
                const TokenShape& t = SHAPES[index];
                // The match-length extension byte if there is one (else 0).
                const size_t ext = in[t.lit_offset - 1] & t.ext_mask;
                const size_t len = t.len + ext;
                size_t lit = t.lit;
                const size_t dist = is_repeat<LEVEL9>(index) ? rep : (word << t.dist_left) >> t.dist_right;
                uint8_t* match_out = out + lit;
                // The common token: at most 6 literals, a one-byte extension
                // at most, and a source at least 16 bytes back inside the
                // output.
                if (lit != LIT_ESCAPED && ext != 255 && dist - 16 <= static_cast<size_t>(match_out - base16))
                    [[likely]] {
                    copy8(out, in + t.lit_offset);
                    next_token<INDEX_MASK>(t, in, word, index);
                    copy_match16(match_out, match_out - dist, len);
                    out = match_out + len;
                    rep = dist;
                    continue;
                }
                // Longer literal runs and near sources; distance 0 (the end
                // token, or damage), a source before the output start and
                // long extensions are left to the careful path.
                if (ext == 255)
                    break;
                const uint8_t* lit_src = in + t.lit_offset;
                size_t advance = t.advance;
                if (lit == LIT_ESCAPED) {
                    lit = *lit_src++;
                    if (lit == 255)
                        break;
                    advance = t.lit_offset + 1 + lit;
                    match_out = out + lit;
                }
                if (dist - 1 >= static_cast<size_t>(match_out - base))
                    break;
                copy_run(out, lit_src, lit);
                in += advance;
                rep = dist;
                copy_near_match(match_out, dist, len);
                out = match_out + len;
                word = load_le64(in);
                index = word & INDEX_MASK;
            }
        } else {
            // Tokens are taken in batches: the first pass reads them, checks
            // their sources and asks for the sources' cache lines; the second
            // copies. Far sources then arrive while the batch is read.
            constexpr size_t BATCH = 64;
            struct Token {
                const uint8_t* lit_src;
                size_t lit;
                size_t dist;
                size_t len;
            };
            Token batch[BATCH];
            while (sure != 0) {
                const size_t want = std::min(sure, BATCH);
                size_t n = 0;
                for (uint8_t* at = out; n < want; ++n) {
                    const TokenShape& t = SHAPES[index];
                    const size_t ext = in[t.lit_offset - 1] & t.ext_mask;
                    const size_t len = t.len + ext;
                    size_t lit = t.lit;
                    const size_t dist = is_repeat<LEVEL9>(index) ? rep : (word << t.dist_left) >> t.dist_right;
                    const uint8_t* lit_src = in + t.lit_offset;
                    if ((lit == LIT_ESCAPED) | (ext == 255)) [[unlikely]] {
                        if (ext == 255 || lit_src[0] == 255)
                            break;
                        lit = *lit_src++;
                        if (dist - 1 >= static_cast<size_t>(at + lit - base))
                            break;
                        in = lit_src + lit;
                        word = load_le64(in);
                        index = word & INDEX_MASK;
                    } else {
                        if (dist - 1 >= static_cast<size_t>(at + lit - base)) [[unlikely]]
                            break;
                        next_token<INDEX_MASK>(t, in, word, index);
                    }
                    batch[n] = {lit_src, lit, dist, len};
                    at += lit;
                    __builtin_prefetch(at - dist);
                    at += len;
                    rep = dist;
                }
                for (size_t i = 0; i < n; ++i) {
                    const Token& k = batch[i];
                    copy_run(out, k.lit_src, k.lit);
                    out += k.lit;
                    copy_near_match(out, k.dist, k.len);
                    out += k.len;
                }
                if (n < want)
                    break;
                sure -= n;
            }
        }

        // `in` never passes in_end and the payload has readable slack, so the
        // whole word can be loaded first; its fields are used only once the
        // token is known to lie inside the stream.
        const uint64_t w = load_le64(in);
        const size_t x = w & INDEX_MASK;
        const TokenShape& t = SHAPES[x];
        const size_t dist = is_repeat<LEVEL9>(x) ? rep : (w << t.dist_left) >> t.dist_right;

        // Near either end, or a long extension: check everything.
        const size_t size = t.lit_offset - (t.ext_mask ? 1 : 0);
        if (size > static_cast<size_t>(in_end - in))
            return damaged;
        in += size;
        size_t len = t.len;
        if (t.ext_mask) {
            size_t value;
            if (!read_extension(in, in_end, &value))
                return damaged;
            len += value;
        }
        size_t lit = t.lit;
        if (lit == LIT_ESCAPED && !read_extension(in, in_end, &lit))
            return damaged;
        if (lit > static_cast<size_t>(in_end - in) || lit > static_cast<size_t>(out_end - out))
            return damaged;
        wild_copy16_apart(out, in, out + lit);
        in += lit;
        out += lit;
        if (dist - 1 >= static_cast<size_t>(out - base))
            return dist == 0 && !is_long_form(x) ? static_cast<uint32_t>(out - base) : damaged;
        rep = dist;
        if (len > static_cast<size_t>(out_end - out))
            return damaged;
        copy_match(out, dist, len);
        out += len;
    }
}

} // namespace

uint32_t m2_decode(const BlockCall& job, bool far)
{
    if (job.level == 9)
        return far ? decode_block<true, LEVEL9_SHAPES, true>(job) : decode_block<true, LEVEL9_SHAPES, false>(job);
    if (m2_plain_min_match(job.level) == 4)
        return far ? decode_block<false, PLAIN_SHAPES_MIN4, true>(job)
                   : decode_block<false, PLAIN_SHAPES_MIN4, false>(job);
    return far ? decode_block<false, PLAIN_SHAPES_MIN3, true>(job) : decode_block<false, PLAIN_SHAPES_MIN3, false>(job);
}

uint32_t m2_decompress(const BlockCall& job)
{
    // Blocks up to this size (level 0's) stay in the cache as they are made.
    // Beyond it, level 1 still copies mostly from near sources (its default
    // table holds recent positions only); level 2's and level 9's reach far
    // back, and fetching their sources ahead pays.
    constexpr uint32_t NEAR_BLOCK = 4u << 20;
    return m2_decode(job, job.out_limit > NEAR_BLOCK && job.level >= 2);
}

} // namespace qrn
