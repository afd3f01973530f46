// The program's answers to its command lines: exit status, standard error and
// output byte for byte, the files each run leaves, and the header it writes.
#include <gtest/gtest.h>

#include <map>

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
           "     quarnix -49 -r mydir" + shown("/") + "* backup_dir\n"
           "     quarnix -10 file file.qrn\n"
           "     cat file | ./quarnix -of -10 >file.qrn\n"
           "     quarnix -d -r backup_dir" + shown("/") + "* restore_dir\n"
           "     quarnix -d file.qrn file\n";
}

std::vector<std::string> tree_of(const fs::path& root)
{
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root))
        names.push_back(e.path().lexically_relative(root).string() + (e.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
}

// The files every case starts from.
void make_fixture(const ScratchDir& d)
{
    write_file(d / "a.txt", text_bytes(5000, 1));
    write_file(d / "b.txt", "beta");
    write_file(d / "existing", "x");
    write_file(d / "old.qrn", "old");
    write_file(d / "ro.qrn", text_bytes(3000, 2));
    fs::permissions(d / "ro.qrn", fs::perms::owner_read | fs::perms::group_read);
    write_file(d / "keep/b.txt.qrn", "keep");
    write_file(d / "rand", random_bytes(300000, 3));
    write_file(d / "tree/a.txt", text_bytes(20000, 4));
    write_file(d / "tree/old.qrn", "an earlier container, skipped by compression");
    fs::create_directories(d / "tree/nothing");
    write_file(d / "tree/sub/c.txt", text_bytes(3000, 5));
    write_file(d / "tree/sub/empty.dat", "");
    if (!WINDOWS_TARGET)   // a Windows program under Wine sees the link's target, not a link
        fs::create_symlink("../../tree", d / "tree/sub/loop");
}

// What compressing the fixture's tree with -r into `base` makes.
std::vector<std::string> packed_tree(const std::string& base)
{
    std::vector<std::string> made;
    for (const char* f : {"", "tree/", "tree/a.txt.qrn", "tree/nothing/", "tree/sub/", "tree/sub/c.txt.qrn",
                          "tree/sub/empty.dat.qrn"})
        made.push_back(base + f);
    return made;
}

TEST(Program, StatusMessagesAndFilesLeft)
{
    const std::string path = QRN_QUARNIX_PATH;
    // The last component of the program's path: Wine starts quarnix.exe by that name.
    const std::string usage = usage_text(WINDOWS_TARGET ? "quarnix.exe" : "quarnix"), full_usage = usage_text(path);
    auto diagnostic = [&](const std::string& text) { return path + ": " + text + "\n" + full_usage; };
    ScratchDir bin;
    const std::string qx = (bin / "qx").string();
    fs::create_symlink(path, qx);
    const std::string no_space = "write error. errno=28 'No space left on device'\n";
    const std::string left_link = WINDOWS_TARGET ? "" : "quarnix: left out 1 symbolic link\n";
    const std::string left_link_qrn =   // tree/old.qrn
        WINDOWS_TARGET ? "quarnix: left out 1 .qrn file\n" : "quarnix: left out 1 symbolic link, 1 .qrn file\n";
    const std::string refused_level = "Only options -49 is available (not -40,-41,-42)\n";
    const struct {
        std::string args;
        int status;
        std::string err;
        std::vector<std::string> made = {};  // files and folders the run adds to the fixture
        std::string redirect = "", env = "", out = "", program = QRN_QUARNIX_PATH;
    } cases[] = {
        // -h and a compression without a method show the last path component,
        // a bad level and the parser's diagnostics the whole path.
        {.args = "-h", .status = 1, .err = usage},
        {.args = "", .status = 1, .err = usage},
        {.args = "-p2 a.txt out", .status = 1, .err = usage},
        {.args = "-35 a.txt out", .status = 1, .err = full_usage},
        {.args = "-h", .status = 1, .err = usage_text("qx"), .program = qx},
        {.args = "-x", .status = 1, .err = qx + ": unknown option -- x\n" + usage_text(qx), .program = qx},
        // With POSIXLY_CORRECT the options end at the first name: "-11" is a name.
        {.args = "a.txt -11 out.qrn", .status = 1, .err = usage, .env = "POSIXLY_CORRECT=1"},
        {.args = "--help", .status = 0, .err = "",
         .out = usage + "Long options:\n"
                        " --test    decompress and check every named container, writing nothing\n"
                        " --list    show method, level, sizes and integrity of every named container\n"
                        " --repeat  the same as -r\n"
                        " --quiet   no progress line and no closing line about entries a walk left out\n"
                        "           (errors are still shown)\n"
                        " --progress     show the progress line even where standard error is no terminal\n"
                        " --no-progress  never show the progress line\n"
                        " --memory=SIZE  plan level 9 (block size, workers at once) for SIZE bytes (K, M, G suffixes)\n"
                        " --help    this text\n --version the version\n"},
        {.args = "--version", .status = 0, .err = "", .out = "quarnix 1.2 (Aug 11 2014)\n"},
        {.args = "-10 -q a.txt out", .status = 1, .err = diagnostic("unknown option -- q")},
        {.args = "-10 -b", .status = 1, .err = diagnostic("option requires an argument -- b")},
        {.args = "-1", .status = 1, .err = diagnostic("option requires an argument -- 1")},
        {.args = "--foo a.txt out", .status = 1, .err = diagnostic("unknown option -- foo")},
        {.args = "--foo=1 a.txt out", .status = 1, .err = diagnostic("unknown option -- foo=1")},
        {.args = "--repeat=1 -10 a.txt out", .status = 1, .err = diagnostic("option doesn't take an argument -- repeat")},
        {.args = "--rep=x -10 a.txt out", .status = 1, .err = diagnostic("option doesn't take an argument -- rep")},
        {.args = "-40 a.txt out", .status = 1, .err = refused_level},
        {.args = "-41 a.txt out", .status = 1, .err = refused_level},
        {.args = "-4 2 a.txt out", .status = 1, .err = refused_level},
        {.args = "-d -42", .status = 1, .err = refused_level},
        // Destinations refused.
        {.args = "-12 a.txt existing", .status = 255, .err = "destination is not a directory\n"},
        {.args = "-12 -f a.txt existing", .status = 255, .err = "destination is not a directory\n"},
        {.args = "-d a.txt existing", .status = 255, .err = "destination is not a directory\n"},
        {.args = "-12 existing", .status = 255, .err = "destination is not a directory\n"},
        {.args = "-12 -o -r a.txt", .status = 1, .err = "can't recurse to stdout"},
        {.args = "-12 -o a.txt b.txt", .status = 1, .err = "can't process multiple files to stdout"},
        {.args = "-12 a.txt b.txt stdout", .status = 1, .err = "can't process multiple files to stdout"},
        {.args = "-12 -r a.txt stdout", .status = 1, .err = "can't recurse to stdout"},
        {.args = "-12 -f -r", .status = 1, .err = "can't recurse to stdout"},
        {.args = "-12 a.txt b.txt existing/sub", .status = 255, .err = "cannot create directory 'existing/sub'.\n"},
        // The output never replaces a file without -f, nor its own input.
        {.args = "-12 a.txt old.qrn", .status = 255, .err = "can't overwrite destination file\n"},
        {.args = "-11 -f ro.qrn ro.qrn", .status = 255,
         .err = "creat error 'ro.qrn' 'input and output are the same file'\n"},
        // An existing output ends the run at once, after what was under way.
        {.args = "-11 ro.qrn b.txt keep", .status = 255, .err = "creat error 'keep/b.txt.qrn' 'File exists'\n",
         .made = {"keep/ro.qrn.qrn"}},
        // One input to a missing name is written to exactly that name; a
        // read-only input is fine.
        {.args = "-12 a.txt packed", .status = 0, .err = "", .made = {"packed"}},
        {.args = "-11 ro.qrn copy.qrn", .status = 0, .err = "", .made = {"copy.qrn"}},
        // Several inputs: a missing destination is created, a folder without
        // -r is skipped silently; a lone argument is the destination.
        {.args = "-11 a.txt tree b.txt out", .status = 0, .err = "", .made = {"out/", "out/a.txt.qrn", "out/b.txt.qrn"}},
        {.args = "-11 lonely", .status = 0, .err = "", .made = {"lonely/"}},
        // A missing input is reported, the others still processed.
        {.args = "-11 nope a.txt out", .status = 1, .err = "can't open input file 'nope'. 'No such file or directory'\n",
         .made = {"out/", "out/a.txt.qrn"}},
        // Trees: containers and links are skipped, empty folders kept; the
        // top-level name's leading folders are not repeated; the walk never
        // enters its own destination.
        {.args = "-12 -r tree out", .status = 0, .err = left_link_qrn, .made = packed_tree("out/")},
        {.args = "-10 -r tree/sub out", .status = 0, .err = left_link,
         .made = {"out/", "out/sub/", "out/sub/c.txt.qrn", "out/sub/empty.dat.qrn"}},
        {.args = "-11 -r tree tree/backup", .status = 0, .err = left_link_qrn, .made = packed_tree("tree/backup/")},
        {.args = "-11 -r tree ./tree/sub/../backup2", .status = 0, .err = left_link_qrn, .made = packed_tree("tree/backup2/")},
        {.args = "-11 -r tree/sub tree", .status = 0,
         .err = "quarnix: tree/sub: skipped: it is the destination or lies inside it\n"},
        // Standard output carries the data: a write failure goes to standard
        // error, numbered and with the file's name.
        {.args = "-11 -b64K -o -p0 rand", .status = 1, .err = "Error: 102 " + no_space + "quarnix: rand: " + no_space,
         .redirect = ">/dev/full"},
        {.args = "-11 -b64K -o -p2 rand", .status = 1, .err = "Error: 102 " + no_space + "quarnix: rand: " + no_space,
         .redirect = ">/dev/full"},
    };
    for (const auto& c : cases) {
        // Windows shows the .exe's own path as the program's, whichever
        // script or link started it.
        if (WINDOWS_TARGET && (c.program == qx || c.err.find(path) != std::string::npos))
            continue;
        ScratchDir d;
        make_fixture(d);
        std::vector<std::string> want = tree_of(d.path);
        std::map<std::string, std::string> before;
        for (const std::string& name : want)
            if (fs::is_regular_file(d / name))
                before[name] = read_file(d / name);
        want.insert(want.end(), c.made.begin(), c.made.end());
        std::sort(want.begin(), want.end());
        want.erase(std::unique(want.begin(), want.end()), want.end());
        const RunResult r = run_quarnix(d.path, c.args, c.redirect, c.env, c.program);
        const std::string tag = c.env + c.args;
        EXPECT_EQ(r.status, c.status) << tag;
        // (The usage text has a "/" of its own in it: usage_text() places the separators.)
        const bool usage = (c.err + c.out).find("Usage:") != std::string::npos;
        EXPECT_EQ(r.err, usage ? c.err : shown(c.err)) << tag;
        EXPECT_EQ(r.out, usage ? c.out : shown(c.out)) << tag;
        EXPECT_EQ(tree_of(d.path), want) << tag;
        // No case writes over a file it found: inputs and refused outputs stay.
        for (const auto& [name, data] : before)
            EXPECT_TRUE(read_file(d / name) == data) << tag << ": " << name;
    }
}

TEST(Program, SettingsReachTheHeader)
{
    ScratchDir d;
    const std::string in = text_bytes(1000, 1);
    for (const char* name : {"in", "-x", "prog.exe"})
        write_file(d / name, in);
    write_file(d / "empty", "");
    const struct {
        const char* args;
        uint16_t bsize_code;
        int method, level, filter;
        int32_t hash_bits;
    } cases[] = {
        {"-32 in out.qrn", 3, 3, 2, 0, 26},
        {"-3 2 in out.qrn", 3, 3, 2, 0, 26},
        {"-3265 in out.qrn", 3, 3, 9, 0, 0},           // 265 modulo 256
        {"-10 -22 in out.qrn", 3, 2, 2, 0, 26},        // the later option wins
        {"in -11 out.qrn -v x -12 -p1", 3, 1, 2, 0, 24},  // names between options
        {"-11 -- -x out.qrn", 3, 1, 1, 0, 20},         // "--" ends the options
        {"-10 in out.qrn", 8, 1, 0, 0, 16},            // level 0: fixed 4 MiB blocks
        {"-11 in out.qrn", 3, 1, 1, 0, 20},            // 1000 bytes: 1 KiB blocks
        {"-11 empty out.qrn", 1, 1, 1, 0, 20},         // cut to the file: 0 KiB
        {"-10 empty out.qrn", 8, 1, 0, 0, 16},
        {"-12 prog.exe out.qrn", 3, 1, 2, 1, 24},      // the x86 filter by name
        {"-12 -b512K in out.qrn", 1025, 1, 2, 0, 24},
        {"-12 -b512k in out.qrn", 1025, 1, 2, 0, 24},
        {"-12 -b2 in out.qrn", 4, 1, 2, 0, 24},
        {"-12 -b0 in out.qrn", 3, 1, 2, 0, 24},        // automatic
        {"-12 -b4096 in out.qrn", 3, 1, 2, 0, 24},     // overflows to 0: automatic
        {"-11 -D5 in out.qrn", 3, 1, 1, 0, 10},
        {"-10 -D20 in out.qrn", 8, 1, 0, 0, 16},
        {"-11 -D20 in out.qrn", 3, 1, 1, 0, 20},
        {"-D20 -10 in out.qrn", 8, 1, 0, 0, 16},       // clamped for the final level
        {"-12 -v anything -S in out.qrn", 3, 1, 2, 0, 24},
        {"-12 -p64 in out.qrn", 3, 1, 2, 0, 24},
        {"-12 -p0 in out.qrn", 3, 1, 2, 0, 24},
        {"-49 in out.qrn", 3, 4, 9, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        fs::remove(d / "out.qrn");
        RunResult r = run_quarnix(d.path, c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::string h = read_file(d / "out.qrn");
        ASSERT_GE(h.size(), 32u);
        auto u8 = [&](size_t i) { return static_cast<uint8_t>(h[i]); };
        EXPECT_EQ(u8(16) | u8(17) << 8, c.bsize_code);
        EXPECT_EQ(u8(18), c.method);
        EXPECT_EQ(u8(19), c.level);
        EXPECT_EQ(u8(20), c.filter);
        EXPECT_EQ(int32_t(u8(24) | u8(25) << 8 | u8(26) << 16 | uint32_t(u8(27)) << 24), c.hash_bits);
    }
}

} // namespace
} // namespace qrn
