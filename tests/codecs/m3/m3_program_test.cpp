// Method 3 through the built program: levels 0-2, inline and with two
// workers, over single and several blocks (a tar name brings the x86 filter).
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

TEST(M3Program, FastLevelsRoundTrip)
{
    ScratchDir dir;
    std::string mixed = text_bytes(300000, 1) + random_bytes(50000, 2) + std::string(60000, 'z');
    mixed += mixed.substr(1000, 200000);
    const std::pair<std::string, std::string> files[] = {
        {"empty", ""},
        {"one", "a"},
        {"three", "abc"},
        {"text", text_bytes(1 << 20, 3)},
        {"random", random_bytes(100000, 4)},
        {"mixed", mixed},
        {"mixed.tar", mixed},
    };
    for (const auto& [name, data] : files)
        write_file(dir / name, data);

    const char* options[] = {"-30", "-31", "-32", "-30 -D12", "-31 -D16", "-32 -D20", "-32 -b64K", "-30 -b100K"};
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
                    EXPECT_LT(read_file(dir / (name + ".qrn")).size(), data.size() / 4) << tag;
                }
            }
        }
    }
}

} // namespace
} // namespace qrn
