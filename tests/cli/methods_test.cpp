// Every method's levels through the built program: other table and
// block sizes, inline and with two workers, over single and several blocks
// (a tar name brings the x86 filter, here over a real executable's bytes);
// method 3 with its ANS builds probed and scalar alike.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <vector>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

// Options, one test each, so that test shards (emulated builds) split the work.
const char* const METHOD_CASES[] = {
    "-10", "-11", "-12", "-10 -D12", "-10 -D20", "-11 -D14", "-12 -D18", "-12 -b64K", "-10 -b100K", "-20", "-21", "-22",
    "-20 -b64K", "-21 -b64K", "-22 -b64K", "-30", "-31", "-32", "-30 -D12", "-31 -D16", "-32 -D20", "-32 -b64K",
    "-30 -b100K", "-19", "-29 -b256K", "-39", "-39 -b64K", "-49", "-49 -b64K",
};

const std::vector<std::pair<std::string, std::string>>& method_files()
{
    static const auto files = [] {
        std::string mixed = text_bytes(300000, 1) + random_bytes(50000, 2) + std::string(60000, 'z');
        mixed += mixed.substr(1000, 200000);
        std::ifstream f("/usr/bin/cmake", std::ios::binary);
        std::string exe((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        exe.resize(std::min<size_t>(exe.size(), 600000));
        return std::vector<std::pair<std::string, std::string>>{
            {"empty", ""}, {"one", "a"}, {"three", "abc"}, {"text", text_bytes(1 << 20, 3)},
            {"random", random_bytes(100000, 4)}, {"mixed", mixed}, {"prog.tar", exe},
        };
    }();
    return files;
}

class Methods : public ::testing::TestWithParam<const char*> {};

TEST_P(Methods, LevelsRoundTrip)
{
    ScratchDir dir;
    const char* const opt = GetParam();
    const size_t share = opt[1] >= '3' ? 4 : 2;   // the share of the text's size its container may take at most
    for (const auto& [name, data] : method_files())
        write_file(dir / name, data);
    // Level 9 writes the same container with a finder thread (-p2, one block)
    // as inline.
    std::map<std::string, std::string> inline_containers;
    for (const char* threads : {"-p0", "-p2"}) {
        for (const auto& [name, data] : method_files()) {
            const std::string tag = std::string(opt) + " " + threads + " " + name;
            fs::remove(dir / (name + ".qrn"));
            fs::remove(dir / (name + ".back"));
            RunResult r = run_quarnix(dir.path, tag + " " + name + ".qrn");
            ASSERT_EQ(r.status, 0) << tag << ": " << r.err;
            if (opt[2] == '9' && threads[2] == '0') {
                inline_containers[name] = read_file(dir / (name + ".qrn"));
            } else if (opt[2] == '9') {
                EXPECT_TRUE(read_file(dir / (name + ".qrn")) == inline_containers[name]) << tag;
            }
            r = run_quarnix(dir.path, std::string("-d ") + threads + " " + name + ".qrn " + name + ".back");
            ASSERT_EQ(r.status, 0) << tag << ": " << r.err;
            ASSERT_TRUE(fs::is_regular_file(dir / (name + ".back")) && read_file(dir / (name + ".back")) == data)
                << tag;
            if (name == "text") {
                EXPECT_LT(read_file(dir / (name + ".qrn")).size(), data.size() / share) << tag;
            }
            // Method 3 writes the same container whichever ANS build the
            // processor gets, and -S (scalar builds only) reads it back.
            if (opt[1] == '3' && name == "mixed") {
                fs::remove(dir / (name + ".scalar.qrn"));
                fs::remove(dir / (name + ".back"));
                ASSERT_EQ(run_quarnix(dir.path, tag + " -S " + name + ".scalar.qrn").status, 0) << tag;
                ASSERT_TRUE(read_file(dir / (name + ".scalar.qrn")) == read_file(dir / (name + ".qrn"))) << tag;
                ASSERT_EQ(run_quarnix(dir.path, "-d -S " + name + ".scalar.qrn " + name + ".back").status, 0);
                ASSERT_TRUE(read_file(dir / (name + ".back")) == data) << tag;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Options, Methods, ::testing::ValuesIn(METHOD_CASES));

} // namespace
} // namespace qrn
