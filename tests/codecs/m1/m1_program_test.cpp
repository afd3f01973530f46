// Method 1 through the built program: every fast level, with default and
// other table sizes, inline and with two workers, over single and several blocks.
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

TEST(M1Program, FastLevelsRoundTrip)
{
    ScratchDir dir;
    std::string mixed = text_bytes(200000, 1) + random_bytes(50000, 2) + std::string(60000, 'z');
    mixed += mixed.substr(1000, 100000);
    const std::pair<std::string, std::string> files[] = {
        {"empty", ""},
        {"three", "abc"},
        {"text", text_bytes(1 << 20, 3)},
        {"random", random_bytes(100000, 4)},
        {"mixed", mixed},
    };
    for (const auto& [name, data] : files)
        write_file(dir / name, data);

    const char* options[] = {"-10", "-11", "-12", "-10 -D12", "-10 -D20", "-11 -D14", "-12 -D18", "-12 -b64K", "-10 -b100K"};
    for (const char* opt : options) {
        for (const char* threads : {"-p0", "-p2"}) {
            for (const auto& [name, data] : files) {
                const std::string tag = std::string(opt) + " " + threads + " " + name;
                fs::remove(dir / (name + ".qrn"));
                fs::remove(dir / (name + ".back"));
                RunResult r = run_quarnix(dir.path, std::string(opt) + " " + threads + " " + name + " " + name + ".qrn");
                ASSERT_EQ(r.status, 0) << tag << ": " << r.err;
                r = run_quarnix(dir.path, std::string("-d ") + threads + " " + name + ".qrn " + name + ".back");
                ASSERT_EQ(r.status, 0) << tag << ": " << r.err;
                ASSERT_TRUE(read_file(dir / (name + ".back")) == data) << tag;
                if (name == "text") {
                    EXPECT_LT(read_file(dir / (name + ".qrn")).size(), data.size() / 2) << tag;
                }
            }
        }
    }
}

} // namespace
} // namespace qrn
