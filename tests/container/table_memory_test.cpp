#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "codecs/codec_table.h"
#include "support/program.h"

namespace qrn {
namespace {

std::vector<uint8_t> compress(int method, int level, const std::string& data)
{
    const auto n = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> in(n + BUFFER_SLACK, 0), out(compress_capacity(n) + BUFFER_SLACK);
    std::copy(data.begin(), data.end(), in.begin());
    CodecJob job{};
    job.method = static_cast<uint8_t>(method);
    job.level = static_cast<uint8_t>(level);
    job.hash_bits = default_hash_bits(method, level);
    job.in = in.data();
    job.in_size = n;
    job.block_size = n;
    job.out = out.data();
    job.out_limit = static_cast<uint32_t>(compress_capacity(n));
    const uint32_t size = encoder_for(method)(job);
    out.resize(size == CODEC_FAIL ? 0 : size);
    return out;
}

// A thread hands its hash tables to its next block: they must come back
// cleared, so that a block compresses the same after another as in a fresh
// thread.
TEST(TableMemory, ReusedTablesLeaveNoTraceOfTheBlockBefore)
{
    // The same block again: every position left behind looks like a match.
    const std::string block = testing::text_bytes(6000, 12);
    for (int method = 1; method <= 3; ++method) {
        for (int level = 1; level <= 2; ++level) {
            std::vector<uint8_t> fresh;
            std::thread([&] { fresh = compress(method, level, block); }).join();
            ASSERT_FALSE(fresh.empty());
            compress(method, level, block);
            EXPECT_EQ(compress(method, level, block), fresh) << "-" << method << level;
        }
    }
}

} // namespace
} // namespace qrn
