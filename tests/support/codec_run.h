// Running a codec's entries over buffers shaped as the pipelines shape them,
// and no larger: guard bytes behind the promised room catch a write past it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/codec_call.h"
#include "codecs/codec_table.h"
#include "support/program.h"

namespace qrn::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(const std::string& s) { return {s.begin(), s.end()}; }
inline Bytes random_data(size_t n, uint32_t seed) { return bytes_of(random_bytes(n, seed)); }
inline Bytes text_data(size_t n, uint32_t seed) { return bytes_of(text_bytes(n, seed)); }

// A method's entries and the room its callers promise it.
struct Codec {
    int method;
    CodecEntry compress, decompress;
    uint64_t (*capacity)(uint32_t) = compress_capacity;  // a compressor's output area
    uint32_t decode_slack = BUFFER_SLACK;                // room past a decoder's input and output
    uint8_t input_fill = 0;                              // what the input's slack holds
};

// A method's entries as the codec table holds them.
inline Codec codec_of(int method) { return {method, encoder_for(method), decoder_for(method)}; }

// The table bits of methods 2 and 3 at levels 0, 1 and 2 where none are asked for.
inline int default_bits(int level) { return level == 0 ? 16 : level == 1 ? 20 : 26; }

constexpr uint8_t GUARD_BYTE = 0xC5;

struct Coded {
    uint32_t result = CODEC_FAIL;
    Bytes bytes;  // the payload, or the `expected` bytes a decoder produced
};

// Compresses `data` (zeroed slack behind it) into `capacity` bytes (default:
// the codec's) followed by BUFFER_SLACK more, the whole area holding `fill`;
// the codec may start `helpers` threads.
inline Coded codec_compress(const Codec& c, int level, int bits, const Bytes& data, int64_t capacity = -1,
                            uint8_t fill = GUARD_BYTE, uint8_t helpers = 0)
{
    Bytes in(data);
    in.resize(data.size() + BUFFER_SLACK, 0);
    const size_t cap = capacity < 0 ? c.capacity(uint32_t(data.size())) : size_t(capacity);
    Bytes out(cap + BUFFER_SLACK, fill);
    const BlockCall job{uint8_t(c.method), uint8_t(level), bits,   in.data(), uint32_t(data.size()), out.data(),
                        uint32_t(cap),     nullptr,        helpers};
    Coded r;
    r.result = c.compress(job);
    EXPECT_TRUE(std::all_of(out.begin() + ptrdiff_t(cap), out.end(), [fill](uint8_t b) { return b == fill; }))
        << "method " << c.method << " level " << level << ": written past the output area";
    if (r.result <= cap)
        r.bytes.assign(out.begin(), out.begin() + r.result);
    return r;
}

// Decodes `stream` expecting `expected` bytes.
inline Coded codec_decode(const Codec& c, int level, const Bytes& stream, uint32_t expected)
{
    Bytes in(stream);
    in.resize(stream.size() + c.decode_slack, c.input_fill);
    Bytes out(size_t(expected) + c.decode_slack + 64, GUARD_BYTE);
    const BlockCall job{uint8_t(c.method), uint8_t(level), 0, in.data(), uint32_t(stream.size()), out.data(), expected};
    Coded r;
    r.result = c.decompress(job);
    EXPECT_TRUE(std::all_of(out.begin() + ptrdiff_t(expected + c.decode_slack), out.end(),
                            [](uint8_t b) { return b == GUARD_BYTE; }))
        << "method " << c.method << ": decoder wrote past its room";
    r.bytes.assign(out.begin(), out.begin() + expected);
    return r;
}

// The stream decodes to exactly `want`, and says so.
inline ::testing::AssertionResult decodes_to(const Codec& c, int level, const Bytes& stream, const Bytes& want)
{
    const Coded d = codec_decode(c, level, stream, uint32_t(want.size()));
    if (d.result != want.size())
        return ::testing::AssertionFailure() << "result " << d.result << " for " << want.size() << " bytes";
    if (d.bytes != want)
        return ::testing::AssertionFailure() << "the bytes differ";
    return ::testing::AssertionSuccess();
}

// Compresses and decodes back; returns the payload.
inline Bytes round_trip(const Codec& c, int level, int bits, const Bytes& data, const std::string& what = "")
{
    const std::string where = what + ", level " + std::to_string(level) + " bits " + std::to_string(bits);
    const Coded packed = codec_compress(c, level, bits, data);
    EXPECT_NE(packed.result, CODEC_FAIL) << where;
    if (data.empty()) {
        EXPECT_EQ(packed.result, 0u) << where;
        return {};
    }
    const Coded back = codec_decode(c, level, packed.bytes, uint32_t(data.size()));
    EXPECT_EQ(back.result, data.size()) << where;
    EXPECT_TRUE(back.bytes == data) << where;
    return packed.bytes;
}

// The stream cut to every length below its own (every `step` bytes) never
// decodes to `size`; the guard bytes and the sanitizers check the reads.
inline void expect_cuts_refused(const Codec& c, int level, const Bytes& stream, uint32_t size, size_t step = 1)
{
    for (size_t n = 0; n < stream.size(); n += step)
        EXPECT_NE(codec_decode(c, level, Bytes(stream.begin(), stream.begin() + ptrdiff_t(n)), size).result, size)
            << "method " << c.method << ", cut to " << n;
}

// `rounds` copies of the stream with one bit flipped decode to anything, but
// within their bounds.
inline void decode_flipped(const Codec& c, int level, const Bytes& stream, uint32_t size, int rounds, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; i < rounds; ++i) {
        Bytes bad(stream);
        bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
        codec_decode(c, level, bad, size);
    }
}

} // namespace qrn::testing
