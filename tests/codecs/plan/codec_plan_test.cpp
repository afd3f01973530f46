// The method and level rules behind codec_plan: which pairs exist, hash-table
// sizes, block sizes, queue depth and what start-up prepares.
#include <gtest/gtest.h>

#include "codecs/codec_plan.h"

namespace qrn {
namespace {

constexpr uint64_t MIB = uint64_t{1} << 20;

TEST(CodecPlan, PairsAndHashBits)
{
    const struct {
        int method, level;
        bool level_known, exists;
        int32_t bits[4];   // hash bits for a request of 0, 5, 17, 30
    } cases[] = {
        {1, 0, true, true, {16, 10, 16, 16}},   {1, 1, true, true, {20, 10, 17, 30}},
        {1, 2, true, true, {24, 10, 17, 30}},   {2, 2, true, true, {26, 10, 17, 30}},
        {3, 0, true, true, {16, 10, 16, 16}},   {3, 9, true, true, {0, 10, 17, 30}},
        {2, 9, true, true, {16, 10, 17, 30}},   {4, 9, true, true, {0, 10, 17, 30}},
        {4, 0, true, false, {0, 10, 16, 16}},   {4, 2, true, false, {0, 10, 17, 30}},
        {1, 3, false, false, {0, 10, 17, 30}},  {5, 1, true, false, {0, 10, 17, 30}},
        {0, 0, true, false, {0, 10, 16, 16}},
    };
    for (const auto& c : cases) {
        const CodecPlan p = codec_plan(c.method, c.level);
        EXPECT_EQ(p.level_known, c.level_known) << c.method << c.level;
        EXPECT_EQ(p.exists, c.exists) << c.method << c.level;
        for (int k = 0; const int32_t request : {0, 5, 17, 30})
            EXPECT_EQ(codec_plan_hash_bits(p, request), c.bits[k++]) << c.method << c.level << " " << request;
    }
}

TEST(CodecPlan, BlockSizeQueueAndStartUp)
{
    const uint64_t GIB = 1024 * MIB;
    const struct {
        int level;
        uint64_t requested;
        int threads;
        int64_t file_bytes;
        uint64_t memory;
        uint64_t want;
        bool limit = false;
    } cases[] = {
        {0, 0, 2, 1000, 16 * GIB, 4 * MIB},          // level 0: never cut to the file
        {1, 0, 2, -1, 16 * GIB, 64 * MIB},
        {2, 0, 2, 1000, 16 * GIB, 1000},              // cut to the file
        {2, 12345, 2, 1000, 16 * GIB, 12345},          // a requested size wins
        {9, 0, 2, -1, 14 * GIB, 512 * MIB},            // memory / 14 / threads
        {9, 0, 0, -1, 14 * GIB, 1024 * MIB},           // no workers count as one
        {9, 0, 8, -1, 2 * GIB, 32 * MIB},              // at least 32 MiB
        {9, 0, 1, 100 * MIB, 14 * GIB, 100 * MIB},
        {9, 0, 1, -1, 20 * GIB, GIB, true},           // a hard limit: memory / 20 / threads
        {9, 0, 4, -1, 320 * MIB, 4 * MIB, true},      // ... with no 32 MiB floor
        {9, 0, 8, -1, 64 * MIB, MIB, true},           // ... but at least 1 MiB
        {2, 0, 2, -1, GIB, 64 * MIB, true},           // other levels ignore memory
    };
    for (const auto& c : cases)
        EXPECT_EQ(codec_plan_block_size(codec_plan(1, c.level), c.requested, c.threads, c.file_bytes, c.memory, c.limit),
                  c.want)
            << c.level << " " << c.requested << " " << c.threads;

    EXPECT_EQ(codec_plan_queue_depth(codec_plan(3, 9), 4), 1);
    EXPECT_EQ(codec_plan_queue_depth(codec_plan(3, 2), 4), 5);
    EXPECT_EQ(codec_plan_queue_depth(codec_plan_decode(), 4), 5);

    const CodecPlan m3 = codec_plan(3, 9), m1 = codec_plan(1, 9), m4 = codec_plan(4, 9), fast = codec_plan(3, 1);
    const CodecPlan decode = codec_plan_decode();
    EXPECT_TRUE(m3.prepare_ans_encoder && m3.prepare_price_tables && m3.prepare_segment_pool);
    EXPECT_TRUE(!m1.prepare_price_tables && m1.prepare_segment_pool && !m1.prepare_ans_encoder);
    EXPECT_TRUE(m4.prepare_price_tables && !m4.prepare_ans_encoder);
    EXPECT_TRUE(fast.prepare_ans_encoder && !fast.prepare_segment_pool && !fast.prepare_ans_decoder);
    EXPECT_TRUE(decode.prepare_ans_decoder && !decode.prepare_segment_pool && !decode.prepare_ans_encoder);
}

} // namespace
} // namespace qrn
