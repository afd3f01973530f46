// Method 1: token headers written out by hand, the decoder on exact,
// damaged and random streams; the compressors' tokens on shaped inputs,
// level 0 against a plain parser, the output bound, and round trips at every
// level. The compressors get the documented bound and no room past it, the
// decoder 16 bytes past its input (holding filler that must not matter) and
// its output.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "codecs/common/prefix_varint.h"
#include "codecs/m1/m1.h"
#include "codecs/m1/m1_format.h"
#include "support/codec_run.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using testing::Bytes;

uint64_t compress_bound(uint32_t n) { return n + n / 255 + 32; }

const testing::Codec M1{1, m1_compress, m1_decompress, compress_bound, 16, 0xA7};

testing::Coded compress(const Bytes& data, int level, int bits, int64_t capacity = -1)
{
    return testing::codec_compress(M1, level, bits, data, capacity);
}
testing::Coded decompress(const Bytes& stream, size_t expected)
{
    return testing::codec_decode(M1, 0, stream, uint32_t(expected));
}
::testing::AssertionResult decodes(const Bytes& stream, const Bytes& want) { return testing::decodes_to(M1, 0, stream, want); }

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
std::vector<Token> tokens_of(const Bytes& stream)
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
        EXPECT_TRUE(decodes(stream, expect)) << c.literals << " " << c.length;
    }
}

// Short offsets repeat the last `distance` bytes, on the fast path (more
// output follows) and on the careful path (the match ends the block).
TEST(M1Decode, OverlappingMatchesRepeatThePattern)
{
    const Bytes tail = testing::random_data(100, 7);
    for (uint32_t dist = 1; dist <= 9; ++dist)
        for (size_t length = 4; length <= 600; length += (length < 40 ? 1 : 37))
            for (const Bytes& end : {tail, Bytes{}}) {
                const Bytes prefix = testing::random_data(dist, dist * 1000 + static_cast<uint32_t>(length));
                Bytes want = prefix;
                for (size_t i = 0; i < length; ++i)
                    want.push_back(want[want.size() - dist]);
                want.insert(want.end(), end.begin(), end.end());
                ASSERT_TRUE(decodes(Stream().token(prefix, uint32_t(length), dist).end(end).bytes, want))
                    << dist << " " << length << " " << end.size();
            }
}

// Near misses of good streams, and garbage: never the expected size, and
// never a read or write out of bounds (the guard bytes and the sanitizers).
TEST(M1Decode, DamageIsReported)
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
    ASSERT_TRUE(decodes(good, expect));
    // Expecting more: the end token comes early and the result says how much.
    EXPECT_EQ(decompress(good, n + 1).result, n);
    EXPECT_EQ(decompress(good, n + 100).result, n);
    testing::expect_cuts_refused(M1, 0, good, uint32_t(n));

    const Bytes five = testing::random_data(5, 3), big = testing::random_data(500, 4);
    Bytes long_run = {0xF0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    long_run.resize(200, 0);
    Bytes huge = Stream().token(five, 4, 1).bytes;
    huge[0] = 0x5F;  // match code 15, then an extension near 2^32
    huge.insert(huge.begin() + 3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    huge.resize(300, 0);
    // 200 literals announced with 60 left, and room for them in the output:
    // only the stream's end can stop them (ASan sees a read past it).
    Bytes short_literals = {0xF0, 1, 0, 200};
    const Bytes sixty = testing::random_data(60, 5);
    short_literals.insert(short_literals.end(), sixty.begin(), sixty.end());
    auto plus = [&good](uint8_t extra) { Bytes v(good); v.push_back(extra); return v; };
    const struct {
        const char* what;
        Bytes stream;
        size_t expected;
    } cases[] = {
        {"expecting one less", good, n - 1}, {"expecting two less", good, n - 2},
        {"expecting 40 less", good, n - 40}, {"expecting 1", good, 1},
        {"a zero after the end token", plus(0), n}, {"a one after it", plus(1), n}, {"255 after it", plus(255), n},
        {"offset one past the data", Stream().token(five, 4, 6).end().bytes, 9},
        {"offset with nothing written", Stream().token({}, 4, 1).end().bytes, 4},
        {"offset one past the data, later on", Stream().token(big, 4, 501).end(big).bytes, 1004},
        {"literal run longer than the stream", long_run, 100},
        {"literal run past the stream's end, output room for it", short_literals, 1000},
        {"match length near 2^32", huge, 250},
        {"match that would end inside the output's slack", Stream().token(five, 20, 1).end().bytes, 20},
    };
    for (const auto& c : cases)
        EXPECT_NE(decompress(c.stream, c.expected).result, c.expected) << c.what;
    EXPECT_EQ(decompress(Stream().token(big, 4, 500).end(big).bytes, 1004).result, 1004u);

    std::mt19937 rng(9);
    for (int i = 0; i < 3000; ++i) {
        Bytes stream = testing::random_data(rng() % 200, rng());
        for (auto& b : stream)
            if (rng() % 3 == 0)
                b &= 0x11;  // short codes and small offsets are more interesting
        decompress(stream, rng() % 400);
    }
}

struct Setting {
    int level, bits;
};
// Level 0 below and from 13 bits (without and with end insertion), and the
// multi-probe levels with small and default tables.
constexpr Setting SETTINGS[] = {{0, 10}, {0, 12}, {0, 13}, {0, 16}, {1, 10},
                                {1, 16}, {1, 20}, {2, 12}, {2, 18}, {2, 24}};

std::string name(const Setting& s) { return "level " + std::to_string(s.level) + " bits " + std::to_string(s.bits); }

// The whole stream each setting writes for known inputs, from its tokens
// (whose header bytes the decoder tests pin down). Data without a repeated
// 4-byte string is the end token alone, at level 9 too. A run of equal bytes
// is one literal and a match from distance 1 that stops where its extension
// reaches n - 32 (level 2 validates 6 bytes first, so its 8-byte steps end
// two bytes later); the rest is the end token's literals.
TEST(M1Compress, KnownStreams)
{
    const Bytes noise = testing::random_data(5000, 77);
    struct Case {
        std::string what;
        Bytes data;
        std::vector<Token> tokens, level2 = {};
    };
    std::vector<Case> cases = {
        {"ten zeros", Bytes(10, 0), {{1, 9, 1}, {0, 0, 0}}},
        {"ten a", Bytes(10, 'a'), {{1, 9, 1}, {0, 0, 0}}},
        {"a thousand x", Bytes(1000, 'x'), {{1, 972, 1}, {27, 0, 0}}, {{1, 974, 1}, {25, 0, 0}}},
    };
    for (size_t n : {1, 2, 3, 4, 14, 15, 254, 255, 300, 383, 5000})
        cases.push_back({"noise " + std::to_string(n), testing::slice(noise, 0, n), {{n, 0, 0}}});
    for (size_t n = 1; n <= 4; ++n)
        cases.push_back({"run " + std::to_string(n), Bytes(n, 'a'), {{n, 0, 0}}});
    auto stream_of = [](const Bytes& data, const std::vector<Token>& tokens) {
        Stream s;
        for (size_t at = 0; const Token& t : tokens) {
            s.token(testing::slice(data, at, t.literals), uint32_t(t.length), t.distance);
            at += t.literals + t.length;
        }
        return s.bytes;
    };
    for (const auto& c : cases) {
        for (const auto& s : SETTINGS)
            EXPECT_EQ(compress(c.data, s.level, s.bits).bytes,
                      stream_of(c.data, s.level == 2 && !c.level2.empty() ? c.level2 : c.tokens)) << c.what << ", " << name(s);
        if (c.tokens.size() == 1) {
            EXPECT_EQ(compress(c.data, 9, 16).bytes, stream_of(c.data, c.tokens)) << c.what << ", level 9";
        }
    }
}

// Every setting and level 9 leave a repeat beyond 65535 bytes as literals.
TEST(M1Compress, DistancesStopAt65535)
{
    const Bytes x = testing::random_data(2000, 5);
    std::vector<Setting> settings(std::begin(SETTINGS), std::end(SETTINGS));
    settings.push_back({9, 16});
    for (size_t distance : {65535, 65536, 65537}) {
        Bytes data = x;
        const Bytes filler = testing::random_data(distance - x.size(), 6);
        data.insert(data.end(), filler.begin(), filler.end());
        data.insert(data.end(), x.begin(), x.end());
        for (const auto& s : settings) {
            const auto c = compress(data, s.level, s.bits);
            if (distance > 65535) {
                EXPECT_GT(c.result, data.size()) << distance << ", " << name(s);
            } else if (s.bits >= 13) { // smaller tables forget the first copy
                EXPECT_LT(c.result, data.size() - 1900) << name(s);
            }
            EXPECT_TRUE(decodes(c.bytes, data)) << distance << ", " << name(s);
        }
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
            testing::round_trip(M1, s.level, s.bits, data, what);
    for (const auto& [what, data] : inputs) {
        const Bytes c = testing::round_trip(M1, 9, 16, data, what);
        if (what.rfind("text", 0) == 0) {
            EXPECT_LE(c.size(), compress(data, 2, 18).bytes.size()) << what;
        }
    }
    Bytes data = testing::text_data(4u << 20, 6);
    const Bytes noise = testing::random_data(1 << 20, 7);
    std::copy(noise.begin(), noise.end(), data.begin() + (1 << 20));
    testing::round_trip(M1, 0, 16, data, "4 MiB");
    data.insert(data.end(), data.begin(), data.begin() + (3 << 20));
    testing::round_trip(M1, 1, 20, data, "7 MiB");
    testing::round_trip(M1, 2, 24, data, "7 MiB");
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
        EXPECT_LE(c.result, compress_bound(d.size())) << run;
    }
    const Bytes worst = crafted(383);
    EXPECT_EQ(compress(worst, 0, 16).result, CODEC_FAIL);
    const auto c = compress(worst, 0, 16, int64_t(compress_capacity(uint32_t(worst.size()))));
    EXPECT_GE(*literal_runs(c.bytes).begin(), 383u);
    EXPECT_EQ(c.result, worst.size() + 1000 * 2 + 4); // two bytes per token, four for the end token
    EXPECT_TRUE(decodes(c.bytes, worst));
    // Any capacity short of the output is declined without a write past it.
    for (int64_t cap : {int64_t(c.result) - 1, int64_t(c.result) - 100, int64_t(10), int64_t(0)})
        EXPECT_EQ(compress(worst, 0, 16, cap).result, CODEC_FAIL) << cap;
    EXPECT_EQ(compress(worst, 0, 16, c.result).bytes, c.bytes);
}

TEST(M1Optimal, LongMatches)
{
    // A repeat of 513 bytes is one match; 512 bytes may be cut at any length
    // but the cheapest is still one match.
    for (size_t length : {512, 513, 1800}) {
        Bytes data = testing::random_data(2000, 1);
        const Bytes repeat(data.begin() + 100, data.begin() + 100 + long(length));
        data.insert(data.end(), repeat.begin(), repeat.end());
        const auto tokens = tokens_of(testing::round_trip(M1, 9, 16, data, "repeat"));
        ASSERT_EQ(tokens.size(), 2u) << length;
        EXPECT_EQ(tokens[0], (Token{2000, length, uint32_t(1900)})) << length;
    }
}

// Level 0 against a plain parser written straight from its rules: the fast
// loops (dense and thinned-out probing, skip marks, one-branch probes) must
// choose exactly the same tokens.
// One byte at a time, every rule spelled out; `in` has zeroed slack past n.
Bytes reference_level0(const Bytes& data, int bits)
{
    const uint32_t n = static_cast<uint32_t>(data.size());
    if (n == 0)
        return {};
    Bytes in(data);
    in.resize(n + 64, 0);
    Bytes out(n + n / 128 + 64);
    uint8_t* op = out.data();
    std::vector<uint32_t> table(size_t(1) << bits, 0);
    auto hash = [&](uint32_t p) {
        const uint32_t word = in[p] | in[p + 1] << 8 | in[p + 2] << 16 | uint32_t(in[p + 3]) << 24;
        return (word * 123456791u) >> (32 - bits);
    };
    auto token = [&](uint32_t from, uint32_t count, uint32_t length, uint32_t distance) {
        op = m1_put_header(op, count, length, distance);
        std::copy(in.begin() + from, in.begin() + from + count, op);
        op += count;
    };
    const int64_t limit = int64_t(n) - 32;
    uint32_t anchor = 0, ip = 1;
    uint32_t start = 0, length = 0, distance = 0; // the match in hand at the final phase
    for (;;) {
        bool matched = false;
        for (;;) {
            if (uint64_t(ip) + 4 > n)
                break;
            const uint32_t h = hash(ip), c = table[h];
            table[h] = ip;
            if (ip - c <= 65535 && std::equal(in.begin() + ip, in.begin() + ip + 4, in.begin() + c)) {
                matched = true;
                start = ip;
                distance = ip - c;
                break;
            }
            ++ip;
            const uint32_t gap = ip - anchor;
            if (gap >= 128) {
                ip += std::min(gap / 128 + 1, 16u);
                if (int64_t(ip) >= limit)
                    break;
            }
        }
        if (!matched)
            break;
        // Forward in groups of 8; a group that reaches the limit ends the search.
        length = 4;
        bool final_phase = false;
        for (;;) {
            uint32_t same = 0;
            while (same < 8 && in[ip + length + same] == in[ip - distance + length + same])
                ++same;
            if (same < 8) {
                length += same;
                final_phase = int64_t(ip) + length >= limit;
                break;
            }
            length += 8;
            if (int64_t(ip) + length >= limit) {
                final_phase = true;
                break;
            }
        }
        if (final_phase)
            break;
        while (start > anchor && start - distance > 0 && in[start - 1] == in[start - distance - 1]) {
            --start;
            ++length;
        }
        table[hash(ip + 1)] = ip + 1;
        table[hash(ip + 2)] = ip + 2;
        token(anchor, start - anchor, length, distance);
        anchor = ip = start + length;
        if (bits >= 13) {
            table[hash(ip - 1)] = ip - 1;
            table[hash(ip - 2)] = ip - 2;
        }
        length = 0;
    }
    if (length && start < n && std::min(length, n - start) >= 4) {
        length = std::min(length, n - start);
        token(anchor, start - anchor, length, distance);
        anchor = start + length;
    }
    token(anchor, n - anchor, 0, 0);
    out.resize(size_t(op - out.data()));
    return out;
}

TEST(M1Level0, SameTokensAsThePlainParser)
{
    std::mt19937 rng(11);
    auto inputs = testing::varied_inputs();
    // Incompressible stretches of every length through the skip marks (128
    // bytes apart, constant advance from 1920 on) between runs of words: where
    // the probes land in a stretch decides what the table holds and which
    // repeats are found.
    Bytes gaps;
    const std::string words[] = {"alpha ", "beta ", "gamma ", "delta ", "epsilon ", "zeta "};
    for (uint32_t gap = 100; gap < 2400; gap += 37) {
        for (int w = 0; w < 8; ++w) {
            const std::string& word = words[rng() % 6];
            gaps.insert(gaps.end(), word.begin(), word.end());
        }
        const Bytes noise = testing::random_data(gap, rng());
        gaps.insert(gaps.end(), noise.begin(), noise.end());
    }
    inputs.emplace_back("gaps", gaps);
    // Ends near the search limit and the last probe position.
    for (size_t n = 28; n <= 44; ++n) {
        Bytes tail = testing::text_data(n, uint32_t(n));
        tail.insert(tail.begin(), 200, 'x');
        inputs.emplace_back("tail " + std::to_string(n), tail);
    }

    for (int bits : {10, 12, 13, 16})
        for (const auto& [what, data] : inputs) {
            const auto c = compress(data, 0, bits);
            ASSERT_NE(c.result, CODEC_FAIL) << what << ", bits " << bits;
            EXPECT_TRUE(c.bytes == reference_level0(data, bits)) << what << ", bits " << bits;
        }
}

} // namespace
} // namespace qrn
