#include <gtest/gtest.h>

#include <vector>

#include "codecs/common/copy.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/prefix_varint.h"

namespace qrn {
namespace {

std::vector<uint8_t> encode(uint32_t v)
{
    uint8_t buf[8] = {};
    uint8_t* end = prefix_varint_put(buf, v);
    return {buf, end};
}

TEST(PrefixVarint, WidthBoundariesAndKnownBytes)
{
    EXPECT_EQ(encode(45), (std::vector<uint8_t>{90}));
    EXPECT_EQ(encode(0), (std::vector<uint8_t>{0}));
    EXPECT_EQ(encode(127), (std::vector<uint8_t>{254}));
    EXPECT_EQ(encode(128), (std::vector<uint8_t>{0x01, 0x02}));
    const uint32_t bounds[] = {0,       127,      128,       16383,      16384,      2097151,
                               2097152, 268435455, 268435456, 0x7FFFFFFF, 0xFFFFFFFF};
    const size_t widths[] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 5};
    for (size_t i = 0; i < std::size(bounds); ++i) {
        const auto bytes = encode(bounds[i]);
        ASSERT_EQ(bytes.size(), widths[i]) << bounds[i];
        EXPECT_EQ(prefix_varint_size(bounds[i]), widths[i]);
        EXPECT_EQ(prefix_varint_width(bytes[0]), widths[i]);
        uint8_t padded[8] = {};
        std::copy(bytes.begin(), bytes.end(), padded);
        uint32_t back = 0;
        EXPECT_EQ(prefix_varint_get(padded, &back), padded + widths[i]);
        EXPECT_EQ(back, bounds[i]);
    }
}

TEST(DistanceClassBonus, FirstRowsAndShift)
{
    const uint8_t rows[5][9] = {{3, 2, 1, 1, 0, 0, 0, 0, 0},
                                {3, 3, 2, 1, 1, 0, 0, 0, 0},
                                {4, 3, 3, 2, 1, 1, 0, 0, 0},
                                {4, 4, 3, 3, 2, 1, 1, 0, 0},
                                {5, 4, 4, 3, 3, 2, 1, 1, 0}};
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 9; ++c)
            EXPECT_EQ(DistanceClassBonus[r][c], rows[r][c]) << r << "," << c;
    for (int r = 1; r < 16; ++r) {
        EXPECT_EQ(DistanceClassBonus[r][0], r >= 4 ? 5 : DistanceClassBonus[r][0]);
        for (int c = 1; c < 16; ++c)
            EXPECT_EQ(DistanceClassBonus[r][c], DistanceClassBonus[r - 1][c - 1]);
    }
    EXPECT_EQ(distance_class(1), 0);
    EXPECT_EQ(distance_class(4), 1);
    EXPECT_EQ(distance_class(65535), 7);
    EXPECT_EQ(distance_class(NO_MATCH_DISTANCE), 14);
}

TEST(OverlapCopy, RepeatsThePatternForShortDistances)
{
    for (uint32_t d = 1; d <= 7; ++d) {
        for (uint32_t len = 4; len <= 300; len += 7) {
            std::vector<uint8_t> buf(d + len + 64, 0xEE);
            for (uint32_t i = 0; i < d; ++i)
                buf[i] = static_cast<uint8_t>(i * 37 + 1);
            overlap_copy(buf.data() + d, d, buf.data() + d + len);
            for (uint32_t i = d; i < d + len; ++i)
                ASSERT_EQ(buf[i], buf[i - d]) << "d=" << d << " len=" << len << " at " << i;
        }
    }
}

} // namespace
} // namespace qrn
