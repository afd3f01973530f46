// Method 1 decoder.
//
// The stream is trusted by nothing: every token is checked against both ends
// before its data moves. While far from the ends, a fast loop copies in fixed
// 16-byte steps (reading at most 15 bytes past the payload and writing at most
// 15 bytes past the expected size); near the ends a careful loop copies exactly.
#include <cstring>

#include "common/bytes.h"
#include "codecs/common/copy.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m1/m1.h"

namespace qrn {

namespace {

// The fast loop runs while at least this many stream bytes remain (a header
// of at most 15 bytes and a short literal run copied as 16 bytes fit) ...
constexpr ptrdiff_t FAST_IN_MARGIN = 32;
// ... and at least this much output room (short literals and a short match,
// each copied with 16-byte overrun, fit).
constexpr ptrdiff_t FAST_OUT_MARGIN = 64;

// Length extension with at least 6 readable bytes at ip.
inline size_t read_extension(const uint8_t*& ip)
{
    const size_t b = *ip++;
    if (b < 255)
        return b;
    uint32_t v;
    ip = prefix_varint_get(ip, &v);
    return size_t(v) + 255;
}

// Length extension that reads nothing at or past iend; false when truncated.
inline bool read_extension_checked(const uint8_t*& ip, const uint8_t* iend, size_t* value)
{
    if (ip >= iend)
        return false;
    const size_t b = *ip++;
    if (b < 255) {
        *value = b;
        return true;
    }
    if (ip >= iend || static_cast<size_t>(iend - ip) < prefix_varint_width(*ip))
        return false;
    uint32_t v;
    ip = prefix_varint_get(ip, &v);
    *value = size_t(v) + 255;
    return true;
}

// Match copy of `length` bytes from `distance` back that writes nothing past
// the match.
inline void copy_match_exact(uint8_t* op, size_t distance, size_t length)
{
    const uint8_t* src = op - distance;
    if (distance >= length) {
        std::memcpy(op, src, length);
        return;
    }
    for (size_t i = 0; i < length; ++i)
        op[i] = src[i];
}

// A match of any length from distance 8 or more, up to 15 bytes of overrun.
// From distance 16 on, every 16-byte move reads only final bytes.
inline void copy_match_wild(uint8_t* op, size_t distance, uint8_t* end)
{
    if (distance >= 16)
        wild_copy16_apart(op, op - distance, end);
    else
        wild_copy16(op, op - distance, end);
}

// A match from distance 16 or more with room for 128 bytes of writes: fixed
// runs of 64 bytes, the second only past 64 bytes of match, then 16 bytes at a
// time. A loop alone would leave after a number of steps that follows the
// length and mispredict on most long matches.
inline void copy_long_match(uint8_t* op, size_t distance, uint8_t* end)
{
    const uint8_t* src = op - distance;
    for (int i = 0; i < 64; i += 16)
        copy16_apart(op + i, src + i);
    if (end - op > 64) {
        for (int i = 64; i < 128; i += 16)
            copy16_apart(op + i, src + i);
        if (end - op > 128)
            wild_copy16_apart(op + 128, src + 128, end);
    }
}

enum class FastStop { MARGIN, END_TOKEN, DAMAGED };

// Decodes tokens while at least FAST_IN_MARGIN stream bytes and
// FAST_OUT_MARGIN bytes of output room remain at the start of each (ip <=
// ifast, op <= olimit); leaves ip and op after the last token decoded.
// CHECK_SOURCE: whether an offset may still reach before the output start.
template <bool CHECK_SOURCE>
FastStop decode_fast(const uint8_t*& ip_ref, uint8_t*& op_ref, uint8_t* const ostart, const uint8_t* const ifast,
                     uint8_t* const olimit, const uint8_t* const iend, uint8_t* const oend)
{
    const uint8_t* ip = ip_ref;
    uint8_t* op = op_ref;
    FastStop stop = FastStop::MARGIN;
    while (ip <= ifast && op <= olimit) {
        const uint32_t token = ip[0];
        const size_t distance = load_le16(ip + 1);
        ip += 3;
        size_t literals = token >> 4;
        size_t length = token & 15;
        if (__builtin_expect((literals != 15) & (length != 15), 1)) {
            // Most tokens: up to 14 literals and a match of up to 18 bytes,
            // which the margins hold without further checks.
            copy16_apart(op, ip);
            op += literals;
            ip += literals;
            length += 4;
            if (__builtin_expect(distance >= 8 && (!CHECK_SOURCE || distance <= size_t(op - ostart)), 1)) {
                const uint8_t* src = op - distance;
                copy8(op, src);
                copy8(op + 8, src + 8);
                if (length > 16)
                    copy8(op + 16, src + 16);
                op += length;
                continue;
            }
            if (distance == 0) {
                stop = FastStop::END_TOKEN;
                break;
            }
            if (distance > size_t(op - ostart)) {
                stop = FastStop::DAMAGED;
                break;
            }
            overlap_copy(op, static_cast<uint32_t>(distance), op + length);
            op += length;
            continue;
        }
        if (length == 15)
            length = read_extension(ip);
        if (literals < 15) {
            copy16_apart(op, ip);
        } else {
            literals = read_extension(ip);
            if (literals > size_t(iend - ip) || literals > size_t(oend - op)) {
                stop = FastStop::DAMAGED;
                break;
            }
            if (iend - ip >= 64 && oend - op >= 64) {
                // A fixed 64-byte run first, for the reason given at
                // copy_long_match.
                for (int i = 0; i < 64; i += 16)
                    copy16_apart(op + i, ip + i);
                if (literals > 64)
                    wild_copy16_apart(op + 64, ip + 64, op + literals);
            } else {
                wild_copy16_apart(op, ip, op + literals);
            }
        }
        op += literals;
        ip += literals;
        if (distance == 0) {
            stop = FastStop::END_TOKEN;
            break;
        }
        length += 4;
        if ((CHECK_SOURCE && distance > size_t(op - ostart)) || length > size_t(oend - op)) {
            stop = FastStop::DAMAGED;
            break;
        }
        uint8_t* const match_end = op + length;
        if (distance >= 16 && oend - op >= 128) {
            // Tokens here for their literals mostly carry a short match.
            if (length <= 16)
                copy16_apart(op, op - distance);
            else
                copy_long_match(op, distance, match_end);
        } else if (distance >= 8)
            copy_match_wild(op, distance, match_end);
        else if (oend - op >= 32)
            overlap_copy(op, static_cast<uint32_t>(distance), match_end);
        else
            copy_match_exact(op, distance, length);
        op = match_end;
    }
    ip_ref = ip;
    op_ref = op;
    return stop;
}

} // namespace

uint32_t m1_decompress(const BlockCall& job)
{
    const uint8_t* ip = job.in;
    const uint8_t* const iend = ip + job.in_size;
    uint8_t* op = job.out;
    uint8_t* const ostart = op;
    uint8_t* const oend = op + job.out_limit;

    if (iend - ip >= FAST_IN_MARGIN && oend - op >= FAST_OUT_MARGIN) {
        const uint8_t* const ifast = iend - FAST_IN_MARGIN;
        uint8_t* const ofast = oend - FAST_OUT_MARGIN;
        // Offsets reach at most 65535 bytes back: from here on no source can
        // lie before the output start.
        uint8_t* const checks_end = ofast - ostart > 65535 ? ostart + 65535 : ofast;
        FastStop stop = decode_fast<true>(ip, op, ostart, ifast, checks_end, iend, oend);
        if (stop == FastStop::MARGIN)
            stop = decode_fast<false>(ip, op, ostart, ifast, ofast, iend, oend);
        if (stop == FastStop::DAMAGED)
            return codec_damaged(job.out_limit);
        if (stop == FastStop::END_TOKEN)
            goto end_token;
    }

    // Near either end: every read and write checked and exact.
    for (;;) {
        if (iend - ip < 3)
            return codec_damaged(job.out_limit);
        const uint32_t token = ip[0];
        const size_t distance = load_le16(ip + 1);
        ip += 3;
        size_t length = token & 15;
        size_t literals = token >> 4;
        if (length == 15 && !read_extension_checked(ip, iend, &length))
            return codec_damaged(job.out_limit);
        if (literals == 15 && !read_extension_checked(ip, iend, &literals))
            return codec_damaged(job.out_limit);
        if (literals > static_cast<size_t>(iend - ip) || literals > static_cast<size_t>(oend - op))
            return codec_damaged(job.out_limit);
        std::memcpy(op, ip, literals);
        op += literals;
        ip += literals;
        if (distance == 0)
            goto end_token;
        length += 4;
        if (distance > static_cast<size_t>(op - ostart) || length > static_cast<size_t>(oend - op))
            return codec_damaged(job.out_limit);
        copy_match_exact(op, distance, length);
        op += length;
    }

end_token:
    // The stream must end with its last byte: anything after the end token
    // was not written by a compressor.
    if (ip != iend)
        return codec_damaged(job.out_limit);
    return static_cast<uint32_t>(op - ostart);
}

} // namespace qrn
