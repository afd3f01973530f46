// The memory figure under fake cgroup trees: v2 and v1 files, limits on the
// process's own group and above it, "max", and groups missing from the tree.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/program.h"

namespace qrn {
namespace {

using testing::ScratchDir;
using testing::write_file;

constexpr uint64_t MIB = uint64_t{1} << 20;

struct CgroupCase {
    const char* name;
    const char* self;                                      // /proc/self/cgroup's text
    std::vector<std::pair<const char*, const char*>> files;   // path under the root, content
    uint64_t limit;
};

TEST(MemoryFigure, CgroupLimitIsTheSmallestOnTheProcessPath)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no control groups (a job object's limit stands in for them)";
#endif
    const CgroupCase cases[] = {
        {"v2 parent", "0::/a/b\n", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "1073741824\n"}}, 1024 * MIB},
        {"v2 own below parent", "0::/a/b\n", {{"a/b/memory.max", "536870912\n"}, {"a/memory.max", "1073741824\n"}},
         512 * MIB},
        {"v2 no limit", "0::/a\n", {{"a/memory.max", "max\n"}}, 0},
        {"v2 group not mounted, root limited", "0::/docker/abc\n", {{"memory.max", "314572800\n"}}, 300 * MIB},
        {"v1", "5:memory:/job\n3:cpu,cpuacct:/job\n", {{"memory/job/memory.limit_in_bytes", "268435456\n"}},
         256 * MIB},
        {"v1 shared hierarchy", "4:blkio,memory:/x/y\n", {{"memory/x/memory.limit_in_bytes", "134217728\n"}},
         128 * MIB},
        {"v1 other controller only", "3:cpu:/job\n", {{"memory/job/memory.limit_in_bytes", "1048576\n"}}, 0},
        {"v1 and v2 together", "0::/u\n6:memory:/j\n",
         {{"u/memory.max", "209715200\n"}, {"memory/j/memory.limit_in_bytes", "104857600\n"}}, 100 * MIB},
        {"not a number", "0::/a\n", {{"a/memory.max", "12x\n"}}, 0},
        {"no cgroup file", "", {}, 0},
    };
    for (const CgroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        for (const auto& [path, text] : c.files)
            write_file(dir / (std::string("root/") + path), text);
        if (*c.self)
            write_file(dir / "self", c.self);
        memory_set_cgroup_paths((dir / "root").string().c_str(), (dir / "self").string().c_str());
        EXPECT_EQ(memory_cgroup_limit(), c.limit);
        const uint64_t figure = physical_memory();
        EXPECT_GT(figure, 0u);
        if (c.limit != 0)
            EXPECT_LE(figure, c.limit);
        else
            EXPECT_GT(figure, 100 * MIB);   // the machine's memory, or a limit of this test's process
    }
    memory_set_cgroup_paths(nullptr, nullptr);
}

} // namespace
} // namespace qrn
