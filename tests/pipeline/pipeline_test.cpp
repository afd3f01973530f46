// The file pipelines: allocations refused in the middle of a file, a spare
// worker's help within the memory allowed, and the numbered-error reporter (a write cut short: the program's table in tests/cli).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "codecs/codec_plan.h"
#include "container/block_buffers.h"
#include "parse/match_feed.h"
#include "pipeline/errors.h"
#include "pipeline/pipeline.h"
#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

// Allocation failures injected into the pipeline: the run must neither hang
// nor leave an output behind, and the file must count as failed.
std::atomic<int> allocations_left{0};
bool gate(size_t) { return allocations_left.fetch_sub(1) > 0; }

struct GateGuard {
    explicit GateGuard(int allowed)
    {
        allocations_left = allowed;
        block_alloc_gate = gate;
    }
    ~GateGuard() { block_alloc_gate = nullptr; }
};

// One file through a fresh pipeline with `allowed` block allocations; true
// when the file failed.
bool gated_run(bool decompress, int threads, int allowed, const fs::path& in, const fs::path& out)
{
    CompressSettings settings;
    settings.plan = codec_plan(1, 2);
    settings.hash_bits = 16, settings.block_size = 4096;
    Pipeline p;
    p.decompress = decompress;
    EXPECT_EQ(pipeline_start(p, threads, threads + 1), 0);
    GateGuard guard(allowed);
    const Status st =
        decompress ? decompress_file(p, in.string().c_str(), out.string().c_str())
                   : compress_file(p, settings, in.string().c_str(), out.string().c_str());
    pipeline_stop(p);
    return !st.ok() || p.failed_files.load() != 0;
}

TEST(Pipeline, AllocationFailureInAWorkerFailsTheFileWithoutHanging)
{
    ScratchDir d;
    const std::string data = text_bytes(64 * 4096, 7);
    write_file(d / "in", data);
    // With enough memory both ways succeed.
    ASSERT_FALSE(gated_run(false, 2, 1 << 30, d / "in", d / "good.qrn"));
    ASSERT_FALSE(gated_run(true, 2, 1 << 30, d / "good.qrn", d / "back"));
    EXPECT_TRUE(read_file(d / "back") == data);
    for (const bool decompress : {false, true}) {
        const fs::path in = decompress ? d / "good.qrn" : d / "in", out = d / "out";
        for (int allowed : {0, 1, 2, 5, 17, 40}) {
            for (int threads : {0, 1, 3}) {
                SCOPED_TRACE(::testing::Message() << decompress << " " << allowed << " " << threads);
                fs::remove(out);
                const bool failed = gated_run(decompress, threads, allowed, in, out);
                // Inline coding needs two buffers in all; threaded coding two per block.
                EXPECT_TRUE(decompress || failed == (threads > 0 || allowed < 2));
                EXPECT_TRUE(failed || allowed > 0);
                EXPECT_EQ(fs::exists(out), !failed);
                EXPECT_TRUE(failed || !decompress || read_file(out) == data);
            }
        }
    }
}

// A one-block level-9 file on two workers gets a finder thread only where the
// memory allowed for coding holds its tables as well as the block's own.
TEST(Pipeline, SpareWorkerHelpsWithinTheCodingMemory)
{
    ScratchDir d;
    const std::string data = text_bytes(1 << 17, 5);
    write_file(d / "in", data);
    CompressSettings settings;
    settings.plan = codec_plan(4, 9);
    settings.block_size = data.size();
    const uint64_t block = codec_plan_block_memory(settings.plan, data.size());
    const uint64_t helper = codec_plan_helper_memory(settings.plan, data.size());
    codecs_prepare(0, settings.plan);
    for (const uint64_t memory : {uint64_t{0}, block + helper, block + helper - 1, block}) {
        Pipeline p;
        p.coding_memory = memory;
        ASSERT_EQ(pipeline_start(p, 2, 3), 0);
        const uint64_t started = feed_counts().started;
        fs::remove(d / "c.qrn");
        EXPECT_TRUE(compress_file(p, settings, (d / "in").string().c_str(), (d / "c.qrn").string().c_str()).ok());
        pipeline_stop(p);
        EXPECT_EQ(feed_counts().started - started, memory == 0 || memory >= block + helper ? 1u : 0u) << memory;
    }
    codecs_release();
}

TEST(Errors, ReporterSaysAndReturnsTheStatus)
{
    static std::vector<std::pair<int, std::string>> said;
    MessageSink sink;
    sink.say = [](void*, const Message& m) { said.emplace_back(m.number, m.text); };
    const struct {
        int number, err;
        StatusCode code;
        const char* text;
    } cases[] = {
        {ERR_WRITE, 28, StatusCode::Io, "write error. errno=28 'No space left on device'"},
        {ERR_READ, 5, StatusCode::Io, "read error. errno=5 'Input/output error'"},
        {ERR_MALLOC, 0, StatusCode::Memory, "malloc error"},
        {ERR_HEADER, 0, StatusCode::NotContainer, "file header. no quarnix format"},
        {ERR_CORRUPT, 0, StatusCode::Damaged, "file is corrupted"},
    };
    for (const auto& c : cases) {
        said.clear();
        const Status st = c.err ? report_system_error(sink, c.number, c.err) : report_error(sink, c.number);
        EXPECT_EQ(st.code, c.code) << c.number;
        EXPECT_EQ(st.number, c.number);
        EXPECT_EQ(st.reason, c.text);
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0].first, c.number);
        EXPECT_EQ(said[0].second, c.text);
    }
    // Texts longer than 2047 bytes are cut.
    EXPECT_EQ(error_text_of(ERR_READ, 5, std::string(5000, 'x').c_str()).size(), 2047u);
}

} // namespace
} // namespace qrn
