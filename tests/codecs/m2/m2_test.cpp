// Method 2: the decoder's two loops against the reference on hand-written,
// damaged and generated streams; the compressors' forms and match rules,
// read back through the reference; round trips.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "codecs/m2/m2_format.h"
#include "codecs/m2/m2_reference.h"
#include "support/codec_run.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using namespace m2test;
using testing::default_bits;

Bytes str(const char* s) { return Bytes(s, s + std::strlen(s)); }

// The result when the decoder's two loops disagree.
constexpr uint32_t LOOPS_DISAGREE = 0xFFFFFFFEu;

uint32_t decode_near(const BlockCall& job) { return m2_decode(job, false); }
uint32_t decode_far(const BlockCall& job) { return m2_decode(job, true); }
const testing::Codec M2{2, m2_compress, decode_near}, M2_FAR{2, m2_compress, decode_far};

// Runs both decoding loops; returns their result (LOOPS_DISAGREE if their
// results or good outputs differ); `out` gets the first `expected` bytes.
uint32_t decode(const Bytes& stream, int level, uint32_t expected, Bytes* out = nullptr)
{
    const auto near = testing::codec_decode(M2, level, stream, expected);
    const auto far = testing::codec_decode(M2_FAR, level, stream, expected);
    if (out)
        *out = far.bytes;
    if (near.result != far.result || (near.result == expected && near.bytes != far.bytes))
        return LOOPS_DISAGREE;
    return near.result;
}

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

// Streams written out by hand: what good ones decode to, and near misses of
// good ones that the decoder must refuse.
TEST(M2Decode, HandWrittenAndDamagedStreams)
{
    constexpr uint32_t GOOD = ~0u;  // the expected size is the output's
    const struct {
        const char* what;  // the output of a good stream
        int level;
        Bytes stream;
        uint32_t expected = GOOD;
    } cases[] = {
        {"", 0, {0x00, 0x00}}, {"", 1, {0x00, 0x00}}, {"", 2, {0x00, 0x00}}, {"", 9, {0x00, 0x00}},
        // 60 00: two literals, then distance 1 with match-length field 0: four
        // bytes at levels 0 and 1, three at level 2, where four need field 1.
        {"abbbbb", 0, {0x60, 0x00, 'a', 'b', 0x00, 0x00}},
        {"abbbbb", 1, {0x60, 0x00, 'a', 'b', 0x00, 0x00}},
        {"abbbb", 2, {0x60, 0x00, 'a', 'b', 0x00, 0x00}},
        {"abbbbb", 2, {0x61, 0x00, 'a', 'b', 0x00, 0x00}},
        // Level 9: a repeat token first in the block copies from distance 1;
        // the four-byte token's field 0 is 5 bytes, the five-byte token's 6.
        {"xxxx", 9, {0x78, 'x', 0x00, 0x00}},
        {"abcdefabcde", 9, {0x98, 0x0D, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 0x00, 0x00}},
        {"abcdefabcdef", 9, {0xA8, 0x0D, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 0x00, 0x00}},
        // Damage.
        {"no end token", 0, {}, 0},
        {"no end token", 9, {}, 0},
        {"end token before the expected size", 0, {0x00, 0x00}, 5},
        {"end token before the expected size", 9, {0x00, 0x00}, 5},
        {"level 2's minimum match is 3", 2, {0x60, 0x00, 'a', 'b', 0x00, 0x00}, 6},
        {"literals beyond the stream (slack is zero)", 0, {0x20, 0x00, 'a'}, 2},
        {"token cut short", 0, {0x60}, 0},
        {"three-byte token cut short", 0, {0x28, 0x00}, 1},
        // Only the short form ends the block: long forms of distance 0 are
        // damage, also where the block would end there.
        {"plain long form with distance 0", 0, {0x28, 0x00, 0x00, 'a'}, 1},
        {"plain four-byte form with distance 0", 0, {0x38, 0x00, 0x00, 0x00, 'a'}, 1},
        {"level-9 15-bit form with distance 0", 9, {0x48, 0x00, 0x00, 'a', 0x00, 0x00}, 1},
        {"level-9 31-bit form with distance 0", 9, {0x68, 0x00, 0x00, 0x00, 0x00, 'a', 0x00, 0x00}, 1},
        {"level-9 31-bit distance 2^30 + 1", 9, {0x68, 0x02, 0x00, 0x00, 0x80, 'a', 0x00, 0x00}, 7},
        {"repeat token before any output", 9, {0x38, 0x00, 0x00}, 3},
        {"source before the output start", 0, {0x90, 0x00, 'a', 0x00, 0x00}, 5},
        {"match beyond the expected size", 0, {0x50, 0x00, 'a', 0x00, 0x00}, 4},
        {"literals beyond the expected size", 0, {0x30, 0x00, 0x05, 'a', 'b', 'c', 'd', 'e'}, 4},
        {"no end token after a match", 0, {0x60, 0x00, 'a', 'b'}, 6},
        {"match extension missing", 0, {0x67, 0x00, 'a', 'b'}, 300},
        {"varint of the extension cut short", 0, {0x67, 0x00, 0xFF, 0x01}, 300},
        {"huge literal count", 0, {0x30, 0x00, 0xFF, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF}, 100},
        {"huge match length", 0, {0x57, 0x00, 0xFF, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 100},
    };
    for (const auto& c : cases) {
        Bytes out;
        if (c.expected != GOOD) {
            EXPECT_NE(decode(c.stream, c.level, c.expected), c.expected) << c.what << ", level " << c.level;
            continue;
        }
        EXPECT_EQ(decode(c.stream, c.level, uint32_t(std::strlen(c.what)), &out), std::strlen(c.what)) << c.what;
        EXPECT_EQ(out, str(c.what)) << c.level << " " << c.what;
    }
    // Early end: the result is the shorter size.
    EXPECT_EQ(decode({0x10, 0x00, 'a'}, 0, 3), 1u);

    // The token writer the generated streams below use.
    Bytes s;
    put_token(s, 9, L9_23, str("ab"), 5, 6);
    put_token(s, 9, L9_31, str("a"), 6, 0x40000001);
    EXPECT_EQ(s, (Bytes{0x98, 0x0C, 0x00, 0x00, 'a', 'b', 0x68, 0x02, 0x00, 0x00, 0x80, 'a'}));
    // A repeat keeps the last distance; a new distance replaces it.
    s.clear();
    put_token(s, 9, L9_15, str("abcdef"), 3, 6);  // abc, rep = 6
    put_token(s, 9, REPEAT, str("z"), 3, 0);      // z + efa (distance 6)
    put_token(s, 9, SHORT, str("y"), 3, 2);       // y + aya, rep = 2
    put_token(s, 9, REPEAT, {}, 4, 0);            // yaya
    put_end(s, str("!"));
    Bytes out;
    EXPECT_EQ(decode(s, 9, 22, &out), 22u);
    EXPECT_EQ(out, str("abcdefabczefayayayaya!"));
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
                    const Bytes lits = testing::random_data(12, rng());
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

// Every form with every literal and match-length field, each shape followed
// by every other (the fast loops find a token's start from the shape of the
// one before it), extensions of one byte and longer, sources from 1 byte
// back to far, in streams long enough for the fast loops: decoded exactly as
// the reference does, and every truncation refused.
TEST(M2Decode, EveryTokenShapeMatchesReference)
{
    std::mt19937 rng(5);
    for (int level : {0, 1, 2, 9}) {
        const std::vector<Form> forms =
            level == 9 ? std::vector<Form>{SHORT, L9_15, L9_23, L9_31, REPEAT} : std::vector<Form>{SHORT, PLAIN3, PLAIN4};
        for (int round = 0; round < 6; ++round) {
            Bytes s;
            put_token(s, level, level == 9 ? L9_15 : PLAIN3, Bytes(3000, 'a'), 8, 1);  // room for far sources
            size_t produced = 3008;
            for (Form f : forms) {
                const uint32_t lit_escape = (f == SHORT || f == REPEAT) ? 3 : 7;
                for (uint32_t lit = 0; lit <= lit_escape + 1; ++lit) {
                    for (uint32_t field = 0; field <= 8; ++field) {
                        const uint32_t nlit = lit <= lit_escape ? lit : lit_escape + rng() % (round < 3 ? 20 : 400);
                        const uint32_t len = min_match(f, level) + (field < 8 ? field : 7 + rng() % (round < 3 ? 40 : 600));
                        const uint32_t near[] = {1, 2, 3, 5, 7, 8, 11, 15, 16, 17, 31, 32, 33, 100};
                        uint32_t dist = round % 2 ? near[rng() % 14] : 1 + uint32_t(rng() % (produced + nlit));
                        if (f == SHORT)
                            dist = std::min<uint32_t>(dist, 1023);
                        if (f == PLAIN3 || f == L9_15)
                            dist = std::min<uint32_t>(dist, 32767);
                        put_token(s, level, f, testing::random_data(nlit, rng()), len, dist);
                        produced += nlit + len;
                    }
                }
            }
            put_end(s, Bytes(rng() % 20, 'e'));
            size_t size = 0;
            ASSERT_TRUE(decodes_as_reference(s, level, &size)) << "level " << level << " round " << round;
            for (size_t cut = 0; cut < s.size(); cut += 1 + s.size() / 64)
                ASSERT_NE(decode(Bytes(s.begin(), s.begin() + ptrdiff_t(cut)), level, uint32_t(size)), size)
                    << "level " << level << " round " << round << " cut " << cut;
        }
    }
}

// Random bytes other than zero.
Bytes nonzero_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(1 + rng() % 255);
    return b;
}

Bytes compress(const Bytes& data, int level, int bits) { return testing::codec_compress(M2, level, bits, data).bytes; }

// Compresses, checks the stream with the reference decoder and the real one,
// checks each token's form against its distance, and returns the tokens.
std::vector<Token> round_trip(const Bytes& data, int level, int bits, const std::string& what)
{
    const Bytes c = testing::round_trip(M2, level, bits, data, what);
    if (data.empty())
        return {};
    EXPECT_LE(c.size(), data.size() + data.size() / 10 + 32) << what;
    EXPECT_EQ(decode(c, level, uint32_t(data.size())), data.size()) << what;
    Bytes ref;
    std::vector<Token> tokens;
    EXPECT_TRUE(reference_decode(c, level, &ref, &tokens)) << what;
    EXPECT_TRUE(ref == data) << what;
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

// Every level with small and default tables; level 9 beats level 2 on text.
TEST(M2Compress, RoundTripsVariedInputsAtEveryLevel)
{
    auto inputs = testing::varied_inputs();
    // Repeats at both ends of 17 MiB, beyond the four-byte form's reach.
    Bytes huge = nonzero_bytes(17u << 20, 4);
    const Bytes block = nonzero_bytes(70000, 3);
    std::copy(block.begin(), block.end(), huge.begin() + (17u << 20) - 70000);
    std::copy(block.begin(), block.end(), huge.begin() + 1000);
    inputs.push_back({"repeat beyond 16 MiB", huge});
    for (int level : {0, 1, 2})
        for (int bits : {10, 13, default_bits(level)})
            for (const auto& [name, data] : inputs)
                if (data.size() <= (1u << 20) || bits == default_bits(level))
                    round_trip(data, level, bits, name);
    for (const auto& [what, data] : testing::varied_inputs()) {
        round_trip(data, 9, 0, what);
        if (what.rfind("text", 0) == 0) {
            EXPECT_LE(compress(data, 9, 0).size(), compress(data, 2, 18).size()) << what;
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
        const Bytes noise = nonzero_bytes(300, 8);
        Bytes expect = {0x30, 0x00, 0xFF, 90};
        expect.insert(expect.end(), noise.begin(), noise.end());
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

// A 64-byte pattern seen twice, `dist` apart, in zeros: the second copy is one
// match at exactly that distance.
Bytes pattern_at_distance(uint32_t dist)
{
    Bytes data(200 + dist + 200, 0);
    const Bytes pattern = nonzero_bytes(64, dist);
    std::copy(pattern.begin(), pattern.end(), data.begin() + 100);
    std::copy(pattern.begin(), pattern.end(), data.begin() + 100 + dist);
    return data;
}

// Zeros with "aWXYZb" and, `dist` later, "cWXYZd": a match of exactly 4 bytes.
Bytes four_at_distance(uint32_t dist)
{
    Bytes data(dist + 400, 0);
    const Bytes one = str("aWXYZb"), two = str("cWXYZd");
    std::copy(one.begin(), one.end(), data.begin() + 100);
    std::copy(two.begin(), two.end(), data.begin() + 100 + dist);
    return data;
}

// "UVW" repeated `dist` later in the literal gap before a main match.
Bytes gap_case(uint32_t dist, const Bytes& main)
{
    Bytes data(dist + 1000, 0);
    auto put = [&](size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), data.begin() + at); };
    put(20, main);
    put(200, {'a', 'U', 'V', 'W', 'b', 'e', 'f'});
    put(207, main);
    put(200 + dist, {'c', 'U', 'V', 'W', 'd', 'g', 'h'});
    put(207 + dist, main);
    put(247 + dist, nonzero_bytes(300, 78));  // so that the main match ends before the search limit
    return data;
}

// Which matches each level takes by distance: every form up to the largest
// distance, none beyond it; level 1 drops 4-byte matches from 71680 on;
// level 2 takes 3-byte matches from the literal gap before a main match
// only below distance 3100.
TEST(M2Compress, MatchesByDistance)
{
    const Bytes main = nonzero_bytes(40, 77);
    struct Case {
        int level;
        Bytes data;
        uint32_t dist, len;  // a token at `dist` of `len` bytes (0: any) ...
        bool taken;          // ... present or not
    };
    std::vector<Case> cases = {
        {2, pattern_at_distance(16777216), 16777216, 0, false},
        {1, four_at_distance(71679), 71679, 4, true},  {1, four_at_distance(71680), 71680, 4, false},
        {2, gap_case(3099, main), 3099, 3, true},      {2, gap_case(3100, main), 3100, 3, false},
    };
    for (int level : {0, 1, 2})
        for (uint32_t dist : {1023u, 1024u, 65535u, 65536u, 16777215u})
            cases.push_back({level, pattern_at_distance(dist), dist, 0, true});
    for (const auto& c : cases) {
        int found = 0;
        for (const Token& t : round_trip(c.data, c.level, default_bits(c.level), "distance " + std::to_string(c.dist)))
            found += t.dist == c.dist && (c.len == 0 || t.len == c.len);
        EXPECT_EQ(found > 0, c.taken) << "level " << c.level << " dist " << c.dist;
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

TEST(M2Optimal, RepeatTokensAndForms)
{
    // The repeat distance is 1 at the start: a run is a literal and a
    // one-byte repeat token. A match that would end at the window's end
    // arrives at its last node; there, at an equal price, the shorter repeat
    // (8 bytes) is the last to arrive and stays, and the end token carries
    // the last byte.
    EXPECT_EQ(compress(Bytes(10, 'q'), 9, 0), (Bytes{0x7D, 'q', 0x10, 0, 'q'}));
    // Two stretches repeated at the same distance: the second is a repeat.
    Bytes data = nonzero_bytes(3000, 1);
    Bytes copy(data.begin() + 10, data.begin() + 2000);
    copy[1000] ^= 0x55;
    data.insert(data.end(), copy.begin(), copy.end());
    const auto tokens = round_trip(data, 9, 0, "repeat after a change");
    EXPECT_NE(std::find(tokens.begin(), tokens.end(), Token{REPEAT, 1, 989, 2990}), tokens.end());
    // A distance beyond the four-byte form's 23 bits takes the five-byte form.
    Bytes huge = nonzero_bytes((8u << 20) + 5000, 2);
    std::copy(huge.begin() + 100, huge.begin() + 1100, huge.end() - 2000);
    bool five = false;
    for (const Token& t : round_trip(huge, 9, 0, "8 MiB"))
        five |= t.form == L9_31;
    EXPECT_TRUE(five);
}

} // namespace
} // namespace qrn
