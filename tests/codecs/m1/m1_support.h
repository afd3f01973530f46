// Calling the method 1 entries with the buffers the pipelines promise, and
// nothing more: guard bytes after the promised slack catch any write beyond it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/common/prefix_varint.h"
#include "codecs/m1/m1.h"
#include "support/program.h"

namespace qrn::m1test {

using Bytes = std::vector<uint8_t>;

constexpr size_t GUARD = 64;
constexpr uint8_t GUARD_BYTE = 0xC5;
constexpr size_t DECODE_SLACK = 16;  // what the decoder needs past its input and output

inline uint64_t compress_bound(size_t n) { return n + n / 255 + 32; }

inline bool guard_intact(const Bytes& buf, size_t from)
{
    return std::all_of(buf.begin() + static_cast<ptrdiff_t>(from), buf.end(), [](uint8_t b) { return b == GUARD_BYTE; });
}

struct Result {
    uint32_t result = CODEC_FAIL;
    Bytes bytes;
};

// Compresses into an area of `capacity` bytes (default: the documented bound)
// with no slack at all behind it; the input has the pipeline's zeroed slack.
inline Result compress(const Bytes& data, int level, int hash_bits, int64_t capacity = -1)
{
    Bytes in(data);
    in.resize(data.size() + BUFFER_SLACK, 0);
    const size_t cap = capacity < 0 ? compress_bound(data.size()) : size_t(capacity);
    Bytes out(cap + GUARD, GUARD_BYTE);
    BlockCall job{};
    job.method = 1, job.level = uint8_t(level), job.hash_bits = hash_bits;
    job.in = in.data(), job.in_size = uint32_t(data.size());
    job.out = out.data(), job.out_limit = uint32_t(cap);
    Result c;
    c.result = m1_compress(job);
    EXPECT_TRUE(guard_intact(out, cap)) << "compressor wrote past its output area";
    if (c.result != CODEC_FAIL && c.result <= cap)
        c.bytes.assign(out.begin(), out.begin() + c.result);
    return c;
}

// Decodes `stream` expecting `expected` bytes; the input's slack holds
// nonzero filler that must not influence the result.
inline Result decompress(const Bytes& stream, size_t expected)
{
    Bytes in(stream);
    in.resize(stream.size() + DECODE_SLACK, 0xA7);
    Bytes out(expected + DECODE_SLACK + GUARD, GUARD_BYTE);
    BlockCall job{};
    job.method = 1;
    job.in = in.data(), job.in_size = uint32_t(stream.size());
    job.out = out.data(), job.out_limit = uint32_t(expected);
    Result d;
    d.result = m1_decompress(job);
    EXPECT_TRUE(guard_intact(out, expected + DECODE_SLACK)) << "decoder wrote past its slack";
    d.bytes.assign(out.begin(), out.begin() + expected);
    return d;
}

inline Bytes bytes_of(const std::string& s) { return {s.begin(), s.end()}; }
inline Bytes random_data(size_t n, uint32_t seed) { return bytes_of(testing::random_bytes(n, seed)); }
inline Bytes text_data(size_t n, uint32_t seed) { return bytes_of(testing::text_bytes(n, seed)); }

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
