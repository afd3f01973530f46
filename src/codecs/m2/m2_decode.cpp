// Method 2 decoder for both dialects. The stream is untrusted: every byte it
// uses lies inside the payload, every match source inside the output produced
// so far, and the data never runs past the expected size. Any damage makes the
// result differ from the expected size.
#include <cstddef>
#include <cstdint>

#include "codecs/common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m2/m2.h"
#include "codecs/m2/m2_format.h"

namespace qrn {
namespace {

// Never a valid block size (blocks are at most 1 GiB).
constexpr uint32_t DAMAGED = CODEC_FAIL;

// A token without extensions reads at most 5 + 6 bytes of stream (plus an
// 8-byte literal move) and produces at most 6 + 12 bytes, writing at most
// 6 + 7 + 16 bytes for an overlapping match. Far enough from both ends, such
// a token needs no bound checks beyond its match source.
constexpr size_t FAST_IN_MARGIN = 16;
constexpr size_t FAST_OUT_MARGIN = 32;

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

template <bool LEVEL9>
uint32_t decode_block(const CodecJob& job, uint32_t plain_min_match)
{
    const uint8_t* in = job.in;
    const uint8_t* const in_end = in + job.in_size;
    uint8_t* const base = job.out;
    uint8_t* out = base;
    uint8_t* const out_end = base + job.out_limit;
    const uint8_t* const in_fast_end = job.in_size > FAST_IN_MARGIN ? in_end - FAST_IN_MARGIN : in;
    uint8_t* const out_fast_end = job.out_limit > FAST_OUT_MARGIN ? out_end - FAST_OUT_MARGIN : base;
    size_t rep = 1;  // level 9: distance of the last token that carried one

    for (;;) {
        // `in` never passes in_end, and the payload has readable slack, so the
        // word (and a five-byte token's last byte) can be loaded before any
        // check; its fields are used only once the token is known to fit.
        const uint32_t w = load_le32(in);
        size_t size;
        size_t lit;
        size_t lit_escape;
        size_t dist;
        size_t min_match = LEVEL9 ? 3 : plain_min_match;
        bool sets_rep = true;
        if ((w & 8) == 0) {
            size = 2;
            lit = (w >> 4) & 3;
            lit_escape = 3;
            dist = (w >> 6) & 0x3FF;
        } else if constexpr (!LEVEL9) {
            lit = (w >> 5) & 7;
            lit_escape = 7;
            size = (w & 16) ? 4 : 3;
            dist = (w & 16) ? (w >> 8) : ((w >> 8) & 0xFFFF);
        } else {
            lit = (w >> 6) & 7;
            lit_escape = 7;
            switch ((w >> 4) & 3) {
            case 0:
                size = 3;
                dist = (w >> 9) & 0x7FFF;
                break;
            case 1:
                size = 4;
                dist = w >> 9;
                min_match = 5;
                break;
            case 2:
                size = 5;
                dist = (w >> 9) | (static_cast<size_t>(in[4]) << 23);
                min_match = 6;
                break;
            default:
                size = 1;
                lit = (w >> 6) & 3;
                lit_escape = 3;
                dist = rep;
                sets_rep = false;
                break;
            }
        }
        const uint32_t ml_field = w & 7;

        if (in < in_fast_end && out < out_fast_end && ml_field != 7 && lit != lit_escape) [[likely]] {
            in += size;
            copy8(out, in);
            in += lit;
            out += lit;
            if (dist == 0) [[unlikely]]
                return (w & 8) ? DAMAGED : static_cast<uint32_t>(out - base);
            if (dist > static_cast<size_t>(out - base)) [[unlikely]]
                return DAMAGED;
            if (LEVEL9 && sets_rep)
                rep = dist;
            const size_t len = ml_field + min_match;
            if (dist >= 8) {
                // Two ordered moves: with a distance of 8 to 15 the second
                // reads what the first wrote.
                copy8(out, out - dist);
                copy8(out + 8, out - dist + 8);
            } else {
                overlap_copy(out, static_cast<uint32_t>(dist), out + len);
            }
            out += len;
            continue;
        }

        // Near either end, or a token with extensions: check everything.
        if (size > static_cast<size_t>(in_end - in))
            return DAMAGED;
        in += size;
        size_t match_value = ml_field;
        if (ml_field == 7 && !read_extension(in, in_end, &match_value))
            return DAMAGED;
        if (lit == lit_escape && !read_extension(in, in_end, &lit))
            return DAMAGED;
        if (lit > static_cast<size_t>(in_end - in) || lit > static_cast<size_t>(out_end - out))
            return DAMAGED;
        wild_copy16(out, in, out + lit);
        in += lit;
        out += lit;
        if (dist == 0)
            return (w & 8) ? DAMAGED : static_cast<uint32_t>(out - base);
        if (dist > static_cast<size_t>(out - base))
            return DAMAGED;
        if (LEVEL9 && sets_rep)
            rep = dist;
        const size_t len = match_value + min_match;
        if (len > static_cast<size_t>(out_end - out))
            return DAMAGED;
        if (dist >= 8)
            wild_copy16(out, out - dist, out + len);
        else
            overlap_copy(out, static_cast<uint32_t>(dist), out + len);
        out += len;
    }
}

} // namespace

uint32_t m2_decompress(const CodecJob& job)
{
    if (job.level == 9)
        return decode_block<true>(job, 3);
    return decode_block<false>(job, m2_plain_min_match(job.level));
}

} // namespace qrn
