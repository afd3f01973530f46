// The hash tables of the fast compressors, reused from block to block by a thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "codecs/codec_table.h"
#include "codecs/common/lz_hash.h"
#include "codecs/common/table_memory.h"
#include "support/codec_run.h"

namespace qrn {
namespace {

std::vector<uint8_t> compress(int method, int level, const std::string& data)
{
    const testing::Codec codec{method, encoder_for(method), decoder_for(method)};
    return testing::codec_compress(codec, level, default_hash_bits(method, level), testing::bytes_of(data)).bytes;
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
            const size_t entries = size_t(1) << (default_hash_bits(method, level) - 2);
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
