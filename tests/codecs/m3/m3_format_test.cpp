// Method 3 format: bucket codes, stream writers, and the decoder on crafted
// and damaged blocks.
#include "m3_support.h"

#include "codecs/m3/m3_writer.h"

namespace qrn {
namespace {

using namespace m3test;

TEST(M3Bucket, SymbolsAndExtraBits)
{
    EXPECT_EQ(m3_bucket_symbol(0), 0u);
    EXPECT_EQ(m3_bucket_symbol(15), 15u);
    EXPECT_EQ(m3_bucket_extra_bits(15), 0u);
    EXPECT_EQ(m3_bucket_symbol(16), 16u);
    EXPECT_EQ(m3_bucket_symbol(17), 16u);
    EXPECT_EQ(m3_bucket_extra_bits(17), 1u);
    EXPECT_EQ(m3_bucket_symbol(100), 36u);  // 8 * 6 + 4 - 16, extra bits 100 (binary)
    EXPECT_EQ(m3_bucket_extra_bits(100), 3u);
    EXPECT_EQ(m3_bucket_symbol(293), 49u);
    EXPECT_EQ(m3_bucket_symbol(0x80000003u), 8 * 31 - 16u);
    EXPECT_EQ(m3_bucket_extra_bits(0xFFFFFFFFu), 28u);
    // Decoding b >= 16: ((8 + (b & 7)) << k) + extra, k = (b >> 3) - 1.
    for (uint32_t v : {16u, 23u, 24u, 31u, 32u, 1000u, 65535u, 1u << 20, 0x7FFFFFFFu}) {
        const uint32_t b = m3_bucket_symbol(v);
        const uint32_t k = (b >> 3) - 1;
        ASSERT_EQ(k, m3_bucket_extra_bits(v)) << v;
        ASSERT_EQ((uint64_t{8 + (b & 7)} << k) + (v & ((1u << k) - 1)), v) << v;
    }
}

// Builds a block from explicit sequences through the stream writers.
struct Crafted {
    std::vector<uint8_t> source;  // where the literals come from
    std::vector<uint8_t> out;
    M3Writers w;
    explicit Crafted(std::vector<uint8_t> src, int level = 2) : source(std::move(src))
    {
        source.resize(source.size() + BUFFER_SLACK);
        out.assign(compress_capacity(static_cast<uint32_t>(source.size())) + BUFFER_SLACK, 0xAA);
        BlockCall job{};
        job.level = static_cast<uint8_t>(level);
        job.in = source.data();
        job.in_size = static_cast<uint32_t>(source.size() - BUFFER_SLACK);
        job.out = out.data();
        job.out_limit = static_cast<uint32_t>(out.size() - BUFFER_SLACK);
        EXPECT_TRUE(m3w_open(w, job));
    }
    std::vector<uint8_t> finish(uint32_t run_start, uint32_t run_length)
    {
        const uint32_t size = m3w_finish(w, run_start, run_length);
        m3w_close(w);
        EXPECT_NE(size, CODEC_FAIL);
        out.resize(size);
        return out;
    }
};

TEST(M3Decode, RepeatDistances)
{
    const std::vector<uint8_t> text = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    Crafted c(text);
    std::vector<uint8_t> expect(text);
    // Length, value written, distance meant.
    const uint32_t sequences[][3] = {
        {4, 5 + M3_REPEATS, 5},  // rep: 5, 1, 1, 1
        {3, 9 + M3_REPEATS, 9},  // 9, 5, 1, 1
        {5, 1, 5},               // rep1 = 5; now 5, 9, 1, 1
        {3, 0, 5},               // rep0 = 5
        {4, 2, 1},               // rep2 = 1 to the front: 1, 5, 9, 1
        {3, 3, 1},               // rep3 = 1 to the front: 1, 1, 5, 9
        {3, 3, 9},               // rep3 = 9 to the front: 9, 1, 1, 5
    };
    uint32_t run = 10;  // the first sequence brings the text as its literals
    for (const auto& [length, value, dist] : sequences) {
        m3w_sequence(c.w, 0, run, length, value);
        run = 0;
        for (size_t i = 0; i < length; ++i)
            expect.push_back(expect[expect.size() - dist]);
    }
    const auto block = c.finish(0, 2);
    expect.push_back('a');
    expect.push_back('b');
    std::vector<uint8_t> back;
    ASSERT_EQ(decompress(block, 2, static_cast<uint32_t>(expect.size()), &back), expect.size());
    EXPECT_EQ(back, expect);
}

// Many random sequences through the writers, against a model of the
// decoder: plain ones, every repeat code right after runs of plain ones (the
// recent distances must follow whichever path read them), runs and lengths
// with extension values, raw runs, and distances of every size class, enough
// for the token and literal streams to cross their chunk boundaries.
TEST(M3Decode, RandomSequencesAgainstAModel)
{
    for (int level : {0, 2}) {
        std::mt19937 rng(static_cast<uint32_t>(21 + level));
        // The writers take literal runs from their input, at most once each.
        const std::vector<uint8_t> src = random_bytes(2000000, 5);
        Crafted c(src, level);
        const uint32_t min = level == 0 ? 4 : 3;
        std::vector<uint8_t> expect;
        uint32_t rep[4] = {1, 1, 1, 1};
        uint32_t src_pos = 0;
        for (int i = 0; i < 30000; ++i) {
            const uint32_t r = static_cast<uint32_t>(rng() % 100);
            const uint32_t run = r < 50 ? rng() % 7 : r < 80 ? 7 + rng() % 10 : r < 97 ? rng() % 257 : 257 + rng() % 300;
            const uint32_t length = min + (rng() % 4 == 0 ? rng() % 200 : rng() % 31);
            expect.insert(expect.end(), src.begin() + src_pos, src.begin() + src_pos + run);
            uint32_t value, dist;
            const uint32_t kind = static_cast<uint32_t>(rng() % 10);
            if (kind < 4 && i > 0) {
                value = kind;
                dist = rep[kind];
                if (kind == 1) {
                    std::swap(rep[0], rep[1]);
                } else if (kind >= 2) {
                    for (uint32_t k = kind; k > 0; --k)
                        rep[k] = rep[k - 1];
                    rep[0] = dist;
                }
            } else {
                const uint32_t most = static_cast<uint32_t>(expect.size());
                const uint32_t classes[] = {static_cast<uint32_t>(1 + rng() % 15), static_cast<uint32_t>(16 + rng() % 16),
                                            static_cast<uint32_t>(32 + rng() % 4096), static_cast<uint32_t>(1 + rng() % most)};
                dist = std::min(classes[rng() % 4], most);
                value = dist + M3_REPEATS;
                for (uint32_t k = 3; k > 0; --k)
                    rep[k] = rep[k - 1];
                rep[0] = dist;
            }
            for (uint32_t j = 0; j < length; ++j)
                expect.push_back(expect[expect.size() - dist]);
            m3w_sequence(c.w, src_pos, run, length, value);
            src_pos += run;
        }
        expect.insert(expect.end(), src.begin() + src_pos, src.begin() + src_pos + 9);
        const auto block = c.finish(src_pos, 9);
        std::vector<uint8_t> back;
        ASSERT_EQ(decompress(block, level, static_cast<uint32_t>(expect.size()), &back), expect.size()) << level;
        EXPECT_TRUE(back == expect) << level;
    }
}

TEST(M3Decode, MinimumMatchByLevelAndRunThresholds)
{
    // The same sequences decode one byte longer per match at levels 0 and 1
    // (minimum 4) than at level 2 (3) and one shorter at level 9 (2).
    std::vector<uint8_t> src = random_bytes(2000, 3);
    Crafted c(src, 2);
    m3w_sequence(c.w, 0, 300, 3, 1 + M3_REPEATS);  // raw run of 300 at levels 0-2
    const auto block = c.finish(300, 5);
    std::vector<uint8_t> back;
    EXPECT_EQ(decompress(block, 2, 308, &back), 308u);
    EXPECT_EQ(decompress(block, 0, 309, &back), 309u);
    EXPECT_EQ(decompress(block, 1, 309, &back), 309u);
    EXPECT_EQ(decompress(block, 7, 308, &back), 308u);
    // Level 9 takes a run of 300 from the literal stream, which is empty.
    EXPECT_NE(decompress(block, 9, 307, &back), 307u);
}

std::vector<uint8_t> sample_block(uint32_t* size)
{
    std::vector<uint8_t> data;
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
    *size = static_cast<uint32_t>(data.size());
    return compress(data, 2);
}

TEST(M3Decode, TruncatedAndFlippedBlocksAreRefused)
{
    uint32_t size = 0;
    const auto block = sample_block(&size);
    std::vector<uint8_t> back;
    ASSERT_EQ(decompress(block, 2, size, &back), size);
    // Every truncation (the sanitizers check that no byte past it is used).
    for (size_t cut = 0; cut < block.size(); cut += (cut < 64 ? 1 : 97))
        EXPECT_NE(decompress(std::vector<uint8_t>(block.begin(), block.begin() + cut), 2, size, &back), size) << cut;
    // Wrong sizes: too short, one too long.
    EXPECT_NE(decompress(block, 2, size - 1, &back), size - 1);
    EXPECT_EQ(decompress(block, 2, size + 1, &back), size);
    // Bit flips decode to anything, within bounds.
    std::mt19937 rng(2);
    for (int i = 0; i < 2000; ++i) {
        auto bad = block;
        bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        decompress(bad, 2, size, &back);
    }
}

TEST(M3Decode, LinksAndCountsThatCouldLoopAreRefused)
{
    // A block long enough that the literal stream has two segments.
    std::vector<uint8_t> src = random_bytes(2000, 4);
    Crafted c(src, 2);
    for (int i = 0; i < 10; ++i)
        m3w_sequence(c.w, 0, 100, 3, 50 + M3_REPEATS);
    const auto block = c.finish(0, 0);
    const uint32_t size = 10 * 103;
    std::vector<uint8_t> back;
    ASSERT_EQ(decompress(block, 2, size, &back), size);

    const StreamView tokens = read_stream(block, M3_TOKENS);
    ASSERT_EQ(tokens.segments.size(), 1u);
    const uint32_t at = tokens.segments[0].offset;

    // A first link into the link table.
    for (uint32_t target : {0u, 8u, 19u}) {
        auto bad = block;
        store_le32(bad.data() + 4 * M3_TOKENS, target | M3_PARTIAL);
        EXPECT_NE(decompress(bad, 2, size, &back), size) << target;
    }
    // The segment cut to 5 tokens whose next link leads back to itself (or
    // nowhere): the reader must not go round.
    ASSERT_EQ(block[at + 4], 22);
    for (uint32_t next : {at | M3_PARTIAL, at, 0u}) {
        auto bad = block;
        bad[at + 4] = 10;
        store_le32(bad.data() + at, next);
        EXPECT_EQ(decompress(bad, 2, size, &back), CODEC_FAIL) << next;
    }
    // A partial segment that claims no symbols (its count is one byte, 11).
    auto bad = block;
    bad[at + 4] = 0;
    EXPECT_NE(decompress(bad, 2, size, &back), size);
}

TEST(M3Decode, MatchesBeforeTheStartAndBadLengths)
{
    Crafted c({'x', 'y'});
    m3w_sequence(c.w, 0, 2, 3, 3 + M3_REPEATS);  // distance 3 with 2 bytes out
    const auto block = c.finish(0, 0);
    std::vector<uint8_t> back;
    EXPECT_EQ(decompress(block, 2, 5, &back), CODEC_FAIL);

    Crafted r({'x'});
    m3w_sequence(r.w, 0, 0, 3, 0);  // rep0 = 1 with nothing out yet
    const auto block2 = r.finish(0, 1);
    EXPECT_EQ(decompress(block2, 2, 4, &back), CODEC_FAIL);

    // A run longer than the block.
    Crafted l(random_bytes(50, 9));
    const auto block3 = l.finish(0, 50);
    EXPECT_EQ(decompress(block3, 2, 50, &back), 50u);
    EXPECT_NE(decompress(block3, 2, 49, &back), 49u);
}

} // namespace
} // namespace qrn
