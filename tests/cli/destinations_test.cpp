// Trees and standard streams restored through the program: what comes back
// is what went in, whatever the thread count.
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

TEST(Destination, RecursiveTreesBothWays)
{
    ScratchDir d;
    const char* files[] = {"a.txt", "sub/b.txt", "sub/deeper/c.bin", "sub/empty.dat"};
    write_file(d / "mydir/a.txt", text_bytes(20000, 4));
    write_file(d / "mydir/sub/b.txt", text_bytes(7000, 5));
    write_file(d / "mydir/sub/deeper/c.bin", random_bytes(9000, 6));
    write_file(d / "mydir/sub/empty.dat", "");
    for (const char* threads : {"-p0", "-p3"}) {
        fs::remove_all(d / "out");
        fs::remove_all(d / "restored");
        RunResult r = run_quarnix(d.path, std::string("-12 -r ") + threads + " mydir out");
        ASSERT_EQ(r.status, 0) << r.err;
        RunResult back = run_quarnix(d.path, std::string("-d -r ") + threads + " out/mydir restored");
        ASSERT_EQ(back.status, 0) << back.err;
        for (const char* f : files) {
            EXPECT_TRUE(fs::is_regular_file(d / "restored/mydir" / f)) << f;
            EXPECT_TRUE(read_file(d / "restored/mydir" / f) == read_file(d / "mydir" / f)) << f;
        }
    }
    // Decompressing a tree hands every file to the reader: a file that is no
    // container is reported, the walk goes on, and the status says so.
    write_file(d / "out/mydir/sub/stray.txt", "this text is longer than a header but is no container");
    RunResult mixed = run_quarnix(d.path, "-d -r out/mydir restored2");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("'out/mydir/sub/stray.txt' not qrn file\n"), std::string::npos) << mixed.err;
    EXPECT_TRUE(read_file(d / "restored2/mydir/sub/deeper/c.bin") == read_file(d / "mydir/sub/deeper/c.bin"));
}

TEST(Destination, DeepTreesStopAtAHundredOpenLevels)
{
    ScratchDir d;
    fs::path p = d / "t";
    for (int i = 0; i < 103; ++i)
        p /= "d";
    fs::create_directories(p);
    write_file(p / "leaf", "deep");
    write_file(d / "t/d/d/shallow", "near");
    RunResult r = run_quarnix(d.path, "-11 -r t out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(d / "out/t/d/d/shallow.qrn"));
    // t plus 99 levels below it are entered; the 100th level is created but
    // not entered, so nothing below it exists in the output.
    fs::path created = d / "out/t";
    for (int i = 0; i < 100; ++i)
        created /= "d";
    EXPECT_TRUE(fs::is_directory(created));
    EXPECT_FALSE(fs::exists(created / "d"));
}

TEST(StandardStreams, BothWaysAndOutputNames)
{
    ScratchDir d;
    const std::string data = text_bytes(200000, 7) + random_bytes(70000, 8);
    write_file(d / "in", data);
    for (const char* threads : {"-p0", "-p2"}) {
        RunResult c = run_quarnix(d.path, std::string("-11 -b64K ") + threads, "<in >in.qrn");
        ASSERT_EQ(c.status, 0) << c.err;
        RunResult x = run_quarnix(d.path, std::string("-d ") + threads, "<in.qrn >back");
        ASSERT_EQ(x.status, 0) << x.err;
        EXPECT_TRUE(read_file(d / "back") == data);
        // -o sends the output of a named input to standard output.
        RunResult o = run_quarnix(d.path, std::string("-d -o ") + threads + " in.qrn", ">back2");
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(read_file(d / "back2") == data);
    }
    // Decompressing cuts a trailing ".qrn" in any letter case; a name of 4
    // characters loses it too, a shorter one is kept whole.
    for (const auto& [name, made] : {std::pair{"r.QRN", "r"}, {"x.qrn", "x"}, {"qrn", "qrn"}}) {
        ASSERT_EQ(run_quarnix(d.path, std::string("-d in.qrn ") + name).status, 0) << name;
        EXPECT_TRUE(read_file(d / made) == data) << name;
    }
    // A redirected regular file has a known size and a place to rewrite the
    // integrity fields: level 1 gets blocks of its size (264 KiB: code 529)
    // and the fields. Through pipes it keeps its 64 MiB blocks (code 128) and
    // leaves the fields zero.
    ASSERT_EQ(run_quarnix(d.path, "-11", "<in >redirected.qrn").status, 0);
    EXPECT_EQ(read_file(d / "redirected.qrn").substr(4, 14), std::string("IX1\x02\xB0\x1E\x04\0\0\0\0\0\x11\x02", 14));
    const std::string cmd = "cd '" + d.path.string() + "' && cat in | '" QRN_QUARNIX_PATH "' -11 | cat > piped.qrn";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(d / "piped.qrn").substr(4, 14), std::string(12, '\0') + std::string("\x80\x00", 2));
}

} // namespace
} // namespace qrn
