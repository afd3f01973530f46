#include <gtest/gtest.h>

#include "codecs/m1/m1_support.h"
#include "parse/segment_pool.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using m1test::Bytes;
using m1test::compress;
using m1test::decompress;
using m1test::Token;
using m1test::tokens_of;

Bytes round_trip(const Bytes& data, const std::string& what)
{
    const auto c = compress(data, 9, 16);
    EXPECT_NE(c.result, CODEC_FAIL) << what;
    const auto d = decompress(c.bytes, data.size());
    EXPECT_EQ(d.result, data.size()) << what;
    EXPECT_TRUE(d.bytes == data) << what;
    return c.bytes;
}

// On text the optimal parse beats the greedy one. (Not everywhere: positions
// inside a long match are never entered in the match finder, and every
// window commits to the first match it meets.)
TEST(M1Optimal, RoundTripsAndBeatsTheGreedyLevelsOnText)
{
    for (const auto& [what, data] : testing::varied_inputs()) {
        const Bytes c = round_trip(data, what);
        if (what.rfind("text", 0) == 0) {
            EXPECT_LE(c.size(), compress(data, 2, 18).bytes.size()) << what;
        }
    }
}

TEST(M1Optimal, ShortBlocksAndLongMatches)
{
    EXPECT_EQ(compress({}, 9, 16).result, 0u);
    // Nothing of 1 to 4 bytes holds a match: the end token alone.
    for (size_t n = 1; n <= 4; ++n)
        EXPECT_EQ(tokens_of(round_trip(Bytes(n, 'a'), "run")), (std::vector<Token>{{n, 0, 0}}));
    // A repeat of 513 bytes is one match; 512 bytes may be cut at any length
    // but the cheapest is still one match.
    for (size_t length : {512, 513, 1800}) {
        Bytes data = m1test::random_data(2000, 1);
        const Bytes repeat(data.begin() + 100, data.begin() + 100 + long(length));
        data.insert(data.end(), repeat.begin(), repeat.end());
        const auto tokens = tokens_of(round_trip(data, "repeat"));
        ASSERT_EQ(tokens.size(), 2u) << length;
        EXPECT_EQ(tokens[0], (Token{2000, length, uint32_t(1900)})) << length;
    }
    // A repeat 70000 bytes back is out of reach: stored as literals.
    Bytes far = m1test::random_data(70000, 2);
    const Bytes repeat(far.begin(), far.begin() + 5000);
    far.insert(far.end(), repeat.begin(), repeat.end());
    EXPECT_GT(round_trip(far, "far repeat").size(), far.size());
}

TEST(M1Optimal, RunsOutOfPoolSlotsIntoARawBlock)
{
    // Regions of one segment: a trie that needs more fails, and the block is
    // left to be stored raw.
    pool_init(POOL_START_MASK, POOL_SEGMENT_BYTES);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(compress(m1test::text_data(200000, 3), 9, 16).result, CODEC_FAIL);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Too many seg allocated\n");
    EXPECT_EQ(pool_regions_in_use(), 0);
    pool_init(POOL_START_MASK);
    round_trip(m1test::text_data(200000, 3), "after");
}

} // namespace
} // namespace qrn
