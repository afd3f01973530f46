#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "codecs/m2/m2_format.h"
#include "codecs/m2/m2_reference.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using namespace m2test;

// Random bytes other than zero.
Bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(1 + rng() % 255);
    return b;
}

// Compresses, checks the stream with the reference decoder and the real one,
// and returns the tokens.
std::vector<Token> round_trip(const Bytes& data, int level, int bits, const std::string& what)
{
    uint32_t r = 0;
    const Bytes c = compress(data, level, bits, &r);
    EXPECT_NE(r, CODEC_FAIL) << what;
    if (data.empty()) {
        EXPECT_EQ(r, 0u) << what;
        return {};
    }
    EXPECT_LE(c.size(), data.size() + data.size() / 10 + 32) << what;
    Bytes ref, out;
    std::vector<Token> tokens;
    EXPECT_TRUE(reference_decode(c, level, &ref, &tokens)) << what;
    EXPECT_TRUE(ref == data) << what;
    EXPECT_EQ(decode(c, level, uint32_t(data.size()), &out), data.size()) << what;
    EXPECT_TRUE(out == data) << what;
    for (const Token& t : tokens) {
        if (t.len == 0 || t.form == REPEAT)
            continue;
        // The form follows from the distance alone.
        const Form want = level == 9 ? (t.dist < 1024 ? SHORT : t.dist < 32768 ? L9_15 : t.dist < (1u << 23) ? L9_23 : L9_31)
                                     : (t.dist <= 1023 ? SHORT : t.dist <= 65535 ? PLAIN3 : PLAIN4);
        EXPECT_EQ(t.form, want) << what << " dist " << t.dist;
        EXPECT_GE(t.len, min_match(want, level)) << what;
        EXPECT_LE(t.dist, level == 9 ? 0x7FFFFFFFu : M2_MAX_DISTANCE) << what;
    }
    return tokens;
}

TEST(M2Compress, RoundTripsVariedInputsAtEveryLevel)
{
    auto inputs = testing::varied_inputs();
    inputs.push_back({"empty", {}});
    // Repeats at both ends of 17 MiB, beyond the four-byte form's reach.
    Bytes huge = random_bytes(17u << 20, 4);
    const Bytes block = random_bytes(70000, 3);
    std::copy(block.begin(), block.end(), huge.begin() + (17u << 20) - 70000);
    std::copy(block.begin(), block.end(), huge.begin() + 1000);
    inputs.push_back({"repeat beyond 16 MiB", huge});
    for (int level : {0, 1, 2}) {
        for (int bits : {10, 13, default_bits(level)}) {
            for (const auto& [name, data] : inputs) {
                if (data.size() > (1u << 20) && bits != default_bits(level))
                    continue;
                round_trip(data, level, bits, name + " level " + std::to_string(level) + " bits " +
                                                  std::to_string(bits));
            }
        }
    }
}

TEST(M2Compress, SmallBlocksAndEdgeShapes)
{
    for (int level : {0, 1, 2}) {
        const int bits = default_bits(level);
        EXPECT_EQ(compress(Bytes{'a', 'b'}, level, bits), (Bytes{0x20, 0x00, 'a', 'b'}));
        EXPECT_EQ(compress(Bytes{'a', 'b', 'c', 'd'}, level, bits), (Bytes{0x30, 0x00, 0x04, 'a', 'b', 'c', 'd'}));
        // Ten equal bytes: one literal, one match at distance 1 to the end.
        const uint8_t field = level == 2 ? 6 : 5;
        EXPECT_EQ(compress(Bytes(10, 'a'), level, bits), (Bytes{uint8_t(0x50 | field), 0x00, 'a', 0x00, 0x00}));
        // No repetition: the end token alone (300 = 255 + 45).
        const Bytes noise = random_bytes(300, 8);
        Bytes expect(4 + noise.size());
        expect[0] = 0x30, expect[2] = 0xFF, expect[3] = 90;
        std::copy(noise.begin(), noise.end(), expect.begin() + 4);
        EXPECT_EQ(compress(noise, level, bits), expect);
        // 1000 equal bytes: the match ends where its extension reached the
        // search limit, the rest are the end token's literals.
        // (Level 2 validates 6 bytes before extending, so it stops 2 later.)
        const uint32_t len = level == 2 ? 974 : 972;
        const auto tokens = round_trip(Bytes(1000, 'z'), level, bits, "run");
        ASSERT_EQ(tokens.size(), 2u);
        EXPECT_EQ(tokens[0], (Token{SHORT, 1, len, 1}));
        EXPECT_EQ(tokens[1], (Token{SHORT, 999 - len, 0, 0}));
    }
}

TEST(M2Compress, BadParametersAreRefused)
{
    // Table sizes beyond the allowed ones.
    for (const auto& [level, bits] : {std::pair{0, 17}, {2, 40}}) {
        uint32_t r = 0;
        compress(Bytes(100, 'a'), level, bits, &r);
        EXPECT_EQ(r, CODEC_FAIL) << level << " " << bits;
    }
    // Too small an output area.
    Bytes in(200, 'a'), out(300);
    BlockCall job{};
    job.level = 1, job.hash_bits = 20;
    job.in = in.data(), job.in_size = 100;
    job.out = out.data(), job.out_limit = 150;
    EXPECT_EQ(m2_compress(job), CODEC_FAIL);
}

// A 64-byte pattern seen twice, `dist` apart, in zeros: the second copy is one
// match at exactly that distance.
Bytes pattern_at_distance(uint32_t dist)
{
    Bytes data(200 + dist + 200, 0);
    const Bytes pattern = random_bytes(64, dist);
    std::copy(pattern.begin(), pattern.end(), data.begin() + 100);
    std::copy(pattern.begin(), pattern.end(), data.begin() + 100 + dist);
    return data;
}

TEST(M2Compress, FormBoundaries)
{
    for (int level : {0, 1, 2}) {
        for (uint32_t dist : {1023u, 1024u, 65535u, 65536u, 16777215u}) {
            const auto tokens = round_trip(pattern_at_distance(dist), level, default_bits(level), "boundary");
            bool found = false;
            for (const Token& t : tokens)
                found |= t.dist == dist && t.len >= 64;
            EXPECT_TRUE(found) << "level " << level << " dist " << dist;
        }
    }
    // One byte farther than the largest distance: never a match there.
    for (const Token& t : round_trip(pattern_at_distance(16777216), 2, 26, "too far"))
        EXPECT_NE(t.dist, 16777216u);
}

// Zeros with "aWXYZb" and, `dist` later, "cWXYZd": a match of exactly 4 bytes.
TEST(M2Compress, LevelOneDropsFarShortMatches)
{
    for (uint32_t dist : {71679u, 71680u}) {
        Bytes data(dist + 400, 0);
        const char* one = "aWXYZb";
        const char* two = "cWXYZd";
        std::copy(one, one + 6, data.begin() + 100);
        std::copy(two, two + 6, data.begin() + 100 + dist);
        int fours = 0;
        for (const Token& t : round_trip(data, 1, 20, "level 1 limit"))
            fours += t.dist == dist && t.len == 4;
        EXPECT_EQ(fours, dist < 71680 ? 1 : 0) << dist;
    }
}

// At level 2, "UVW" repeated `dist` later in the literal gap before a main
// match becomes a 3-byte match only when near enough.
Bytes gap_case(uint32_t dist, const Bytes& main)
{
    Bytes data(dist + 1000, 0);
    auto put = [&](size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), data.begin() + at); };
    put(20, main);
    put(200, {'a', 'U', 'V', 'W', 'b', 'e', 'f'});
    put(207, main);
    put(200 + dist, {'c', 'U', 'V', 'W', 'd', 'g', 'h'});
    put(207 + dist, main);
    put(247 + dist, random_bytes(300, 78));  // so that the main match ends before the search limit
    return data;
}

TEST(M2Compress, LevelTwoGapMatches)
{
    const Bytes main = random_bytes(40, 77);
    for (uint32_t dist : {3099u, 3100u}) {
        int threes = 0;
        for (const Token& t : round_trip(gap_case(dist, main), 2, 26, "gap"))
            threes += t.dist == dist && t.len == 3;
        EXPECT_EQ(threes, dist < 3100 ? 1 : 0) << dist;
    }
    // "UVW" + main's first 4 bytes at 400; later "UVW" + main: the gap match
    // at "UVW" would run on into the main match, but is cut where it starts.
    Bytes data(3000, 0);
    std::copy(main.begin(), main.end(), data.begin() + 20);
    const Bytes lead = {'U', 'V', 'W', main[0], main[1], main[2], main[3], 'k'};
    std::copy(lead.begin(), lead.end(), data.begin() + 400);
    const Bytes second = {'x', 'y', 'z', 'q', 'U', 'V', 'W'};
    std::copy(second.begin(), second.end(), data.begin() + 1000);
    std::copy(main.begin(), main.end(), data.begin() + 1007);
    const auto tokens = round_trip(data, 2, 26, "cut gap");
    bool cut = false;
    for (size_t k = 0; k + 1 < tokens.size(); ++k)
        cut |= tokens[k] == Token{SHORT, 4, 3, 604} && tokens[k + 1].lit == 0 && tokens[k + 1].len >= 40;
    EXPECT_TRUE(cut);
}

TEST(M2Compress, MaxDistanceByLengthTable)
{
    EXPECT_EQ(MaxDistanceByLength[3], 3100u);
    EXPECT_EQ(MaxDistanceByLength[4], 71680u);
    EXPECT_EQ(MaxDistanceByLength[5], 16777216u);
    EXPECT_EQ(MaxDistanceByLength[9], 16777216u);
}

// Level 9: the optimal parse in the level-9 dialect.
TEST(M2Optimal, RoundTripsVariedInputs)
{
    for (const auto& [what, data] : testing::varied_inputs()) {
        round_trip(data, 9, 0, what);
        if (what.rfind("text", 0) == 0) {
            EXPECT_LE(compress(data, 9, 0).size(), compress(data, 2, 18).size()) << what;
        }
    }
}

TEST(M2Optimal, RepeatTokensAndForms)
{
    // The repeat distance is 1 at the start: a run is a literal and a
    // one-byte repeat token. A match that would end at the window's end
    // arrives at its last node; there, at an equal price, the shorter repeat
    // (8 bytes) is the last to arrive and stays, and the end token carries
    // the last byte.
    EXPECT_EQ(compress(Bytes(10, 'q'), 9, 0), (Bytes{0x7D, 'q', 0x10, 0, 'q'}));
    // Two stretches repeated at the same distance: the second is a repeat.
    Bytes data = random_bytes(3000, 1);
    Bytes copy(data.begin() + 10, data.begin() + 2000);
    copy[1000] ^= 0x55;
    data.insert(data.end(), copy.begin(), copy.end());
    const auto tokens = round_trip(data, 9, 0, "repeat after a change");
    EXPECT_NE(std::find(tokens.begin(), tokens.end(), Token{REPEAT, 1, 989, 2990}), tokens.end());
    // A distance beyond the four-byte form's 23 bits takes the five-byte form.
    Bytes huge = random_bytes((8u << 20) + 5000, 2);
    std::copy(huge.begin() + 100, huge.begin() + 1100, huge.end() - 2000);
    bool five = false;
    for (const Token& t : round_trip(huge, 9, 0, "8 MiB"))
        five |= t.form == L9_31;
    EXPECT_TRUE(five);
}

} // namespace
} // namespace qrn
