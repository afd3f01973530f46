// The level-9 match finder on a thread of its own: the same bytes as on one
// thread, over data whose long matches make the parse jump (runs, repeated
// chunks, tar-like headers whose zero padding repeats), and the slow path
// that codes a block again when the finder has gone where the parse did not.
#include <gtest/gtest.h>

#include <random>

#include "codecs/codec_plan.h"
#include "parse/match_feed.h"
#include "support/codec_run.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using testing::Bytes;
using testing::codec_of;

// Headers of 512 bytes (a name, octal fields, zero padding) each before a
// text body padded to 512 bytes, some bodies copied from earlier ones.
Bytes tar_like(uint32_t files, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    std::vector<Bytes> bodies;
    for (uint32_t i = 0; i < files; ++i) {
        Bytes header(512, 0);
        const std::string name = "dir/file" + std::to_string(rng() % 1000) + ".c";
        std::copy(name.begin(), name.end(), header.begin());
        const std::string fields = "0000644\0000001750\0000001750\000" + std::to_string(rng() % 100000);
        std::copy(fields.begin(), fields.end(), header.begin() + 100);
        out.insert(out.end(), header.begin(), header.end());
        Bytes body;
        if (!bodies.empty() && rng() % 3 == 0) {
            body = bodies[rng() % bodies.size()];
        } else {
            // The draws one by one, so that every platform makes the same input.
            const uint32_t text_seed = rng();
            body = testing::text_data(100 + rng() % 3000, text_seed);
        }
        bodies.push_back(body);
        body.resize((body.size() + 511) / 512 * 512, 0);
        out.insert(out.end(), body.begin(), body.end());
    }
    return out;
}

// Text with zero runs and copies of 600 to 3000 bytes from anywhere before,
// some with one byte changed.
Bytes chunks(uint32_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out = testing::text_data(5000, seed);
    while (out.size() < size) {
        const uint32_t kind = rng() % 4;
        if (kind == 0) {
            out.insert(out.end(), 513 + rng() % 4000, 0);
        } else if (kind == 1) {
            const uint32_t text_seed = rng();
            const Bytes t = testing::text_data(50 + rng() % 500, text_seed);
            out.insert(out.end(), t.begin(), t.end());
        } else {
            const size_t len = 600 + rng() % 2400, from = rng() % (out.size() - len);
            for (size_t k = 0; k < len; ++k)
                out.push_back(out[from + k]);
            if (kind == 3)
                out[out.size() - 1 - rng() % len] ^= 0x20;
        }
    }
    return out;
}

// Random bytes, zero runs, and copies at a few page-sized distances (or
// anywhere before) with a byte changed every 520 to 900 bytes: the parse
// jumps at repeat distances it took long before, as in x86 code.
Bytes page_copies(uint32_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    const auto random_bytes = [&](uint32_t n) {
        for (uint32_t k = 0; k < n; ++k)
            out.push_back(static_cast<uint8_t>(rng()));
    };
    random_bytes(20000);
    while (out.size() < size) {
        const uint32_t kind = rng() % 10;
        if (kind < 3) {
            random_bytes(100 + rng() % 1900);
        } else if (kind == 3) {
            out.insert(out.end(), 600 + rng() % 2400, 0);
        } else {
            const uint32_t d = rng() % 10 < 7 ? 4096 * (1 + rng() % 5) : 1000 + rng() % (out.size() - 1000);
            const uint32_t n = 600 + rng() % 3400;
            const size_t start = out.size();
            for (size_t k = 0; k < n; ++k)
                out.push_back(out[start + k - d]);
            for (size_t k = 300 + rng() % 600; k < n; k += 520 + rng() % 380)
                out[start + k] ^= static_cast<uint8_t>(1 + rng() % 127);
        }
    }
    out.resize(size);
    return out;
}
struct Case {
    std::string name;
    Bytes data;
};

std::vector<Case> cases()
{
    std::vector<Case> v{{"tar-like", tar_like(150, 1)}, {"chunks", chunks(400000, 2)}};
    for (const auto& [name, data] : testing::varied_inputs())
        if (name == "text 4097" || name == "period 3" || name == "runs" || name == "long repeats" ||
            name == "far repeats" || name == "mixed" || name == "random")
            v.push_back({name, data});
    v.push_back({"page copies", page_copies(300000, 9)});
    return v;
}

// Threads for blocks of any size; with `overrun`, a finder that never stops
// at long matches (so that the parse jumps over positions it has inserted).
FeedCounts compare_threads(bool overrun, const std::vector<Case>& inputs)
{
    feed_test_force(true, overrun);
    const FeedCounts before = feed_counts();
    for (int method = 1; method <= 4; ++method) {
        codecs_prepare(0, codec_plan(method, 9));
        for (const Case& c : inputs) {
            const auto alone = testing::codec_compress(codec_of(method), 9, 0, c.data);
            const auto two = testing::codec_compress(codec_of(method), 9, 0, c.data, -1, testing::GUARD_BYTE, 1);
            EXPECT_EQ(two.result, alone.result) << method << " " << c.name;
            EXPECT_TRUE(two.bytes == alone.bytes) << method << " " << c.name;
        }
        codecs_release();
    }
    feed_test_force(false, false);
    return {feed_counts().started - before.started, feed_counts().retries - before.retries};
}

// The inputs need no second coding; a finder that runs past long matches gets
// every block with one coded again (three times with the finder stopping where
// the parse jumped, then on one thread), with the same bytes.
TEST(MatchFeed, TwoThreadsGiveTheBytesOfOne)
{
    const std::vector<Case> inputs = cases();
    const FeedCounts counts = compare_threads(false, inputs);
    EXPECT_GE(counts.started, 4 * inputs.size());
    EXPECT_EQ(counts.retries, 0u);
    EXPECT_GE(compare_threads(true, {inputs[0], inputs[1], inputs[4]}).retries, 4u * 3);
}

// The level-9 output of each method over inputs with long matches and
// several windows, pinned: work on the parse's speed must not move a byte.
// A change meant to alter the format updates the sums (and says so).
TEST(MatchFeed, LevelNineBytesArePinned)
{
    const std::vector<Case> inputs = cases();
    const uint64_t want[4][2] = {{6897692573657432945ull, 14300873682793556895ull},
                                 {15505720779308272951ull, 12077360543227631602ull},
                                 {4887559675699880237ull, 6335221553369605708ull},
                                 {12072685676568458556ull, 9752311215788468922ull}};
    for (int method = 1; method <= 4; ++method) {
        codecs_prepare(0, codec_plan(method, 9));
        for (int i = 0; i < 2; ++i) {
            const auto coded = testing::codec_compress(codec_of(method), 9, 0, inputs[i].data);
            uint64_t sum = 0xCBF29CE484222325ull;   // FNV-1a
            for (uint8_t b : coded.bytes)
                sum = (sum ^ b) * 0x100000001B3ull;
            EXPECT_EQ(sum, want[method - 1][i]) << "method " << method << " " << inputs[i].name;
        }
        codecs_release();
    }
}

// Only a caller that allows a thread gets one, and small blocks never do.
TEST(MatchFeed, WhoGetsAThread)
{
    FeedStops none, spent;
    spent.count = FEED_ATTEMPTS;
    EXPECT_FALSE(feed_wanted(FEED_MIN_BLOCK, 0, none));
    EXPECT_FALSE(feed_wanted(FEED_MIN_BLOCK - 1, 1, none));
    EXPECT_TRUE(feed_wanted(FEED_MIN_BLOCK, 1, none));
    EXPECT_FALSE(feed_wanted(FEED_MIN_BLOCK, 1, spent));
}

} // namespace
} // namespace qrn
