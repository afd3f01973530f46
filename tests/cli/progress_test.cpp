// The progress line: what it says, and that it shows in a terminal only,
// clears itself, and keeps away from messages.
#include <gtest/gtest.h>

#include "cli/progress.h"
#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

TEST(Progress, LineText)
{
    const std::string long_name(120, 'n');
    const struct {
        std::string name;
        int index, count;
        uint64_t done;
        int64_t size;
        double rate;
        std::string want;
    } cases[] = {
        {"a.tar", 1, 1, 50, 200, 25e6, "a.tar   25%    25.0 MB/s  0:00 left"},
        {"a.tar", 2, 5, 0, 3000000000, 2e6, "[2/5] a.tar    0%     2.0 MB/s  25:00 left"},
        {"a.tar", 3, 0, 7200, 10000, 1, "[3] a.tar   72%     0.0 MB/s  46:40 left"},
        {"a.tar", 1, 1, 10, 4, 0, "a.tar  100%     0.0 MB/s  -:-- left"},         // more than it said: 100%
        {"stdin", 1, 1, 2500000, -1, 1e6, "stdin  2.5 MB     1.0 MB/s"},             // size not known
        {"x\ny", 1, 1, 0, 10, 7200, "x\\ny    0%     0.0 MB/s  0:00 left"},          // one line whatever the name
        {long_name, 1, 1, 0, 10, 0, "..." + std::string(46, 'n') + "    0%     0.0 MB/s  -:-- left"},
        {"b", 1, 1, 0, 7200LL * 1000000, 1e6, "b    0%     1.0 MB/s  2:00:00 left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(progress_text(c.name, c.index, c.count, c.done, c.size, c.rate), c.want);
}

TEST(Progress, ShowsInATerminalOnly)
{
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no script";
    if (WINDOWS_TARGET)
        GTEST_SKIP() << "Wine's console redraws a terminal through escape sequences of its own, so the bytes "
                        "the terminal receives are not the ones the program wrote";
    ScratchDir d;
    // Level 9 runs for some seconds on this, well past the line's first second
    // (under an emulator about ten times slower, on a tenth of it).
#ifdef QRN_EMULATED
    write_file(d / "in", text_bytes(1000000, 3));
#else
    write_file(d / "in", text_bytes(6000000, 3));
#endif
    // `script` gives the program a pseudo-terminal for all three streams and
    // copies what it shows to its own standard output.
    auto in_terminal = [&](const std::string& args, int status) {
        const std::string cmd = "cd '" + d.path.string() + "' && script -qec \"'" + QRN_QUARNIX_PATH + "' " + args +
                                "\" /dev/null >shown 2>&1 </dev/null";
        const int rc = std::system(cmd.c_str());
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, status) << args;
        return read_file(d / "shown");
    };
    // The line shows and moves; the error about the next input clears it first.
    const std::string shown = in_terminal("-49 -p0 -f in nothere dest", 1);
    EXPECT_NE(shown.find("\r[1/2] in "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" \rcan't open input file 'nothere'"), std::string::npos) << shown;
    for (const char* off : {"--no-progress -49 -p1 -f in out.qrn", "--quiet -49 -p1 -f in out.qrn"})
        EXPECT_EQ(in_terminal(off, 0), "") << off;
    // Where standard error is not a terminal, --progress forces it; the line
    // is cleared at the end.
    const std::string forced = run_quarnix(d.path, "--progress -49 -p1 -f in out.qrn").err;
    EXPECT_NE(forced.find("\rin "), std::string::npos) << forced;
    ASSERT_GE(forced.size(), 2u);
    EXPECT_EQ(forced.back(), '\r');
    EXPECT_EQ(forced.find_first_not_of(" \r", forced.rfind("left") + 4), std::string::npos) << forced;
}

} // namespace
} // namespace qrn
