#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "codecs/m1/m1_support.h"

namespace qrn {
namespace {

using m1test::Bytes;
using m1test::decompress;
using m1test::Stream;

// Token headers written out by hand: the end token alone with literal counts
// across the extension's widths, and one literal with a match from distance 1
// (the end token follows) with match lengths across them; the match-length
// extension comes before the literal-count one.
TEST(M1Decode, HandWrittenStreams)
{
    const struct {
        size_t literals, length;
        Bytes header;
    } cases[] = {
        {0, 0, {0x00, 0, 0}},           {1, 0, {0x10, 0, 0}},
        {14, 0, {0xE0, 0, 0}},          {15, 0, {0xF0, 0, 0, 0x0F}},
        {20, 0, {0xF0, 0, 0, 0x14}},    {254, 0, {0xF0, 0, 0, 0xFE}},
        {255, 0, {0xF0, 0, 0, 0xFF, 0x00}}, {300, 0, {0xF0, 0, 0, 0xFF, 0x5A}},
        {382, 0, {0xF0, 0, 0, 0xFF, 0xFE}}, {383, 0, {0xF0, 0, 0, 0xFF, 0x01, 0x02}},
        {5000, 0, {0xF0, 0, 0, 0xFF, 0x25, 0x4A}},
        {1, 4, {0x10, 0x01, 0x00}},     {1, 18, {0x1E, 0x01, 0x00}},
        {1, 19, {0x1F, 0x01, 0x00, 0x0F}}, {1, 258, {0x1F, 0x01, 0x00, 0xFE}},
        {1, 259, {0x1F, 0x01, 0x00, 0xFF, 0x00}}, {1, 386, {0x1F, 0x01, 0x00, 0xFF, 0xFE}},
        {1, 387, {0x1F, 0x01, 0x00, 0xFF, 0x01, 0x02}}, {20, 19, {0xFF, 0x01, 0x00, 0x0F, 0x14}},
    };
    for (const auto& c : cases) {
        const Bytes lits = testing::random_data(c.literals, uint32_t(c.literals));
        Bytes stream = c.header, expect = lits;
        stream.insert(stream.end(), lits.begin(), lits.end());
        expect.insert(expect.end(), c.length, lits.empty() ? 0 : lits.back());
        Stream written;
        if (c.length) {
            stream.insert(stream.end(), {0, 0, 0});
            written.token(lits, uint32_t(c.length), 1);
        }
        EXPECT_EQ(written.end(c.length ? Bytes{} : lits).bytes, stream) << c.literals << " " << c.length;
        const auto d = decompress(stream, expect.size());
        EXPECT_EQ(d.result, expect.size()) << c.literals << " " << c.length;
        EXPECT_EQ(d.bytes, expect) << c.literals << " " << c.length;
    }
}

// Short offsets repeat the last `distance` bytes, on the fast path (more
// output follows) and on the careful path (the match ends the block).
TEST(M1Decode, OverlappingMatchesRepeatThePattern)
{
    const Bytes tail = testing::random_data(100, 7);
    for (uint32_t dist = 1; dist <= 9; ++dist) {
        for (size_t length = 4; length <= 600; length += (length < 40 ? 1 : 37)) {
            const Bytes prefix = testing::random_data(dist, dist * 1000 + static_cast<uint32_t>(length));
            Bytes expect = prefix;
            for (size_t i = 0; i < length; ++i)
                expect.push_back(expect[expect.size() - dist]);
            for (bool more : {true, false}) {
                Bytes want = expect;
                if (more)
                    want.insert(want.end(), tail.begin(), tail.end());
                const auto d = decompress(Stream().token(prefix, uint32_t(length), dist).end(more ? tail : Bytes{}).bytes,
                                          want.size());
                ASSERT_EQ(d.result, want.size()) << dist << " " << length << " " << more;
                ASSERT_EQ(d.bytes, want) << dist << " " << length << " " << more;
            }
        }
    }
}

TEST(M1Decode, ResultIsTheExpectedSizeOnlyForAnExactStream)
{
    // A long stream whose last tokens are decoded by the careful loop.
    Stream s;
    Bytes expect;
    const Bytes a = testing::random_data(40, 11), b = testing::random_data(3, 12), c = testing::random_data(200, 13);
    const std::tuple<const Bytes&, uint32_t, uint32_t> tokens[] = {{a, 30, 40}, {b, 300, 7}, {c, 19, 100}, {b, 4, 1}, {a, 0, 0}};
    for (const auto& [literals, length, dist] : tokens) {
        s.token(literals, length, dist);
        expect.insert(expect.end(), literals.begin(), literals.end());
        for (size_t i = 0; i < length; ++i)
            expect.push_back(expect[expect.size() - dist]);
    }
    const Bytes& good = s.bytes;
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
    for (size_t len = 0; len < good.size(); ++len)
        EXPECT_NE(decompress(Bytes(good.begin(), good.begin() + ptrdiff_t(len)), n).result, n) << len;
    for (uint8_t extra : {0, 1, 255}) {
        Bytes longer = good;
        longer.push_back(extra);
        EXPECT_NE(decompress(longer, n).result, n);
    }
}

TEST(M1Decode, DamageIsReported)
{
    const Bytes five = testing::random_data(5, 3), big = testing::random_data(500, 4);
    Bytes long_run = {0xF0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    long_run.resize(200, 0);
    Bytes huge = Stream().token(five, 4, 1).bytes;
    huge[0] = 0x5F;  // match code 15, then an extension near 2^32
    huge.insert(huge.begin() + 3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    huge.resize(300, 0);
    const struct {
        const char* what;
        Bytes stream;
        size_t expected;
    } cases[] = {
        {"offset one past the data", Stream().token(five, 4, 6).end().bytes, 9},
        {"offset with nothing written", Stream().token({}, 4, 1).end().bytes, 4},
        {"offset one past the data, later on", Stream().token(big, 4, 501).end(big).bytes, 1004},
        {"literal run longer than the stream", long_run, 100},
        {"match length near 2^32", huge, 250},
        {"match that would end inside the output's slack", Stream().token(five, 20, 1).end().bytes, 20},
    };
    for (const auto& c : cases)
        EXPECT_NE(decompress(c.stream, c.expected).result, c.expected) << c.what;
    EXPECT_EQ(decompress(Stream().token(big, 4, 500).end(big).bytes, 1004).result, 1004u);
}

// Garbage never makes the decoder read or write out of bounds (the guard
// bytes and the sanitizers check), whatever it returns.
TEST(M1Decode, RandomStreamsStayInBounds)
{
    std::mt19937 rng(9);
    for (int i = 0; i < 3000; ++i) {
        Bytes stream = testing::random_data(rng() % 200, rng());
        for (auto& b : stream)
            if (rng() % 3 == 0)
                b &= 0x11;  // short codes and small offsets are more interesting
        decompress(stream, rng() % 400);
    }
}

} // namespace
} // namespace qrn
