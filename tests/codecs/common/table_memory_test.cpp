// The hash tables of the fast compressors, reused from block to block by a thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "codecs/codec_plan.h"
#include "codecs/codec_table.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/table_memory.h"
#include "support/program.h"

namespace qrn {
namespace {

std::vector<uint8_t> compress(int method, int level, const std::string& data)
{
    const auto n = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> in(n + BUFFER_SLACK, 0), out(compress_capacity(n) + BUFFER_SLACK);
    std::copy(data.begin(), data.end(), in.begin());
    BlockCall job{};
    job.method = static_cast<uint8_t>(method);
    job.level = static_cast<uint8_t>(level);
    job.hash_bits = codec_plan(method, level).hash_bits_default;
    job.in = in.data();
    job.in_size = n;
    job.out = out.data();
    job.out_limit = static_cast<uint32_t>(compress_capacity(n));
    const uint32_t size = encoder_for(method)(job);
    out.resize(size == CODEC_FAIL ? 0 : size);
    return out;
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
// by slot (after a small one).
TEST(TableMemory, ReusedTablesLeaveNoTraceOfTheBlockBefore)
{
    // The same block again: every position left behind looks like a match.
    const std::string block = testing::text_bytes(6000, 12);
    const std::string other = testing::text_bytes(5000, 13) + testing::random_bytes(300, 14);
    const std::string large = testing::text_bytes(3 << 20, 15);
    for (int method = 1; method <= 3; ++method) {
        for (int level = 1; level <= 2; ++level) {
            const std::vector<uint8_t> fresh = in_fresh_thread(method, level, block);
            ASSERT_FALSE(fresh.empty());
            for (const std::string* before : {&block, &other, &large}) {
                compress(method, level, *before);
                EXPECT_EQ(compress(method, level, block), fresh) << "-" << method << level << " after " << before->size();
            }
            compress(method, level, block);
            EXPECT_EQ(compress(method, level, other), in_fresh_thread(method, level, other)) << "-" << method << level;
        }
    }
}

// After a small block every table goes back to the thread all zero, without
// being cleared whole: whatever a compressor writes, its hashes name.
TEST(TableMemory, SmallBlocksLeaveTheirTablesZero)
{
    const std::string block = testing::text_bytes(3000, 16) + testing::random_bytes(500, 17) + std::string(700, 'z');
    for (int method = 1; method <= 3; ++method) {
        for (int level = 1; level <= 2; ++level) {
            ASSERT_FALSE(compress(method, level, block).empty());
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
                EXPECT_EQ(std::count(t, t + slots, 0u), static_cast<long>(slots)) << "-" << method << level;
                table_memory_release(t, slots * sizeof(uint32_t), true);
            }
        }
    }
}

} // namespace
} // namespace qrn
