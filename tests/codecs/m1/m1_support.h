// Method 1 under test: the compressors get the documented bound and no room
// past it, the decoder 16 bytes past its input (holding filler that must not
// matter) and its output; and a reader of the tokens the compressors chose.
#pragma once

#include <vector>

#include "codecs/common/prefix_varint.h"
#include "codecs/m1/m1.h"
#include "codecs/m1/m1_format.h"
#include "support/codec_run.h"

namespace qrn::m1test {

using testing::Bytes;

inline uint64_t compress_bound(uint32_t n) { return n + n / 255 + 32; }

inline const testing::Codec M1{1, m1_compress, m1_decompress, compress_bound, 16, 0xA7};

inline testing::Coded compress(const Bytes& data, int level, int bits, int64_t capacity = -1)
{
    return testing::codec_compress(M1, level, bits, data, capacity);
}
inline testing::Coded decompress(const Bytes& stream, size_t expected)
{
    return testing::codec_decode(M1, 0, stream, uint32_t(expected));
}

// Streams built token by token with the compressors' header writer, whose
// bytes the decoder tests pin down.
struct Stream {
    Bytes bytes;
    Stream& token(const Bytes& literals, uint32_t length, uint32_t distance)
    {
        uint8_t header[M1_MAX_HEADER];
        bytes.insert(bytes.end(), header, m1_put_header(header, uint32_t(literals.size()), length, distance));
        bytes.insert(bytes.end(), literals.begin(), literals.end());
        return *this;
    }
    Stream& end(const Bytes& literals = {}) { return token(literals, 0, 0); }
};

struct Token {
    size_t literals;
    size_t length;  // 0 for the end token
    uint32_t distance;
    bool operator==(const Token&) const = default;
};

// Splits a well-formed stream into its tokens (no checks: for inspecting
// compressor output).
inline std::vector<Token> tokens_of(const Bytes& stream)
{
    std::vector<Token> out;
    Bytes padded(stream);
    padded.resize(stream.size() + 8, 0);
    const uint8_t* p = padded.data();
    const uint8_t* const end = p + stream.size();
    auto extension = [&p]() -> size_t {
        const size_t b = *p++;
        if (b < 255)
            return b;
        uint32_t v;
        p = prefix_varint_get(p, &v);
        return size_t(v) + 255;
    };
    while (p < end) {
        const uint8_t t = p[0];
        const uint32_t d = p[1] | uint32_t(p[2]) << 8;
        p += 3;
        size_t length = t & 15, literals = t >> 4;
        if (length == 15)
            length = extension();
        if (literals == 15)
            literals = extension();
        p += literals;
        out.push_back({literals, d ? length + 4 : 0, d});
        if (d == 0)
            break;
    }
    return out;
}

} // namespace qrn::m1test
