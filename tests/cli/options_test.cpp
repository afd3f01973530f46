// Command-line parsing, usage text and refusals, checked through the program:
// its exit status, its standard error, and the header it writes.
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

std::string usage_text(const std::string& name)
{
    return "\nquarnix 1.2 (Aug 11 2014)\n"
           "\n Usage: " + name + " <options> <filename1> .. <filenameN> DESTINATION_DIR\n"
           "<options>\n"
           " -ml     m: compression method (1..4), l:compression level (0,1,2,9).\n"
           " -p#     #: number of processors/cores (default=autodetect). 0=disable multithreading\n"
           " -b#     #: block size in mb (default 64)\n"
           " -r      compress/decomp directories recursively\n"
           " -d      decomp\n"
           " -f      force overwrite of output file\n"
           " -o      write on standard output\n"
           "Ex.: quarnix -32 -f file.jpg ab*.txt backup_dir\n"
           "     quarnix -49 -r mydir/* backup_dir\n"
           "     quarnix -10 file file.qrn\n"
           "     cat file | ./quarnix -of -10 >file.qrn\n"
           "     quarnix -d -r backup_dir/* restore_dir\n"
           "     quarnix -d file.qrn file\n";
}

struct Header {
    uint16_t bsize_code;
    int method, level, filter;
    int32_t hash_bits;
};

Header read_header(const fs::path& p)
{
    const std::string h = read_file(p);
    EXPECT_GE(h.size(), 32u);
    auto u8 = [&](size_t i) { return static_cast<uint8_t>(h[i]); };
    return {static_cast<uint16_t>(u8(16) | u8(17) << 8), u8(18), u8(19), u8(20),
            static_cast<int32_t>(u8(24) | u8(25) << 8 | u8(26) << 16 | static_cast<uint32_t>(u8(27)) << 24)};
}

TEST(Usage, WholeTextUnderTwoProgramPaths)
{
    ScratchDir d;
    const std::string path = QRN_QUARNIX_PATH;
    // -h and a compression without a method show the last path component.
    for (const char* args : {"-h", "", "-p2 in out"}) {
        RunResult r = run_quarnix(d.path, args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, usage_text("quarnix")) << args;
        EXPECT_EQ(r.out, "");
    }
    // A bad level and an unknown option show the whole path.
    RunResult bad = run_quarnix(d.path, "-35 in out");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, usage_text(path));

    // The same under another program path.
    fs::create_directories(d / "bin");
    fs::create_symlink(path, d / "bin/qx");
    RunResult h = run_quarnix(d.path, "-h", "", "", (d / "bin/qx").string());
    EXPECT_EQ(h.err, usage_text("qx"));
    RunResult x = run_quarnix(d.path, "-x", "", "", (d / "bin/qx").string());
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(x.err, (d / "bin/qx").string() + ": unknown option -- x\n" + usage_text((d / "bin/qx").string()));
}

TEST(Options, ParserDiagnostics)
{
    ScratchDir d;
    const std::string path = QRN_QUARNIX_PATH;
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"-10 -q in out", "unknown option -- q"},
        {"-10 -b", "option requires an argument -- b"},
        {"-1", "option requires an argument -- 1"},
        {"--foo in out", "unknown option -- foo"},
        {"--foo=1 in out", "unknown option -- foo=1"},
        {"--repeat=1 -10 in out", "option doesn't take an argument -- repeat"},
        {"--rep=x -10 in out", "option doesn't take an argument -- rep"},
    };
    for (const auto& c : cases) {
        RunResult r = run_quarnix(d.path, c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err, path + ": " + c.message + "\n" + usage_text(path)) << c.args;
    }
}

TEST(Options, MethodFourNeedsLevelNine)
{
    ScratchDir d;
    for (const char* args : {"-40 in out", "-41 in out", "-4 2 in out", "-d -42"}) {
        RunResult r = run_quarnix(d.path, args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, "Only options -49 is available (not -40,-41,-42)\n") << args;
    }
}

TEST(Options, SettingsReachTheHeader)
{
    ScratchDir d;
    write_file(d / "in", text_bytes(1000, 1));
    const struct {
        const char* options;
        uint16_t bsize_code;
        int method, level;
        int32_t hash_bits;
    } cases[] = {
        {"-32", 3, 3, 2, 26},
        {"-3 2", 3, 3, 2, 26},
        {"-3265", 3, 3, 9, 0},        // 265 modulo 256
        {"-10 -22", 3, 2, 2, 26},     // the later option wins
        {"-10", 8, 1, 0, 16},         // level 0: fixed 4 MiB blocks
        {"-11", 3, 1, 1, 20},         // 1000 bytes: 1 KiB blocks
        {"-12 -b512K", 1025, 1, 2, 24},
        {"-12 -b512k", 1025, 1, 2, 24},
        {"-12 -b2", 4, 1, 2, 24},
        {"-12 -b0", 3, 1, 2, 24},     // automatic
        {"-12 -b4096", 3, 1, 2, 24},  // overflows to 0: automatic
        {"-11 -D5", 3, 1, 1, 10},
        {"-10 -D20", 8, 1, 0, 16},
        {"-11 -D20", 3, 1, 1, 20},
        {"-D20 -10", 8, 1, 0, 16},    // clamped for the final level
        {"-12 -v anything -S", 3, 1, 2, 24},
        {"-12 -p64", 3, 1, 2, 24},
        {"-12 -p0", 3, 1, 2, 24},
        {"-49", 3, 4, 9, 0},
    };
    for (const auto& c : cases) {
        fs::remove(d / "out.qrn");
        RunResult r = run_quarnix(d.path, std::string(c.options) + " in out.qrn");
        ASSERT_EQ(r.status, 0) << c.options << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.options;
        const Header h = read_header(d / "out.qrn");
        EXPECT_EQ(h.bsize_code, c.bsize_code) << c.options;
        EXPECT_EQ(h.method, c.method) << c.options;
        EXPECT_EQ(h.level, c.level) << c.options;
        EXPECT_EQ(h.hash_bits, c.hash_bits) << c.options;
    }
}

TEST(Options, NamesAfterOptionsAndPosixlyCorrect)
{
    ScratchDir d;
    write_file(d / "in", text_bytes(5000, 2));
    // Names may stand between options; a later option still counts.
    RunResult r = run_quarnix(d.path, "in -11 out.qrn -v x -12 -p1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_header(d / "out.qrn").level, 2);
    // With POSIXLY_CORRECT the options end at the first name: "-11" is then a
    // name, and a compression without a method prints the usage text.
    RunResult p = run_quarnix(d.path, "in -11 out2.qrn", "", "POSIXLY_CORRECT=1");
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, usage_text("quarnix"));
    EXPECT_FALSE(fs::exists(d / "out2.qrn"));
    // "--" ends the options: "-x" is a name.
    write_file(d / "-x", "abc");
    RunResult dd = run_quarnix(d.path, "-11 -- -x out3.qrn");
    EXPECT_EQ(dd.status, 0) << dd.err;
    EXPECT_TRUE(fs::exists(d / "out3.qrn"));
}

} // namespace
} // namespace qrn
