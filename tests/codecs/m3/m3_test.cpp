// Method 3: the streams the compressors write for known inputs (read apart
// here from the format), their match rules and segment flushing; the
// decoder on blocks built through the stream writers, on damaged ones, and on
// round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ans/ans.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m3/m3.h"
#include "codecs/m3/m3_format.h"
#include "codecs/m3/m3_writer.h"
#include "common/bytes.h"
#include "support/codec_run.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using testing::Bytes;
using testing::random_data;
using testing::default_bits;

const testing::Codec M3{3, m3_compress, m3_decompress};

Bytes compress(const Bytes& data, int level)
{
    return testing::codec_compress(M3, level, default_bits(level), data).bytes;
}
testing::Coded decompress(const Bytes& block, int level, uint32_t size)
{
    return testing::codec_decode(M3, level, block, size);
}
void expect_round_trip(const Bytes& data, int level, int bits = -1)
{
    testing::round_trip(M3, level, bits < 0 ? default_bits(level) : bits, data, "size " + std::to_string(data.size()));
}

struct Segment {
    uint32_t offset;
    bool partial;
    uint32_t count;
    uint32_t next_link;        // the segment's next-link slot as written
    Bytes raw;  // raw bit field
};

// One stream of a block read apart: its segments and all its symbols.
struct StreamView {
    uint32_t first_link = 0;
    std::vector<Segment> segments;
    Bytes symbols;
    Bytes raw_literals;  // literal-run extension: from the last segment's raw runs to the block end
};

StreamView read_stream(const Bytes& block, int k)
{
    StreamView v;
    v.first_link = load_le32(block.data() + 4 * k);
    uint32_t link = v.first_link;
    while (link != 0) {
        Segment s;
        s.offset = link & ~M3_PARTIAL;
        s.partial = (link & M3_PARTIAL) != 0;
        s.next_link = load_le32(block.data() + s.offset);
        const uint8_t* p = block.data() + s.offset + 4;
        s.count = M3_SHAPE[k].capacity;
        if (s.partial)
            p = prefix_varint_get(p, &s.count);
        const uint8_t* ans = p + 4 * M3_SHAPE[k].fields;
        const uint8_t* raw_lits = nullptr;
        if (M3_SHAPE[k].fields != 0) {
            const uint8_t* last = p + 4 * (M3_SHAPE[k].fields - 1);
            s.raw.assign(ans, last + load_le32(last));
            ans = last + load_le32(last);
            if (k == M3_RUN_EXT)
                raw_lits = p + load_le32(p);
        }
        AnscContext ctx;
        const uint8_t* end = block.data() + block.size();
        EXPECT_TRUE(ansc_read_header(ctx, &ans, end));
        const size_t at = v.symbols.size();
        v.symbols.resize(at + s.count);
        for (uint32_t done = 0; done < s.count; done += M3_SHAPE[k].chunk) {
            const uint32_t n = std::min(M3_SHAPE[k].chunk, s.count - done);
            ans = ansc_decode_scalar(ctx, ans, end, n, v.symbols.data() + at + done);
            if (ans == nullptr) {
                ADD_FAILURE() << "damaged stream " << k;
                return v;
            }
        }
        if (raw_lits) {
            EXPECT_EQ(raw_lits, ans);  // raw literal runs follow the ANS segment directly
            v.raw_literals.assign(raw_lits, block.data() + block.size());
        }
        v.segments.push_back(s);
        link = s.next_link;
    }
    return v;
}

// The values of an extension or offset stream: bucket symbols with their
// extra bits from each segment's raw field.
std::vector<uint32_t> stream_values(const StreamView& v)
{
    std::vector<uint32_t> out;
    size_t at = 0;
    for (const Segment& s : v.segments) {
        size_t bit = 0;
        auto take = [&](uint32_t k) {
            uint32_t x = 0;
            for (uint32_t i = 0; i < k; ++i, ++bit) {
                const uint8_t byte = bit / 8 < s.raw.size() ? s.raw[bit / 8] : 0;
                x = x << 1 | ((byte >> (7 - bit % 8)) & 1);
            }
            return x;
        };
        for (uint32_t i = 0; i < s.count; ++i) {
            const uint32_t b = v.symbols[at++];
            if (b < 16) {
                out.push_back(b);
                continue;
            }
            const uint32_t k = (b >> 3) - 1;
            out.push_back(((8 + (b & 7)) << k) + take(k));
        }
        EXPECT_EQ((bit + 7) / 8, s.raw.size());  // the field ends at the byte after its last bit
    }
    return out;
}

// The streams of a block as the format fixes them for shaped inputs. Up to
// 5 random bytes: one token and the end marker, literals in the literal
// stream. 300: no literal segment, a token with a raw run of 300 (extension
// value 293: bucket 49, extra bits 00101). Then runs around the raw threshold
// (over 256 go raw) and match lengths around the extension's start (minimum
// + 31): `run` random literals, a match of minimum + `extra` bytes from
// distance `run`, then 64 other random bytes (the first ends the match).
// Every stream written is one segment with a zero next link, unused streams
// keep zero link words.
TEST(M3Compress, StreamsOfShapedBlocks)
{
    struct Case {
        Bytes data, tokens;
        std::vector<uint32_t> runs, lengths, offsets;
        Bytes lits, raw;
    };
    for (int level = 0; level <= 2; ++level) {
        std::vector<Case> cases;
        for (uint32_t size = 1; size <= 5; ++size) {
            const Bytes data = random_data(size, size);
            cases.push_back({data, {uint8_t(size << 5)}, {}, {}, {M3_END_MARK}, data, {}});
        }
        const Bytes noise = random_data(300, 21);
        cases.push_back({noise, {0xE0}, {293}, {}, {M3_END_MARK}, {}, noise});
        const uint32_t min = level == 2 ? 3 : 4;
        for (const auto& [run, extra] : {std::pair{7u, 16u}, {256u, 16u}, {257u, 16u}, {100u, 30u}, {100u, 31u},
                                         {100u, 32u}, {100u, 300u}}) {
            Bytes data = random_data(run, run + extra);
            for (uint32_t i = 0; i < min + extra; ++i)
                data.push_back(data[data.size() - run]);
            Bytes tail = random_data(64, run + extra + 1);
            tail[0] = uint8_t(data[data.size() - run] ^ 1);
            data.insert(data.end(), tail.begin(), tail.end());
            Bytes lits = testing::slice(data, 0, run), raw;  // in the literal stream, or raw
            if (run > 256)
                raw.swap(lits);
            lits.insert(lits.end(), tail.begin(), tail.end());
            cases.push_back({data, {uint8_t(7 << 5 | std::min(extra, 31u)), 7 << 5}, {run - 7, 64 - 7},
                             extra < 31 ? std::vector<uint32_t>{} : std::vector<uint32_t>{extra - 31},
                             {run + 4, M3_END_MARK}, lits, raw});
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "level " << level << " size " << c.data.size());
            const Bytes block = compress(c.data, level);
            ASSERT_FALSE(block.empty());
            const StreamView lits = read_stream(block, M3_LITERALS), tokens = read_stream(block, M3_TOKENS),
                             runs = read_stream(block, M3_RUN_EXT), lengths = read_stream(block, M3_LENGTH_EXT),
                             offsets = read_stream(block, M3_OFFSETS);
            EXPECT_EQ(lits.symbols, c.lits);
            EXPECT_EQ(lits.first_link, c.lits.empty() ? 0 : M3_LINK_TABLE_SIZE | M3_PARTIAL);  // the first segment written
            EXPECT_EQ(tokens.symbols, c.tokens);
            EXPECT_EQ(stream_values(runs), c.runs);
            EXPECT_EQ(stream_values(lengths), c.lengths);
            EXPECT_EQ(stream_values(offsets), c.offsets);
            EXPECT_EQ(testing::slice(runs.raw_literals, 0, std::min(c.raw.size(), runs.raw_literals.size())), c.raw);
            for (const StreamView* v : {&lits, &tokens, &runs, &lengths, &offsets}) {
                EXPECT_EQ(v->segments.size(), v->symbols.empty() ? 0u : 1u);
                if (!v->segments.empty()) {
                    EXPECT_EQ(v->segments[0].next_link, 0u);
                    EXPECT_EQ(v->segments[0].count, v->symbols.size());
                }
            }
            expect_round_trip(c.data, level);
        }
    }
}

// `pattern` at `a` and at `b`, each behind a run of a byte of its own (so
// that the parse lands exactly on it and the copies cannot be extended
// backwards), zeros between them, random bytes around.
Bytes far_pair(size_t a, size_t b, const Bytes& pattern)
{
    auto data = random_data(b + 200, 77);
    std::fill(data.begin() + ptrdiff_t(a - 64), data.begin() + ptrdiff_t(a), 0x00);
    std::fill(data.begin() + ptrdiff_t(a + pattern.size() + 1), data.begin() + ptrdiff_t(b - 64), 0x00);
    std::fill(data.begin() + ptrdiff_t(b - 64), data.begin() + ptrdiff_t(b), 0xFF);
    std::copy(pattern.begin(), pattern.end(), data.begin() + ptrdiff_t(a));
    std::copy(pattern.begin(), pattern.end(), data.begin() + ptrdiff_t(b));
    data[a + pattern.size()] = 0x11;
    data[b + pattern.size()] = 0x22;
    return data;
}

// Random bytes with `len` of them at 1000 repeated `dist` later (and not
// extendable either way), and a long match at the end that makes level 2
// scan the literals before it.
Bytes gap_case(size_t dist, size_t len)
{
    auto data = random_data(12000, 5);
    const size_t at = 1000;
    std::copy(data.begin() + at, data.begin() + ptrdiff_t(at + len), data.begin() + ptrdiff_t(at + dist));
    data[at + dist + len] = static_cast<uint8_t>(data[at + len] ^ 1);
    data[at + dist - 1] = static_cast<uint8_t>(data[at - 1] ^ 1);
    std::copy(data.begin() + 10, data.begin() + 70, data.begin() + 11000);
    return data;
}

// Which matches each level takes by length and distance: 4 bytes may not
// reach 600 KiB back (the limit is 512 KiB), 5 may; level 2 also looks for
// 3-byte matches below distance 3072 in the literals before a match.
TEST(M3Compress, MatchLengthAgainstDistance)
{
    const size_t a = 1000, b = a + 600 * 1024;
    const Bytes four = far_pair(a, b, {'W', 'X', 'Y', 'Z'}), five = far_pair(a, b, {'V', 'W', 'X', 'Y', 'Z'});
    struct Case {
        int level;
        const Bytes* data;
        uint32_t offset;  // an offset value (distance + 4) ...
        bool taken;       // ... present or not
    };
    std::vector<Case> cases;
    for (int level = 0; level <= 2; ++level)
        cases.insert(cases.end(), {{level, &four, b - a + 4, false}, {level, &five, b - a + 4, true}});
    std::vector<Bytes> gaps;
    gaps.reserve(8);
    for (size_t dist : {2000u, 3071u, 3072u, 5000u})
        for (size_t len : {3u, 4u}) {
            gaps.push_back(gap_case(dist, len));
            cases.insert(cases.end(), {{2, &gaps.back(), uint32_t(dist + 4), len == 4 || dist < 3072},
                                       {2, &gaps.back(), 10990 + 4, true}});
        }
    for (const Case& c : cases) {
        const auto offsets = stream_values(read_stream(compress(*c.data, c.level), M3_OFFSETS));
        EXPECT_EQ(std::find(offsets.begin(), offsets.end(), c.offset) != offsets.end(), c.taken)
            << "level " << c.level << " offset " << c.offset << " size " << c.data->size();
        expect_round_trip(*c.data, c.level);
    }
}

TEST(M3Compress, FullSegmentThenPartial)
{
    // About 11 MB of short literal runs between matches: more literals than a
    // literal segment holds (8386560).
    Bytes data;
    std::mt19937 rng(8);
    const auto phrase = random_data(40, 99);
    while (data.size() < 11'000'000) {
        for (int i = 0; i < 200; ++i)
            data.push_back(static_cast<uint8_t>(rng()));
        data.insert(data.end(), phrase.begin(), phrase.end());
    }
    const auto block = compress(data, 0);
    const StreamView lits = read_stream(block, M3_LITERALS);
    ASSERT_EQ(lits.segments.size(), 2u);
    EXPECT_FALSE(lits.segments[0].partial);
    EXPECT_EQ(lits.segments[0].count, M3_SHAPE[M3_LITERALS].capacity);
    EXPECT_EQ(lits.segments[0].next_link, lits.segments[1].offset | M3_PARTIAL);
    EXPECT_TRUE(lits.segments[1].partial);
    EXPECT_EQ(lits.segments[1].next_link, 0u);
    EXPECT_GT(lits.segments[1].count, 0u);
    EXPECT_TRUE(testing::decodes_to(M3, 0, block, data));
}

// Level 9 (minimum match 2, runs beyond 512 stored raw) on the shapes whose
// coding the format fixes.
TEST(M3Optimal, RunsLengthsAndRepeats)
{
    // One repeated byte: a literal, then one repeat of distance 1 to the end,
    // taken at its full length (the four repeat distances all start at 1;
    // equal prices go to the last repeat tried).
    {
        const Bytes data(5000, 'q');
        const auto block = compress(data, 9);
        EXPECT_EQ(read_stream(block, M3_LITERALS).symbols, (Bytes{'q'}));
        EXPECT_EQ(stream_values(read_stream(block, M3_OFFSETS)), (std::vector<uint32_t>{3, M3_END_MARK}));
        expect_round_trip(data, 9);
    }
    // Runs of 7, 512 and 513 literals before a match: extension values from
    // 0, and only the longest stored raw.
    for (uint32_t run : {7u, 512u, 513u}) {
        const auto data = testing::fresh_run_then_match(run, 40, run);
        const auto block = compress(data, 9);
        EXPECT_EQ(stream_values(read_stream(block, M3_RUN_EXT))[0], run - 7) << run;
        EXPECT_EQ(read_stream(block, M3_LITERALS).symbols.size() < run, run > 512) << run;
        expect_round_trip(data, 9);
    }
    // Match lengths from minimum 2 + 31 on carry an extension (value length
    // - 33); 32 does not. (A 33-byte match is written as 32 and a literal:
    // the extension value costs more than the literal.)
    for (uint32_t length : {32u, 40u}) {
        const auto block = compress(testing::fresh_run_then_match(100, length, length), 9);
        const auto tokens = read_stream(block, M3_TOKENS).symbols;
        ASSERT_EQ(tokens.size(), 2u) << length;
        EXPECT_EQ(tokens[0] & 31u, std::min(length - 2, 31u));
        EXPECT_EQ(stream_values(read_stream(block, M3_LENGTH_EXT)),
                  length > 32 ? std::vector<uint32_t>{length - 33} : std::vector<uint32_t>{});
    }
    // Distance 12 is offset value 16: bucket 16 and one extra bit.
    const auto data = testing::fresh_run_then_match(12, 30, 5);
    EXPECT_EQ(stream_values(read_stream(compress(data, 9), M3_OFFSETS))[0], 16u);
    expect_round_trip(data, 9);
}

TEST(M3RoundTrip, VariedInputsAtEveryLevelAndTableSize)
{
    const auto inputs = testing::varied_inputs();
    const std::pair<int, int> settings[] = {{0, -1}, {1, -1}, {2, -1}, {0, 10}, {0, 12}, {1, 10},
                                            {1, 24}, {2, 10}, {2, 16}, {7, 12}, {9, 0}};
    for (const auto& [level, bits] : settings)
        for (size_t i = 0; i < inputs.size(); i += bits < 0 ? 1 : 3)
            expect_round_trip(inputs[i].second, level, bits);
}

// Values below 16 are their own symbol; from 16 on, symbol b stands for
// ((8 + (b & 7)) << k) + extra, with k = (b >> 3) - 1 extra bits.
TEST(M3Bucket, SymbolsAndExtraBits)
{
    const uint32_t cases[][3] = {{0, 0, 0},     {15, 15, 0},  {16, 16, 1},          {17, 16, 1},
                                 {100, 36, 3},  {293, 49, 5}, {0x80000003u, 232, 28}, {0xFFFFFFFFu, 239, 28}};
    for (const auto& [v, symbol, bits] : cases) {
        EXPECT_EQ(m3_bucket_symbol(v), symbol) << v;
        EXPECT_EQ(m3_bucket_extra_bits(v), bits) << v;
    }
}

// Builds a block from explicit sequences through the stream writers.
struct Crafted {
    Bytes source;  // where the literals come from
    Bytes out;
    M3Writers w;
    explicit Crafted(Bytes src, int level = 2) : source(std::move(src))
    {
        const auto n = uint32_t(source.size());
        source.resize(n + BUFFER_SLACK);
        out.assign(compress_capacity(n) + BUFFER_SLACK, 0xAA);
        EXPECT_TRUE(m3w_open(w, {3, uint8_t(level), 0, source.data(), n, out.data(), uint32_t(compress_capacity(n))}));
    }
    Bytes finish(uint32_t run_start, uint32_t run_length)
    {
        const uint32_t size = m3w_finish(w, run_start, run_length);
        m3w_close(w);
        EXPECT_NE(size, CODEC_FAIL);
        out.resize(size);
        return out;
    }
};

// Sequences through the writers against a model of the decoder: first a
// hand-worked series of repeat codes, then many random ones: plain ones,
// every repeat code right after runs of plain ones (the recent distances must
// follow whichever path read them), runs and lengths with extension values,
// raw runs, and distances of every size class, enough for the token and
// literal streams to cross their chunk boundaries.
TEST(M3Decode, SequencesAgainstAModel)
{
    for (int level : {0, 2}) {
        std::mt19937 rng(static_cast<uint32_t>(21 + level));
        // The writers take literal runs from their input, at most once each.
        const Bytes src = random_data(2000000, 5);
        Crafted c(src, level);
        const uint32_t min = level == 0 ? 4 : 3;
        Bytes expect;
        uint32_t rep[4] = {1, 1, 1, 1}, src_pos = 0;
        // Writes one sequence; returns the distance the model gives its value.
        auto sequence = [&](uint32_t run, uint32_t length, uint32_t value) {
            expect.insert(expect.end(), src.begin() + src_pos, src.begin() + src_pos + run);
            const uint32_t dist = value < M3_REPEATS ? rep[value] : value - M3_REPEATS;
            if (value == 1) {
                std::swap(rep[0], rep[1]);
            } else if (value != 0) {
                for (uint32_t k = std::min(value, 3u); k > 0; --k)
                    rep[k] = rep[k - 1];
                rep[0] = dist;
            }
            for (uint32_t j = 0; j < length; ++j)
                expect.push_back(expect[expect.size() - dist]);
            m3w_sequence(c.w, src_pos, run, length, value);
            src_pos += run;
            return dist;
        };
        // Length beyond the minimum, value written, distance meant; the
        // recent distances after it, front first.
        const uint32_t worked[][3] = {
            {1, 5 + M3_REPEATS, 5},  // 5, 1, 1, 1
            {0, 9 + M3_REPEATS, 9},  // 9, 5, 1, 1
            {2, 1, 5},               // rep1 = 5 swaps: 5, 9, 1, 1
            {0, 0, 5},               // rep0 = 5 keeps them
            {1, 2, 1},               // rep2 = 1 to the front: 1, 5, 9, 1
            {0, 3, 1},               // rep3 = 1 to the front: 1, 1, 5, 9
            {0, 3, 9},               // rep3 = 9 to the front: 9, 1, 1, 5
        };
        for (uint32_t run = 10; const auto& [extra, value, dist] : worked) {
            ASSERT_EQ(sequence(run, min + extra, value), dist) << level;
            run = 0;
        }
        for (int i = 0; i < 30000; ++i) {
            const uint32_t r = static_cast<uint32_t>(rng() % 100);
            const uint32_t run = r < 50 ? rng() % 7 : r < 80 ? 7 + rng() % 10 : r < 97 ? rng() % 257 : 257 + rng() % 300;
            const uint32_t length = min + (rng() % 4 == 0 ? rng() % 200 : rng() % 31);
            const uint32_t most = static_cast<uint32_t>(expect.size()) + run;
            uint32_t value = static_cast<uint32_t>(rng() % 10);
            if (value >= M3_REPEATS) {
                const uint32_t classes[] = {static_cast<uint32_t>(1 + rng() % 15), static_cast<uint32_t>(16 + rng() % 16),
                                            static_cast<uint32_t>(32 + rng() % 4096), static_cast<uint32_t>(1 + rng() % most)};
                value = std::min(classes[rng() % 4], most) + M3_REPEATS;
            }
            sequence(run, length, value);
        }
        expect.insert(expect.end(), src.begin() + src_pos, src.begin() + src_pos + 9);
        EXPECT_TRUE(testing::decodes_to(M3, level, c.finish(src_pos, 9), expect)) << level;
    }
}

TEST(M3Decode, MinimumMatchByLevelAndRunThresholds)
{
    // The same sequences decode one byte longer per match at levels 0 and 1
    // (minimum 4) than at level 2 (3) and one shorter at level 9 (2).
    Bytes src = random_data(2000, 3);
    Crafted c(src, 2);
    m3w_sequence(c.w, 0, 300, 3, 1 + M3_REPEATS);  // raw run of 300 at levels 0-2
    const auto block = c.finish(300, 5);
    for (const auto& [level, size] : {std::pair{2, 308u}, {0, 309u}, {1, 309u}, {7, 308u}})
        EXPECT_EQ(decompress(block, level, size).result, size) << level;
    // Level 9 takes a run of 300 from the literal stream, which is empty.
    EXPECT_NE(decompress(block, 9, 307).result, 307u);
}

// Compressor blocks cut, flipped or read for the wrong size; links and
// counts that could send the reader round or out of the block, and sequences
// that reach before the output or past the block.
TEST(M3Decode, DamageIsReported)
{
    Bytes data;
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; ++i) {
        const int r = static_cast<int>(rng() % 10);
        if (r < 3 || data.size() < 100) {
            for (int j = 0; j < 1 + r * 40; ++j)
                data.push_back(static_cast<uint8_t>(rng() % 64));
        } else {
            const size_t len = 3 + rng() % 80, dist = 1 + rng() % std::min<size_t>(data.size(), 5000);
            for (size_t j = 0; j < len; ++j)
                data.push_back(data[data.size() - dist]);
        }
    }
    const auto sample = compress(data, 2);
    const auto n = uint32_t(data.size());
    ASSERT_TRUE(testing::decodes_to(M3, 2, sample, data));
    testing::expect_cuts_refused(M3, 2, testing::slice(sample, 0, 64), n);  // every cut in the link table and first headers
    testing::expect_cuts_refused(M3, 2, sample, n, 97);
    EXPECT_NE(decompress(sample, 2, n - 1).result, n - 1);
    EXPECT_EQ(decompress(sample, 2, n + 1).result, n);
    testing::decode_flipped(M3, 2, sample, n, 2000, 2);

    // A block whose token stream is one partial segment of 11 tokens (its
    // count one byte, 22).
    Crafted c(random_data(2000, 4), 2);
    for (int i = 0; i < 10; ++i)
        m3w_sequence(c.w, 0, 100, 3, 50 + M3_REPEATS);
    const Bytes good = c.finish(0, 0);
    const uint32_t size = 10 * 103;
    ASSERT_EQ(decompress(good, 2, size).result, size);
    const StreamView tokens = read_stream(good, M3_TOKENS);
    ASSERT_EQ(tokens.segments.size(), 1u);
    const uint32_t at = tokens.segments[0].offset;
    ASSERT_EQ(good[at + 4], 22);

    std::vector<std::pair<std::string, Bytes>> bad;
    for (uint32_t target : {0u, 8u, 19u}) {
        bad.push_back({"first link into the link table at " + std::to_string(target), good});
        store_le32(bad.back().second.data() + 4 * M3_TOKENS, target | M3_PARTIAL);
    }
    for (uint32_t next : {at | M3_PARTIAL, at, 0u}) {
        bad.push_back({"segment cut to 5 tokens, next link " + std::to_string(next), good});
        bad.back().second[at + 4] = 10;
        store_le32(bad.back().second.data() + at, next);
    }
    bad.push_back({"partial segment of no symbols", good});
    bad.back().second[at + 4] = 0;
    for (const auto& [what, block] : bad)
        EXPECT_EQ(decompress(block, 2, size).result, CODEC_FAIL) << what;

    Crafted before({'x', 'y'});
    m3w_sequence(before.w, 0, 2, 3, 3 + M3_REPEATS);  // distance 3 with 2 bytes out
    EXPECT_EQ(decompress(before.finish(0, 0), 2, 5).result, CODEC_FAIL);
    Crafted rep({'x'});
    m3w_sequence(rep.w, 0, 0, 3, 0);  // rep0 = 1 with nothing out yet
    EXPECT_EQ(decompress(rep.finish(0, 1), 2, 4).result, CODEC_FAIL);
    Crafted run(random_data(50, 9));  // a run longer than the block
    const Bytes run_block = run.finish(0, 50);
    EXPECT_EQ(decompress(run_block, 2, 50).result, 50u);
    EXPECT_EQ(decompress(run_block, 2, 49).result, CODEC_FAIL);
}

} // namespace
} // namespace qrn
