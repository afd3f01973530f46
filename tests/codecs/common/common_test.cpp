// Helpers shared by the codecs, the rules every method's entries keep, and
// the hash tables a thread reuses from block to block.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "codecs/codec_plan.h"
#include "codecs/common/copy.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/common/table_memory.h"
#include "common/bytes.h"
#include "parse/segment_pool.h"
#include "support/codec_run.h"

namespace qrn {
namespace {

using testing::Bytes;
using testing::codec_of;

// Every field is little-endian whatever the host's order (the cross build's
// s390x tests run on a big-endian one).
TEST(Bytes, LittleEndianWhateverTheHost)
{
    const uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const struct {
        int width;
        uint64_t value;
    } cases[] = {{2, 0x0201}, {4, 0x04030201}, {8, 0x0807060504030201}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        uint8_t out[8] = {};
        uint64_t got = 0;
        if (c.width == 2)
            got = load_le16(in), store_le16(out, static_cast<uint16_t>(c.value));
        else if (c.width == 4)
            got = load_le32(in), store_le32(out, static_cast<uint32_t>(c.value));
        else
            got = load_le64(in), store_le64(out, c.value);
        EXPECT_EQ(got, c.value);
        EXPECT_TRUE(std::equal(out, out + c.width, in));
    }
}

TEST(PrefixVarint, WidthBoundariesAndKnownBytes)
{
    const struct {
        uint32_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}}, {45, {0x5A}}, {127, {0xFE}}, {128, {0x01, 0x02}}, {16383, {0xFD, 0xFF}},
        {16384, {0x03, 0x00, 0x02}}, {2097151, {0xFB, 0xFF, 0xFF}}, {2097152, {0x07, 0x00, 0x00, 0x02}},
        {268435455, {0xF7, 0xFF, 0xFF, 0xFF}}, {268435456, {0x0F, 0x00, 0x00, 0x00, 0x01}},
        {0x7FFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}}, {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const auto& c : cases) {
        uint8_t buf[8] = {};
        EXPECT_EQ(Bytes(buf, prefix_varint_put(buf, c.value)), c.bytes) << c.value;
        EXPECT_EQ(prefix_varint_size(c.value), c.bytes.size()) << c.value;
        EXPECT_EQ(prefix_varint_width(c.bytes[0]), c.bytes.size()) << c.value;
        uint32_t back = 0;
        EXPECT_EQ(prefix_varint_get(buf, &back), buf + c.bytes.size());
        EXPECT_EQ(back, c.value);
    }
}

TEST(OverlapCopy, RepeatsThePatternAndStaysWithinItsOverrun)
{
    // Every distance below 8 and lengths across several 16-byte steps: the
    // bytes before the match stay, the match repeats them, and nothing past
    // 15 bytes beyond its end is written.
    for (uint32_t dist = 1; dist <= 7; ++dist) {
        for (size_t length = 1; length <= 70; ++length) {
            std::vector<uint8_t> buf(8 + length + 15 + 8, 0xEE);
            for (uint32_t i = 0; i < 8; ++i)
                buf[i] = static_cast<uint8_t>(0x11 * (i + 1));
            std::vector<uint8_t> want = buf;
            for (size_t i = 8; i < 8 + length; ++i)
                want[i] = want[i - dist];
            qrn::overlap_copy(buf.data() + 8, dist, buf.data() + 8 + length);
            ASSERT_TRUE(std::equal(want.begin(), want.begin() + 8 + long(length), buf.begin())) << dist << " " << length;
            ASSERT_TRUE(std::all_of(buf.end() - 8, buf.end(), [](uint8_t b) { return b == 0xEE; }))
                << dist << " " << length;
        }
    }
}

// Every method's compressor at every level it has: an empty block is an
// empty payload; what the output area held before never shows in the
// payload; an area a byte smaller than the payload is declined (the guard
// bytes behind the area check that nothing is written past it). Methods 1
// and 4 fill an area of exactly the payload's size; 2 and 3 may want working
// room past their output. A table size no caller asks for, another method's
// level, or too small an area is declined.
TEST(CodecEntries, EmptyFullAndDeclinedJobs)
{
    Bytes data = testing::random_data(5000, 1);
    std::copy(data.begin(), data.begin() + 2000, data.begin() + 3000);
    for (int method = 1; method <= 4; ++method) {
        codecs_prepare(0, codec_plan(method, 9));
        for (int level : {0, 1, 2, 9}) {
            if (method == 4 && level != 9)
                continue;
            SCOPED_TRACE(::testing::Message() << "-" << method << level);
            const testing::Codec c = codec_of(method);
            const int bits = codec_plan(method, level).hash_bits_default;
            EXPECT_EQ(testing::codec_compress(c, level, bits, {}).result, 0u);
            const auto zeros = testing::codec_compress(c, level, bits, data, -1, 0x00);
            EXPECT_LT(zeros.result, 5000u);
            EXPECT_EQ(testing::codec_compress(c, level, bits, data, -1, 0xA5).bytes, zeros.bytes);
            if (method == 1 || method == 4) {
                EXPECT_EQ(testing::codec_compress(c, level, bits, data, zeros.result).bytes, zeros.bytes);
            }
            EXPECT_EQ(testing::codec_compress(c, level, bits, data, zeros.result - 1).result, CODEC_FAIL);
        }
        codecs_release();
    }
    const struct {
        int method, level, bits;
        int64_t capacity;  // -1: the pipelines' capacity
    } declined[] = {{1, 0, 0, -1},  {1, 0, 17, -1}, {1, 1, 35, -1}, {1, 2, 2, -1}, {2, 0, 17, -1}, {2, 2, 40, -1},
                    {2, 1, 20, 150}, {3, 0, 17, -1}, {3, 2, 40, -1}, {4, 0, 0, -1},  {4, 1, 0, -1}, {4, 2, 0, -1}};
    for (const auto& d : declined)
        EXPECT_EQ(testing::codec_compress(codec_of(d.method), d.level, d.bits, data, d.capacity).result, CODEC_FAIL)
            << d.method << " " << d.level << " " << d.bits;
}

// Regions of one segment: the level-9 match finder runs out mid-block, the
// block is left to be stored raw, and the next block is coded as if nothing
// had happened.
TEST(CodecEntries, Level9RunsOutOfPoolSlotsIntoARawBlock)
{
    const Bytes text = testing::text_data(200000, 3);
    for (int method = 1; method <= 4; ++method) {
        codecs_prepare(0, codec_plan(method, 9));
        const Bytes before = testing::round_trip(codec_of(method), 9, 0, text, "before");
        pool_init(POOL_START_MASK, POOL_SEGMENT_BYTES);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(testing::codec_compress(codec_of(method), 9, 0, text).result, CODEC_FAIL) << method;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Too many seg allocated\n");
        EXPECT_EQ(pool_regions_in_use(), 0);
        pool_init(POOL_START_MASK);
        EXPECT_EQ(testing::codec_compress(codec_of(method), 9, 0, text).bytes, before) << method;
        codecs_release();
    }
}

// The hash tables of the fast compressors, reused from block to block by a thread.
std::vector<uint8_t> compress(int method, int level, const std::string& data)
{
    return testing::codec_compress(codec_of(method), level, codec_plan(method, level).hash_bits_default, testing::bytes_of(data)).bytes;
}

std::vector<uint8_t> in_fresh_thread(int method, int level, const std::string& data)
{
    std::vector<uint8_t> fresh;
    std::thread([&] { fresh = compress(method, level, data); }).join();
    return fresh;
}

// A thread hands its hash tables to its next block: they must come back
// cleared, so that a block compresses the same after another as in a fresh
// thread, whether the table was cleared whole (after a large block) or slot
// by slot (after a small one); after a small block every table goes back
// all zero without being cleared whole (whatever a compressor writes, its
// hashes name).
TEST(TableMemory, ReusedTablesLeaveNoTraceOfTheBlockBefore)
{
    // The same block again: every position left behind looks like a match.
    const std::string block = testing::text_bytes(6000, 12);
    const std::string other = testing::text_bytes(5000, 13) + testing::random_bytes(300, 14);
    const std::string large = testing::text_bytes(3 << 20, 15);
    const std::string small = testing::text_bytes(3000, 16) + testing::random_bytes(500, 17) + std::string(700, 'z');
    for (int method = 1; method <= 3; ++method) {
        for (int level = 1; level <= 2; ++level) {
            SCOPED_TRACE(::testing::Message() << "-" << method << level);
            const std::vector<uint8_t> fresh = in_fresh_thread(method, level, block);
            ASSERT_FALSE(fresh.empty());
            for (const std::string* before : {&block, &other, &large}) {
                compress(method, level, *before);
                EXPECT_EQ(compress(method, level, block), fresh) << "after " << before->size();
            }
            compress(method, level, block);
            EXPECT_EQ(compress(method, level, other), in_fresh_thread(method, level, other));

            ASSERT_FALSE(compress(method, level, small).empty());
            const size_t entries = size_t(1) << (codec_plan(method, level).hash_bits_default - 2);
            // Method 2 keeps its 3-byte hash in a table of its own, method 3 after its two others.
            std::vector<size_t> tables = {entries};
            if (level == 2 && method == 2)
                tables.push_back(size_t(1) << H3_BITS);
            if (level == 2 && method == 3)
                tables = {2 * entries + (size_t(1) << H3_BITS)};
            for (size_t slots : tables) {
                auto* t = static_cast<uint32_t*>(table_memory_acquire(slots * sizeof(uint32_t)));
                ASSERT_NE(t, nullptr);
                EXPECT_EQ(std::count(t, t + slots, 0u), static_cast<long>(slots));
                table_memory_release(t, slots * sizeof(uint32_t), true);
            }
        }
    }
}

} // namespace
} // namespace qrn
