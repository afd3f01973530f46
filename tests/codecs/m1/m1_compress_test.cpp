#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "codecs/m1/m1_support.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using m1test::Bytes;
using m1test::compress;
using m1test::decompress;
using m1test::Token;
using m1test::tokens_of;

struct Setting {
    int level;
    int bits;
};
// Level 0 below and from 13 bits (without and with end insertion), and the
// multi-probe levels with small and default tables.
constexpr Setting SETTINGS[] = {{0, 10}, {0, 12}, {0, 13}, {0, 16}, {1, 10},
                                {1, 16}, {1, 20}, {2, 12}, {2, 18}, {2, 24}};

std::string name(const Setting& s) { return "level " + std::to_string(s.level) + " bits " + std::to_string(s.bits); }

// Data without a repeated 4-byte string is the end token alone (its header
// bytes are pinned by the decoder tests).
TEST(M1Compress, BlocksWithoutRepeatsAreOneEndToken)
{
    const Bytes data = testing::random_data(5000, 77);
    for (size_t n : {1, 2, 3, 4, 14, 15, 254, 255, 300, 383, 5000}) {
        const Bytes part(data.begin(), data.begin() + ptrdiff_t(n));
        for (const auto& s : SETTINGS)
            EXPECT_EQ(compress(part, s.level, s.bits).bytes, m1test::Stream().end(part).bytes) << n << ", " << name(s);
        EXPECT_EQ(compress(part, 9, 16).bytes, m1test::Stream().end(part).bytes) << n << ", level 9";
    }
}

TEST(M1Compress, RunsOfOneByte)
{
    // Ten equal bytes: one literal, a match of offset 1 and length 9, 00 00 00.
    for (uint8_t v : {uint8_t(0), uint8_t('a')})
        for (const auto& s : SETTINGS)
            EXPECT_EQ(compress(Bytes(10, v), s.level, s.bits).bytes, (Bytes{0x15, 1, 0, v, 0, 0, 0})) << name(s);

    // A thousand: the match stops where its extension reaches n - 32; the
    // rest is the end token's literals. Level 2 validates 6 bytes first, so
    // its 8-byte steps end two bytes later.
    const Bytes run(1000, 'x');
    for (const auto& s : SETTINGS) {
        const size_t length = s.level == 2 ? 974 : 972;
        const auto c = compress(run, s.level, s.bits);
        EXPECT_EQ(tokens_of(c.bytes), (std::vector<Token>{{1, length, 1}, {999 - length, 0, 0}})) << name(s);
        EXPECT_EQ(decompress(c.bytes, 1000).bytes, run);
    }
}

TEST(M1Compress, DistancesStopAt65535)
{
    const Bytes x = testing::random_data(2000, 5);
    for (size_t distance : {65535, 65536, 65537}) {
        Bytes data = x;
        const Bytes filler = testing::random_data(distance - x.size(), 6);
        data.insert(data.end(), filler.begin(), filler.end());
        data.insert(data.end(), x.begin(), x.end());
        for (const auto& s : SETTINGS) {
            const auto c = compress(data, s.level, s.bits);
            if (distance > 65535) {
                EXPECT_GT(c.result, data.size()) << distance << ", " << name(s);
            } else if (s.bits >= 13) { // smaller tables forget the first copy
                EXPECT_LT(c.result, data.size() - 1900) << name(s);
            }
            EXPECT_EQ(decompress(c.bytes, data.size()).bytes, data) << distance << ", " << name(s);
        }
    }
}

// Level 1 probes p, p+1, p+2 together. At p a match of 4 bytes at distance 2;
// at p+1 one of `far_length` bytes at distance 100 (class 3). The farther one
// wins when (p - (p+1)) + far_length - 4 + 2 reaches DistanceClassBonus[3][0] = 4.
TEST(M1Compress, Level1WeighsLengthAgainstDistanceClass)
{
    constexpr size_t P = 103, A = 4; // P is a probe position (1 + 3k); A = P + 1 - 100
    for (size_t far_length : {6, 7}) {
        Bytes d = testing::random_data(250, 8);
        const uint8_t a = 'a', b = 'b';
        Bytes x = {b, a, b};
        const Bytes rest = testing::random_data(far_length - 3, 9);
        x.insert(x.end(), rest.begin(), rest.end());
        if (x[3] == a)
            x[3] ^= 1;
        std::copy(x.begin(), x.end(), d.begin() + A);
        std::copy(x.begin(), x.end(), d.begin() + P + 1);
        d[P - 2] = a, d[P - 1] = b, d[P] = a;
        if (d[P - 3] == b)
            d[P - 3] ^= 1;
        if (d[A - 1] == a)
            d[A - 1] ^= 1;
        if (d[A + far_length] == d[P + 1 + far_length])
            d[P + 1 + far_length] ^= 1;
        const auto tokens = tokens_of(compress(d, 1, 20).bytes);
        ASSERT_FALSE(tokens.empty());
        const Token expect = far_length == 7 ? Token{P + 1, 7, 100} : Token{P, 4, 2};
        EXPECT_EQ(tokens[0], expect) << far_length;
    }
}

// Every setting and level 9 (which beats the greedy levels on text: not
// everywhere, as positions inside a long match are never entered in the
// match finder, and every window commits to the first match it meets); a
// full level-0 block and larger ones at the multi-probe levels.
TEST(M1Compress, RoundTripsVariedInputsAndWholeBlocks)
{
    const auto inputs = testing::varied_inputs();
    for (const auto& s : SETTINGS)
        for (const auto& [what, data] : inputs)
            testing::round_trip(m1test::M1, s.level, s.bits, data, what);
    for (const auto& [what, data] : inputs) {
        const Bytes c = testing::round_trip(m1test::M1, 9, 16, data, what);
        if (what.rfind("text", 0) == 0) {
            EXPECT_LE(c.size(), compress(data, 2, 18).bytes.size()) << what;
        }
    }
    Bytes data = testing::text_data(4u << 20, 6);
    const Bytes noise = testing::random_data(1 << 20, 7);
    std::copy(noise.begin(), noise.end(), data.begin() + (1 << 20));
    testing::round_trip(m1test::M1, 0, 16, data, "4 MiB");
    data.insert(data.end(), data.begin(), data.begin() + (3 << 20));
    testing::round_trip(m1test::M1, 1, 20, data, "7 MiB");
    testing::round_trip(m1test::M1, 2, 24, data, "7 MiB");
}

// Literal runs of 255 to 382 bytes cost one byte beyond their data, so
// incompressible stretches stay inside n + n / 255 + 32. Runs of 383 and
// more cost two, and a run of 384 literals before each 4-byte match passes
// that bound: the compressor then declines the block instead of overrunning.
TEST(M1Compress, OutputBound)
{
    const Bytes random = testing::random_data(200000, 10);
    for (const auto& s : SETTINGS)
        EXPECT_EQ(compress(random, s.level, s.bits).result, random.size() + 7) << name(s);

    // Level 0 probes every position up to 128 bytes past the anchor, then
    // every 2nd, 3rd, ...: place a 4-byte repeat of the previous probe at the
    // first probe `run` bytes after the anchor, again and again.
    auto crafted = [](size_t run) {
        Bytes d;
        std::unordered_set<uint32_t> seen; // 4-byte strings so far: fresh bytes repeat none
        seen.reserve(1 << 20);
        std::mt19937 rng(11);
        auto push = [&](int avoid) {
            for (;;) {
                const uint8_t v = static_cast<uint8_t>(rng());
                const size_t n = d.size();
                const uint32_t gram = n < 3 ? 0 : d[n - 3] | d[n - 2] << 8 | d[n - 1] << 16 | uint32_t(v) << 24;
                if (v == avoid || (n >= 3 && seen.count(gram)))
                    continue;
                seen.insert(gram);
                d.push_back(v);
                return;
            }
        };
        uint32_t anchor = 0, ip = 1;
        for (int token = 0; token < 1000; ++token) {
            uint32_t p = ip, previous = ip;
            while (p - anchor < run) {
                previous = p++;
                if (p - anchor >= 128)
                    p += std::min<uint32_t>((p - anchor) / 128 + 1, 16);
            }
            while (d.size() < p)
                push(d.size() == p - 1 ? d[previous - 1] : -1); // no backward extension
            for (int k = 0; k < 4; ++k) {
                d.push_back(d[previous + k]);
                const size_t n = d.size();
                seen.insert(d[n - 4] | d[n - 3] << 8 | d[n - 2] << 16 | uint32_t(d[n - 1]) << 24);
            }
            push(d[previous + 4]); // the match is 4 bytes long
            anchor = ip = p + 4;
        }
        for (int k = 0; k < 100; ++k)
            push(-1);
        return d;
    };
    auto literal_runs = [](const Bytes& stream) {
        std::set<size_t> runs;
        for (const auto& t : tokens_of(stream))
            if (t.length) {
                EXPECT_EQ(t.length, 4u);
                runs.insert(t.literals);
            }
        return runs;
    };
    for (size_t run : {255, 300, 380}) {
        const Bytes d = crafted(run);
        const auto c = compress(d, 0, 16);
        const auto runs = literal_runs(c.bytes);
        EXPECT_EQ(tokens_of(c.bytes).size(), 1001u) << run;
        EXPECT_GE(*runs.begin(), 255u);
        EXPECT_LE(*runs.rbegin(), 382u);
        EXPECT_GT(c.result, d.size()) << run;
        EXPECT_LE(c.result, m1test::compress_bound(d.size())) << run;
    }
    const Bytes worst = crafted(383);
    EXPECT_EQ(compress(worst, 0, 16).result, CODEC_FAIL);
    const auto c = compress(worst, 0, 16, int64_t(compress_capacity(uint32_t(worst.size()))));
    EXPECT_GE(*literal_runs(c.bytes).begin(), 383u);
    EXPECT_EQ(c.result, worst.size() + 1000 * 2 + 4); // two bytes per token, four for the end token
    EXPECT_EQ(decompress(c.bytes, worst.size()).bytes, worst);
    // Any capacity short of the output is declined without a write past it.
    for (int64_t cap : {int64_t(c.result) - 1, int64_t(c.result) - 100, int64_t(10), int64_t(0)})
        EXPECT_EQ(compress(worst, 0, 16, cap).result, CODEC_FAIL) << cap;
    EXPECT_EQ(compress(worst, 0, 16, c.result).bytes, c.bytes);
}

Bytes round_trip9(const Bytes& data, const std::string& what) { return testing::round_trip(m1test::M1, 9, 16, data, what); }

TEST(M1Optimal, ShortBlocksAndLongMatches)
{
    // Nothing of 1 to 4 bytes holds a match: the end token alone.
    for (size_t n = 1; n <= 4; ++n)
        EXPECT_EQ(tokens_of(round_trip9(Bytes(n, 'a'), "run")), (std::vector<Token>{{n, 0, 0}}));
    // A repeat of 513 bytes is one match; 512 bytes may be cut at any length
    // but the cheapest is still one match.
    for (size_t length : {512, 513, 1800}) {
        Bytes data = testing::random_data(2000, 1);
        const Bytes repeat(data.begin() + 100, data.begin() + 100 + long(length));
        data.insert(data.end(), repeat.begin(), repeat.end());
        const auto tokens = tokens_of(round_trip9(data, "repeat"));
        ASSERT_EQ(tokens.size(), 2u) << length;
        EXPECT_EQ(tokens[0], (Token{2000, length, uint32_t(1900)})) << length;
    }
    // A repeat 70000 bytes back is out of reach: stored as literals.
    Bytes far = testing::random_data(70000, 2);
    const Bytes repeat(far.begin(), far.begin() + 5000);
    far.insert(far.end(), repeat.begin(), repeat.end());
    EXPECT_GT(round_trip9(far, "far repeat").size(), far.size());
}

} // namespace
} // namespace qrn
