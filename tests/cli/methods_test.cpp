// Every method's levels through the built program: other table and
// block sizes, inline and with two workers, over single and several blocks
// (a tar name brings the x86 filter).
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

TEST(Methods, LevelsRoundTrip)
{
    ScratchDir dir;
    std::string mixed = text_bytes(300000, 1) + random_bytes(50000, 2) + std::string(60000, 'z');
    mixed += mixed.substr(1000, 200000);
    const std::pair<std::string, std::string> files[] = {
        {"empty", ""}, {"one", "a"}, {"three", "abc"}, {"text", text_bytes(1 << 20, 3)},
        {"random", random_bytes(100000, 4)}, {"mixed", mixed}, {"mixed.tar", mixed},
    };
    for (const auto& [name, data] : files)
        write_file(dir / name, data);
    // Options, and the share of the text's size its container may take at most.
    const std::pair<const char*, size_t> options[] = {
        {"-10", 2}, {"-11", 2}, {"-12", 2}, {"-10 -D12", 2}, {"-10 -D20", 2}, {"-11 -D14", 2}, {"-12 -D18", 2},
        {"-12 -b64K", 2}, {"-10 -b100K", 2}, {"-20", 2}, {"-21", 2}, {"-22", 2}, {"-20 -b64K", 2}, {"-21 -b64K", 2},
        {"-22 -b64K", 2}, {"-30", 4}, {"-31", 4}, {"-32", 4}, {"-30 -D12", 4}, {"-31 -D16", 4}, {"-32 -D20", 4},
        {"-32 -b64K", 4}, {"-30 -b100K", 4}, {"-19", 2}, {"-29 -b256K", 2}, {"-39", 4}, {"-39 -b64K", 4}, {"-49", 4}, {"-49 -b64K", 4},
    };
    for (const auto& [opt, share] : options) {
        for (const char* threads : {"-p0", "-p2"}) {
            for (const auto& [name, data] : files) {
                const std::string tag = std::string(opt) + " " + threads + " " + name;
                fs::remove(dir / (name + ".qrn"));
                fs::remove(dir / (name + ".back"));
                RunResult r = run_quarnix(dir.path, tag + " " + name + ".qrn");
                ASSERT_EQ(r.status, 0) << tag << ": " << r.err;
                r = run_quarnix(dir.path, std::string("-d ") + threads + " " + name + ".qrn " + name + ".back");
                ASSERT_EQ(r.status, 0) << tag << ": " << r.err;
                ASSERT_TRUE(read_file(dir / (name + ".back")) == data) << tag;
                if (name == "text") {
                    EXPECT_LT(read_file(dir / (name + ".qrn")).size(), data.size() / share) << tag;
                }
            }
        }
    }
}

// Method 3 writes the same container whichever ANS build the processor
// gets, and -S (scalar builds only) reads it back.
TEST(Methods, Method3SameBytesWithoutProbing)
{
    ScratchDir dir;
    const std::string data = text_bytes(400000, 5) + random_bytes(30000, 6);
    write_file(dir / "in", data);
    for (const char* level : {"-30", "-31", "-32", "-39"}) {
        for (const char* probe : {"", " -S"}) {
            const std::string out = std::string(probe).empty() ? "probed.qrn" : "scalar.qrn";
            fs::remove(dir / out);
            const RunResult r = run_quarnix(dir.path, std::string(level) + probe + " -p2 in " + out);
            ASSERT_EQ(r.status, 0) << level << probe << ": " << r.err;
        }
        ASSERT_TRUE(read_file(dir / "probed.qrn") == read_file(dir / "scalar.qrn")) << level;
        fs::remove(dir / "back");
        ASSERT_EQ(run_quarnix(dir.path, "-d -S probed.qrn back").status, 0) << level;
        ASSERT_TRUE(read_file(dir / "back") == data) << level;
    }
}

} // namespace
} // namespace qrn
