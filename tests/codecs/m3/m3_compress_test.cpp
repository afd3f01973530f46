// Method 3 compressors, levels 0-2: the streams they write for small known
// inputs, their match rules, segment flushing, and round trips.
#include "m3_support.h"

#include <algorithm>

#include "support/inputs.h"

namespace qrn {
namespace {

using namespace m3test;

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n)
{
    return {v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(from + n)};
}

bool contains(const std::vector<uint32_t>& v, uint32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

TEST(M3Compress, EmptyBlockAndUnusableHashBits)
{
    uint32_t r = 1;
    compress({}, 0, -1, &r);
    EXPECT_EQ(r, 0u);
    for (const auto& [level, bits] : {std::pair{0, 17}, {2, 40}}) {
        compress({1, 2, 3}, level, bits, &r);
        EXPECT_EQ(r, CODEC_FAIL) << level << " " << bits;
    }
}

TEST(M3Compress, TinyBlocksAreOneTokenAndTheEndMarker)
{
    for (int level = 0; level <= 2; ++level) {
        for (uint32_t size = 1; size <= 5; ++size) {
            const auto data = random_bytes(size, size);
            const auto block = compress(data, level);
            ASSERT_FALSE(block.empty());
            const StreamView lits = read_stream(block, M3_LITERALS);
            const StreamView tokens = read_stream(block, M3_TOKENS);
            const StreamView offsets = read_stream(block, M3_OFFSETS);
            EXPECT_EQ(lits.first_link, M3_LINK_TABLE_SIZE | M3_PARTIAL);  // the first segment written
            EXPECT_EQ(lits.symbols, data);
            EXPECT_EQ(tokens.symbols, (std::vector<uint8_t>{static_cast<uint8_t>(size << 5)}));
            EXPECT_EQ(stream_values(offsets), (std::vector<uint32_t>{M3_END_MARK}));
            // Unused streams keep zero link words; last segments zero next links.
            EXPECT_EQ(load_le32(block.data() + 4 * M3_RUN_EXT), 0u);
            EXPECT_EQ(load_le32(block.data() + 4 * M3_LENGTH_EXT), 0u);
            for (const StreamView* v : {&lits, &tokens, &offsets}) {
                ASSERT_EQ(v->segments.size(), 1u);
                EXPECT_EQ(v->segments[0].next_link, 0u);
                EXPECT_EQ(v->segments[0].count, v->symbols.size());
            }
        }
    }
}

TEST(M3Compress, RunWithoutRepeatsGoesRaw)
{
    const auto data = random_bytes(300, 21);
    for (int level = 0; level <= 2; ++level) {
        const auto block = compress(data, level);
        EXPECT_EQ(load_le32(block.data() + 4 * M3_LITERALS), 0u);  // no literal segment
        EXPECT_EQ(read_stream(block, M3_TOKENS).symbols, (std::vector<uint8_t>{0xE0}));
        const StreamView ext = read_stream(block, M3_RUN_EXT);
        EXPECT_EQ(ext.symbols, (std::vector<uint8_t>{49}));
        ASSERT_EQ(ext.segments.size(), 1u);
        EXPECT_EQ(ext.segments[0].raw, (std::vector<uint8_t>{0x28}));  // 293 & 31 = 00101
        EXPECT_EQ(stream_values(ext), (std::vector<uint32_t>{293}));
        ASSERT_GE(ext.raw_literals.size(), 300u);
        EXPECT_EQ(slice(ext.raw_literals, 0, 300), data);
        expect_round_trip(data, level);
    }
}

// R random literals, `length` bytes repeating them from distance R, then 64
// other random bytes (the first of them chosen to end the match).
std::vector<uint8_t> run_then_match(uint32_t run, uint32_t length, uint32_t seed)
{
    auto data = random_bytes(run, seed);
    for (uint32_t i = 0; i < length; ++i)
        data.push_back(data[data.size() - run]);
    auto tail = random_bytes(64, seed + 1);
    tail[0] = static_cast<uint8_t>(data[data.size() - run] ^ 1);
    return cat({data, tail});
}

TEST(M3Compress, LiteralRunsAroundTheRawThreshold)
{
    for (int level = 0; level <= 2; ++level) {
        for (uint32_t run : {7u, 256u, 257u}) {
            const auto data = run_then_match(run, 20, run);
            const auto block = compress(data, level);
            const uint32_t min = level == 2 ? 3 : 4;
            EXPECT_EQ(read_stream(block, M3_TOKENS).symbols,
                      (std::vector<uint8_t>{static_cast<uint8_t>(7 << 5 | (20 - min)), 7 << 5}))
                << run << " " << level;
            const StreamView ext = read_stream(block, M3_RUN_EXT);
            EXPECT_EQ(stream_values(ext), (std::vector<uint32_t>{run - 7, 64 - 7}));
            const StreamView lits = read_stream(block, M3_LITERALS);
            if (run <= 256) {
                EXPECT_EQ(lits.symbols, cat({slice(data, 0, run), slice(data, run + 20, 64)}));
            } else {
                EXPECT_EQ(lits.symbols, slice(data, run + 20, 64));
                EXPECT_EQ(slice(ext.raw_literals, 0, run), slice(data, 0, run));
            }
            expect_round_trip(data, level);
        }
    }
}

TEST(M3Compress, MatchLengthExtensionStartsAtMinimumPlus31)
{
    for (int level = 0; level <= 2; ++level) {
        const uint32_t min = level == 2 ? 3 : 4;
        for (uint32_t extra : {30u, 31u, 32u, 300u}) {
            const auto data = run_then_match(100, min + extra, 40 + extra);
            const auto block = compress(data, level);
            const auto tokens = read_stream(block, M3_TOKENS).symbols;
            ASSERT_EQ(tokens.size(), 2u);
            EXPECT_EQ(tokens[0], 7 << 5 | std::min(extra, 31u));
            const std::vector<uint32_t> ext = stream_values(read_stream(block, M3_LENGTH_EXT));
            if (extra < 31)
                EXPECT_TRUE(ext.empty());
            else
                EXPECT_EQ(ext, (std::vector<uint32_t>{extra - 31}));
            EXPECT_EQ(stream_values(read_stream(block, M3_OFFSETS)), (std::vector<uint32_t>{100 + 4, M3_END_MARK}));
            expect_round_trip(data, level);
        }
    }
}

// `pattern` at `a` and at `b`, each behind a run of a byte of its own (so
// that the parse lands exactly on it and the copies cannot be extended
// backwards), zeros between them, random bytes around.
std::vector<uint8_t> far_pair(size_t a, size_t b, const std::vector<uint8_t>& pattern)
{
    auto data = random_bytes(b + 200, 77);
    std::fill(data.begin() + static_cast<ptrdiff_t>(a - 64), data.begin() + static_cast<ptrdiff_t>(a), 0x00);
    std::fill(data.begin() + static_cast<ptrdiff_t>(a + pattern.size() + 1), data.begin() + static_cast<ptrdiff_t>(b - 64), 0x00);
    std::fill(data.begin() + static_cast<ptrdiff_t>(b - 64), data.begin() + static_cast<ptrdiff_t>(b), 0xFF);
    std::copy(pattern.begin(), pattern.end(), data.begin() + static_cast<ptrdiff_t>(a));
    std::copy(pattern.begin(), pattern.end(), data.begin() + static_cast<ptrdiff_t>(b));
    data[a + pattern.size()] = 0x11;
    data[b + pattern.size()] = 0x22;
    return data;
}

TEST(M3Compress, LengthDistanceLimit)
{
    const size_t a = 1000, b = a + 600 * 1024;
    for (int level = 0; level <= 2; ++level) {
        // A 4-byte match 600 KiB back is refused (limit 512 KiB); 5 bytes pass.
        const auto four = far_pair(a, b, {'W', 'X', 'Y', 'Z'});
        const auto five = far_pair(a, b, {'V', 'W', 'X', 'Y', 'Z'});
        const auto block4 = compress(four, level);
        const auto block5 = compress(five, level);
        EXPECT_FALSE(contains(stream_values(read_stream(block4, M3_OFFSETS)), b - a + 4)) << level;
        EXPECT_TRUE(contains(stream_values(read_stream(block5, M3_OFFSETS)), b - a + 4)) << level;
        expect_round_trip(four, level);
        expect_round_trip(five, level);
    }
}

TEST(M3Compress, GapScanFindsNearThreeByteMatches)
{
    // Level 2 looks for 3-byte matches (distance below 3072) and longer ones
    // in the literals before a match; 4 bytes may reach 512 KiB.
    for (size_t dist : {2000u, 3071u, 3072u, 5000u}) {
        for (size_t len : {3u, 4u}) {
            auto data = random_bytes(12000, 5);
            const size_t at = 1000;
            std::copy(data.begin() + at, data.begin() + static_cast<ptrdiff_t>(at + len),
                      data.begin() + static_cast<ptrdiff_t>(at + dist));
            data[at + dist + len] = static_cast<uint8_t>(data[at + len] ^ 1);
            data[at + dist - 1] = static_cast<uint8_t>(data[at - 1] ^ 1);
            // A long match at the end makes the literals before it scanned.
            std::copy(data.begin() + 10, data.begin() + 70, data.begin() + 11000);
            const auto values = stream_values(read_stream(compress(data, 2), M3_OFFSETS));
            EXPECT_EQ(contains(values, static_cast<uint32_t>(dist + 4)), len == 4 || dist < 3072) << dist << " " << len;
            EXPECT_TRUE(contains(values, 10990 + 4));
            expect_round_trip(data, 2);
        }
    }
}

TEST(M3Compress, FullSegmentThenPartial)
{
    // About 11 MB of short literal runs between matches: more literals than a
    // literal segment holds (8386560).
    std::vector<uint8_t> data;
    std::mt19937 rng(8);
    const auto phrase = random_bytes(40, 99);
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
    std::vector<uint8_t> back;
    ASSERT_EQ(decompress(block, 0, static_cast<uint32_t>(data.size()), &back), data.size());
    EXPECT_TRUE(back == data);
}

TEST(M3Compress, OutputDoesNotDependOnTheBufferContents)
{
    std::vector<uint8_t> data = random_bytes(5000, 1);
    std::copy(data.begin(), data.begin() + 2000, data.begin() + 3000);
    for (int level = 0; level <= 2; ++level) {
        uint32_t r1 = 0, r2 = 0;
        EXPECT_EQ(compress(data, level, -1, &r1, 0x00), compress(data, level, -1, &r2, 0xA5));
        EXPECT_LT(r1, 5000u);
    }
}

TEST(M3Optimal, PriceTable)
{
    m3_prepare_level9();
    const std::pair<uint32_t, uint16_t> spots[] = {{0, 0}, {1, 0}, {2, 1024}, {3, 1623}, {8, 3071}, {1024, 10240}, {2048, 11264}};
    for (const auto& [i, v] : spots)
        EXPECT_EQ(m3_price_table[i], v) << i;
}

// Level 9 (minimum match 2, runs beyond 512 stored raw) on the shapes whose
// coding the format fixes.
TEST(M3Optimal, RunsLengthsAndRepeats)
{
    // One repeated byte: a literal, then one repeat of distance 1 to the end,
    // taken at its full length (the four repeat distances all start at 1;
    // equal prices go to the last repeat tried).
    {
        const std::vector<uint8_t> data(5000, 'q');
        const auto block = compress(data, 9);
        EXPECT_EQ(read_stream(block, M3_LITERALS).symbols, (std::vector<uint8_t>{'q'}));
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

} // namespace
} // namespace qrn
