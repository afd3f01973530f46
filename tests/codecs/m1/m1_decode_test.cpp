#include <gtest/gtest.h>

#include <tuple>

#include "codecs/m1/m1_format.h"
#include "codecs/m1/m1_support.h"

namespace qrn {
namespace {

using m1test::Bytes;
using m1test::decompress;

// Streams built token by token with the compressors' header writer, whose
// bytes the first two tests pin down.
struct Stream {
    Bytes bytes;
    Stream& token(const Bytes& literals, uint32_t length, uint32_t distance)
    {
        uint8_t header[M1_MAX_HEADER];
        uint8_t* end = m1_put_header(header, static_cast<uint32_t>(literals.size()), length, distance);
        bytes.insert(bytes.end(), header, end);
        bytes.insert(bytes.end(), literals.begin(), literals.end());
        return *this;
    }
    Stream& end(const Bytes& literals = {}) { return token(literals, 0, 0); }
};

Bytes filled(size_t n, uint8_t v) { return Bytes(n, v); }

TEST(M1Decode, TextExamples)
{
    auto d = decompress({0, 0, 0}, 0);
    EXPECT_EQ(d.result, 0u);

    // 300 literals: F0 00 00 FF 5A, then the bytes.
    const Bytes lits = m1test::random_data(300, 1);
    Bytes stream = lits;
    stream.insert(stream.begin(), {0xF0, 0x00, 0x00, 0xFF, 0x5A});
    EXPECT_EQ(Stream().end(lits).bytes, stream);
    d = decompress(stream, 300);
    EXPECT_EQ(d.result, 300u);
    EXPECT_EQ(d.bytes, lits);

    // One literal, then a match of offset 1 and length 4.
    d = decompress({0x10, 0x01, 0x00, 'z', 0x00, 0x00, 0x00}, 5);
    EXPECT_EQ(d.result, 5u);
    EXPECT_EQ(d.bytes, filled(5, 'z'));
}

TEST(M1Decode, MatchLengthExtensionBytes)
{
    const struct {
        size_t length;
        Bytes header; // token, offset, extension
    } cases[] = {
        {18, {0x1E, 0x01, 0x00}},
        {19, {0x1F, 0x01, 0x00, 0x0F}},
        {258, {0x1F, 0x01, 0x00, 0xFE}},
        {259, {0x1F, 0x01, 0x00, 0xFF, 0x00}},
        {386, {0x1F, 0x01, 0x00, 0xFF, 0xFE}},
        {387, {0x1F, 0x01, 0x00, 0xFF, 0x01, 0x02}},
    };
    for (const auto& c : cases) {
        Bytes stream = c.header;
        stream.push_back('q');
        stream.insert(stream.end(), {0, 0, 0});
        EXPECT_EQ(Stream().token({'q'}, c.length, 1).end().bytes, stream) << c.length;
        const auto d = decompress(stream, c.length + 1);
        EXPECT_EQ(d.result, c.length + 1);
        EXPECT_EQ(d.bytes, filled(c.length + 1, 'q'));
    }
    // A literal count of 15 to 254 is the extension byte itself.
    const Bytes lits = m1test::random_data(20, 2);
    Bytes stream = lits;
    stream.insert(stream.begin(), {0xF0, 0, 0, 20});
    EXPECT_EQ(decompress(stream, 20).bytes, lits);
}

// Short offsets repeat the last `distance` bytes, on the fast path (more
// output follows) and on the careful path (the match ends the block).
TEST(M1Decode, OverlappingMatchesRepeatThePattern)
{
    for (uint32_t dist = 1; dist <= 9; ++dist) {
        for (size_t length = 4; length <= 600; length += (length < 40 ? 1 : 37)) {
            const Bytes prefix = m1test::random_data(dist, dist * 1000 + static_cast<uint32_t>(length));
            const Bytes tail = m1test::random_data(100, 7);
            Bytes expect = prefix;
            for (size_t i = 0; i < length; ++i)
                expect.push_back(expect[expect.size() - dist]);
            const Bytes last = expect;
            expect.insert(expect.end(), tail.begin(), tail.end());

            auto d = decompress(Stream().token(prefix, length, dist).end(tail).bytes, expect.size());
            ASSERT_EQ(d.result, expect.size()) << dist << " " << length;
            ASSERT_EQ(d.bytes, expect) << dist << " " << length;

            d = decompress(Stream().token(prefix, length, dist).end().bytes, last.size());
            ASSERT_EQ(d.result, last.size()) << dist << " " << length;
            ASSERT_EQ(d.bytes, last) << dist << " " << length;
        }
    }
}

// A long stream whose last tokens are decoded by the careful loop.
Stream sample_stream(Bytes* expect)
{
    Stream s;
    const Bytes a = m1test::random_data(40, 11), b = m1test::random_data(3, 12), c = m1test::random_data(200, 13);
    const std::tuple<const Bytes&, uint32_t, uint32_t> tokens[] = {{a, 30, 40}, {b, 300, 7}, {c, 19, 100}, {b, 4, 1}, {a, 0, 0}};
    expect->clear();
    for (const auto& [literals, length, dist] : tokens) {
        s.token(literals, length, dist);
        expect->insert(expect->end(), literals.begin(), literals.end());
        for (size_t i = 0; i < length; ++i)
            expect->push_back((*expect)[expect->size() - dist]);
    }
    return s;
}

TEST(M1Decode, ResultIsTheExpectedSizeOnlyForAnExactStream)
{
    Bytes expect;
    const Bytes good = sample_stream(&expect).bytes;
    const size_t n = expect.size();
    ASSERT_EQ(decompress(good, n).result, n);
    ASSERT_EQ(decompress(good, n).bytes, expect);

    // Expecting more: the end token comes early and the result says how much.
    EXPECT_EQ(decompress(good, n + 1).result, n);
    EXPECT_EQ(decompress(good, n + 100).result, n);
    // Expecting less: the data would pass the expected size.
    for (size_t less : {size_t(1), size_t(2), size_t(40), n - 1})
        EXPECT_NE(decompress(good, n - less).result, n - less) << less;

    // Truncated at every length, or with anything after the end token.
    for (size_t len = 0; len < good.size(); ++len) {
        const Bytes cut(good.begin(), good.begin() + len);
        EXPECT_NE(decompress(cut, n).result, n) << len;
    }
    for (uint8_t extra : {0, 1, 255}) {
        Bytes longer = good;
        longer.push_back(extra);
        EXPECT_NE(decompress(longer, n).result, n);
    }
}

TEST(M1Decode, RejectsSourcesBeforeTheStartAndOversizedRuns)
{
    const Bytes five = m1test::random_data(5, 3);
    // Offset one past the data written so far, at the start and later on.
    EXPECT_NE(decompress(Stream().token(five, 4, 6).end().bytes, 9).result, 9u);
    EXPECT_NE(decompress(Stream().token({}, 4, 1).end().bytes, 4).result, 4u);
    Bytes big = m1test::random_data(500, 4);
    EXPECT_NE(decompress(Stream().token(big, 4, 501).end(big).bytes, 1004).result, 1004u);
    EXPECT_EQ(decompress(Stream().token(big, 4, 500).end(big).bytes, 1004).result, 1004u);

    // A literal run longer than the stream, and lengths near 2^32.
    Bytes stream = {0xF0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    stream.resize(200, 0);
    EXPECT_NE(decompress(stream, 100).result, 100u);
    Bytes huge = Stream().token(five, 4, 1).bytes;
    huge[0] = 0x5F; // match code 15
    huge.insert(huge.begin() + 3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    huge.resize(300, 0);
    EXPECT_NE(decompress(huge, 250).result, 250u);
    // A match that would end inside the output's slack.
    EXPECT_NE(decompress(Stream().token(five, 20, 1).end().bytes, 20).result, 20u);
}

// Garbage never makes the decoder read or write out of bounds (the guard
// bytes and the sanitizers check), whatever it returns.
TEST(M1Decode, RandomStreamsStayInBounds)
{
    std::mt19937 rng(9);
    for (int i = 0; i < 3000; ++i) {
        Bytes stream = m1test::random_data(rng() % 200, rng());
        for (auto& b : stream)
            if (rng() % 3 == 0)
                b &= 0x11; // short codes and small offsets are more interesting
        decompress(stream, rng() % 400);
    }
}

} // namespace
} // namespace qrn
