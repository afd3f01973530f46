#include <gtest/gtest.h>

#include <array>
#include <random>

#include "codecs/m2/m2_reference.h"

namespace qrn {
namespace {

using namespace m2test;

Bytes str(const char* s) { return Bytes(s, s + std::strlen(s)); }

// Both decoding loops give what the reference gives; `size` gets its length.
::testing::AssertionResult decodes_as_reference(const Bytes& s, int level, size_t* size = nullptr)
{
    Bytes ref, out;
    if (!reference_decode(s, level, &ref))
        return ::testing::AssertionFailure() << "the reference refuses the stream";
    const uint32_t r = decode(s, level, uint32_t(ref.size()), &out);
    if (r != ref.size() || out != ref)
        return ::testing::AssertionFailure() << "result " << r << " for " << ref.size() << " bytes";
    if (size)
        *size = ref.size();
    return ::testing::AssertionSuccess();
}

TEST(M2Decode, EmptyBlockInBothDialects)
{
    for (int level : {0, 1, 2, 9}) {
        EXPECT_EQ(decode({0x00, 0x00}, level, 0), 0u) << level;
        EXPECT_NE(decode({0x00, 0x00}, level, 5), 5u) << level;
        EXPECT_NE(decode({}, level, 0), 0u) << "no end token, level " << level;
    }
}

TEST(M2Decode, ShortTokenMeaningDependsOnLevel)
{
    // 60 00: two literals, then distance 1 with match-length field 0.
    const Bytes stream = {0x60, 0x00, 'a', 'b', 0x00, 0x00};
    Bytes out;
    EXPECT_EQ(decode(stream, 0, 6, &out), 6u);
    EXPECT_EQ(out, str("abbbbb"));
    EXPECT_EQ(decode(stream, 1, 6), 6u);
    // Level 2 has minimum match 3: the same bytes give one copy fewer, and a
    // four-byte copy there needs field 1 (61 00).
    EXPECT_NE(decode(stream, 2, 6), 6u);
    EXPECT_EQ(decode(stream, 2, 5, &out), 5u);
    EXPECT_EQ(out, str("abbbb"));
    EXPECT_EQ(decode({0x61, 0x00, 'a', 'b', 0x00, 0x00}, 2, 6, &out), 6u);
    EXPECT_EQ(out, str("abbbbb"));
}

TEST(M2Decode, LevelNineTokens)
{
    Bytes out;
    // A repeat token first in the block copies from distance 1.
    EXPECT_EQ(decode({0x78, 'x', 0x00, 0x00}, 9, 4, &out), 4u);
    EXPECT_EQ(out, str("xxxx"));
    // ... but not before any output exists.
    EXPECT_NE(decode({0x38, 0x00, 0x00}, 9, 3), 3u);

    // Four-byte token, field 0: 5 bytes; five-byte token, field 0: 6 bytes.
    Bytes s;
    put_token(s, 9, L9_23, str("abcdef"), 5, 6);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 4), (Bytes{0x98, 0x0D, 0x00, 0x00}));
    put_end(s);
    EXPECT_EQ(decode(s, 9, 11, &out), 11u);
    EXPECT_EQ(out, str("abcdefabcde"));
    s.clear();
    put_token(s, 9, L9_31, str("abcdef"), 6, 6);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 5), (Bytes{0xA8, 0x0D, 0x00, 0x00, 0x00}));
    put_end(s);
    EXPECT_EQ(decode(s, 9, 12, &out), 12u);
    EXPECT_EQ(out, str("abcdefabcdef"));

    // A repeat keeps the last distance; a new distance replaces it.
    s.clear();
    put_token(s, 9, L9_15, str("abcdef"), 3, 6);  // abc, rep = 6
    put_token(s, 9, REPEAT, str("z"), 3, 0);      // z + efa (distance 6)
    put_token(s, 9, SHORT, str("y"), 3, 2);       // y + aya, rep = 2
    put_token(s, 9, REPEAT, {}, 4, 0);            // yaya
    put_end(s, str("!"));
    EXPECT_EQ(decode(s, 9, 22, &out), 22u);
    EXPECT_EQ(out, str("abcdefabczefayayayaya!"));
    // The five-byte token reaches 31-bit distances.
    s.clear();
    put_token(s, 9, L9_31, str("a"), 6, 0x40000001);
    put_end(s);
    EXPECT_EQ(s[4], 0x80);
    EXPECT_NE(decode(s, 9, 7), 7u);
}

// Streams the decoder must refuse, each a near miss of a good one.
TEST(M2Decode, DamageIsReported)
{
    struct Case {
        const char* what;
        int level;
        Bytes stream;
        uint32_t expected;
    };
    const Case cases[] = {
        {"literals beyond the stream (slack is zero)", 0, {0x20, 0x00, 'a'}, 2},
        {"token cut short", 0, {0x60}, 0},
        {"three-byte token cut short", 0, {0x28, 0x00}, 1},
        {"plain long form with distance 0", 0, {0x28, 0x00, 0x00, 'a'}, 5},
        {"plain four-byte form with distance 0", 0, {0x38, 0x00, 0x00, 0x00, 'a'}, 5},
        {"level-9 15-bit form with distance 0", 9, {0x48, 0x00, 0x00, 'a', 0x00, 0x00}, 4},
        {"level-9 31-bit form with distance 0", 9, {0x68, 0x00, 0x00, 0x00, 0x00, 'a', 0x00, 0x00}, 7},
        {"source before the output start", 0, {0x90, 0x00, 'a', 0x00, 0x00}, 5},
        {"match beyond the expected size", 0, {0x50, 0x00, 'a', 0x00, 0x00}, 4},
        {"literals beyond the expected size", 0, {0x30, 0x00, 0x05, 'a', 'b', 'c', 'd', 'e'}, 4},
        {"no end token", 0, {0x60, 0x00, 'a', 'b'}, 6},
        {"match extension missing", 0, {0x67, 0x00, 'a', 'b'}, 300},
        {"varint of the extension cut short", 0, {0x67, 0x00, 0xFF, 0x01}, 300},
        {"huge literal count", 0, {0x30, 0x00, 0xFF, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF}, 100},
        {"huge match length", 0, {0x57, 0x00, 0xFF, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 100},
    };
    for (const Case& c : cases)
        EXPECT_NE(decode(c.stream, c.level, c.expected), c.expected) << c.what;
    // Early end: the result is the shorter size.
    EXPECT_EQ(decode({0x10, 0x00, 'a'}, 0, 3), 1u);
}

// Matches at distances 1 to 12 of many lengths, near and far from both ends
// of the buffers (the two decoding paths), against the reference.
TEST(M2Decode, OverlappingCopiesMatchReference)
{
    std::mt19937 rng(7);
    for (int level : {0, 2, 9}) {
        for (uint32_t dist = 1; dist <= 12; ++dist) {
            for (uint32_t len : {3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 16u, 17u, 31u, 40u, 300u}) {
                const Form f = level == 9 ? (len >= 6 ? L9_31 : L9_15) : SHORT;
                if (len < min_match(f, level))
                    continue;
                for (uint32_t tail : {0u, 1100u}) {  // the fast loops need room behind a token
                    Bytes lits(12);
                    for (auto& b : lits)
                        b = uint8_t(rng());
                    Bytes s;
                    put_token(s, level, f, lits, len, dist);
                    put_token(s, level, f, {lits[0]}, len, dist);
                    put_end(s, Bytes(tail, 'T'));
                    ASSERT_TRUE(decodes_as_reference(s, level)) << "level " << level << " dist " << dist << " len " << len;
                }
            }
        }
    }
}

// Random well-formed streams of every form, with and without extensions,
// decode exactly as the reference does; every truncation of them is refused.
TEST(M2Decode, RandomStreamsMatchReference)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const int level = std::array{0, 1, 2, 9}[round % 4];
        Bytes s;
        size_t produced = 0;
        const int count = 1 + int(rng() % 60);
        for (int t = 0; t < count; ++t) {
            const uint32_t r = rng() % 100;
            const uint32_t nlit = r < 60 ? rng() % 8 : r < 90 ? rng() % 40 : rng() % 600;
            Bytes lits(nlit);
            for (auto& b : lits)
                b = uint8_t('a' + rng() % 4);
            produced += nlit;
            if (produced == 0)
                continue;
            Form f;
            uint32_t dist = 1 + rng() % std::min<size_t>(produced, rng() % 2 ? 12 : 100000);
            if (level == 9) {
                f = Form(std::array{SHORT, L9_15, L9_23, L9_31, REPEAT}[rng() % 5]);
            } else {
                f = dist <= 1023 && rng() % 2 ? SHORT : rng() % 2 ? PLAIN3 : PLAIN4;
            }
            if (f == SHORT)
                dist = std::min<uint32_t>(dist, 1023);
            if (f == PLAIN3 || f == L9_15)
                dist = std::min<uint32_t>(dist, 32767);
            const uint32_t len = min_match(f, level) + (rng() % 3 ? rng() % 9 : rng() % 700);
            put_token(s, level, f, lits, len, dist);
            produced += len;
        }
        put_end(s, Bytes(rng() % 20, 'e'));
        size_t size = 0;
        ASSERT_TRUE(decodes_as_reference(s, level, &size)) << "round " << round;
        for (size_t cut = 0; cut < s.size(); cut += 1 + s.size() / 16)
            ASSERT_NE(decode(Bytes(s.begin(), s.begin() + cut), level, uint32_t(size)), size)
                << "round " << round << " cut " << cut;
    }
}

// Every form with every literal and match-length field, in streams long
// enough for the fast loops: each shape followed by every other, extensions
// of one byte and longer, sources from 1 byte back to far. The fast loops
// find a token's start from the shape of the one before it.
TEST(M2Decode, EveryTokenShapeInLongStreams)
{
    std::mt19937 rng(5);
    for (int level : {0, 2, 9}) {
        const std::vector<Form> forms =
            level == 9 ? std::vector<Form>{SHORT, L9_15, L9_23, L9_31, REPEAT} : std::vector<Form>{SHORT, PLAIN3, PLAIN4};
        Bytes s;
        size_t produced = 0;
        put_token(s, level, level == 9 ? L9_15 : PLAIN3, Bytes(3000, 'a'), 8, 1);  // room for far sources
        produced += 3008;
        for (int round = 0; round < 6; ++round) {
            for (Form f : forms) {
                const uint32_t lit_escape = (f == SHORT || f == REPEAT) ? 3 : 7;
                for (uint32_t lit = 0; lit <= lit_escape + 1; ++lit) {
                    for (uint32_t field = 0; field <= 8; ++field) {
                        uint32_t nlit = lit <= lit_escape ? lit : lit_escape + rng() % (round < 3 ? 20 : 400);
                        Bytes lits(nlit);
                        for (auto& b : lits)
                            b = uint8_t(rng());
                        const uint32_t len = min_match(f, level) + (field < 8 ? field : 7 + rng() % (round < 3 ? 40 : 600));
                        const uint32_t near[] = {1, 2, 3, 5, 7, 8, 11, 15, 16, 17, 31, 32, 33, 100};
                        uint32_t dist = round % 2 ? near[rng() % 14] : 1 + uint32_t(rng() % (produced + nlit));
                        if (f == SHORT)
                            dist = std::min<uint32_t>(dist, 1023);
                        if (f == PLAIN3 || f == L9_15)
                            dist = std::min<uint32_t>(dist, 32767);
                        put_token(s, level, f, lits, len, dist);
                        produced += nlit + len;
                    }
                }
            }
        }
        put_end(s, Bytes(5, 'e'));
        ASSERT_TRUE(decodes_as_reference(s, level)) << "level " << level;
    }
}

} // namespace
} // namespace qrn
