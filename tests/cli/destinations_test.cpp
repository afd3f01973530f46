// Inputs, destinations and output names, directory trees and standard
// streams, through the program.
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

std::vector<std::string> tree_of(const fs::path& root)
{
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root))
        names.push_back(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Destination, OneInputToAMissingName)
{
    ScratchDir d;
    write_file(d / "a.txt", text_bytes(5000, 1));
    // Compressing writes exactly the name given.
    ASSERT_EQ(run_quarnix(d.path, "-12 a.txt packed").status, 0);
    EXPECT_TRUE(fs::is_regular_file(d / "packed"));
    // Decompressing cuts a trailing ".qrn" in any letter case; a name of 4
    // characters loses it too, a shorter one is kept whole.
    for (const auto& [name, made] : {std::pair{"back.QRN", "back"}, {"x.qrn", "x"}, {"qrn", "qrn"}}) {
        ASSERT_EQ(run_quarnix(d.path, std::string("-d packed ") + name).status, 0) << name;
        EXPECT_TRUE(read_file(d / made) == read_file(d / "a.txt")) << name;
    }
    // The output never replaces an existing file without -f.
    RunResult again = run_quarnix(d.path, "-12 a.txt out.qrn");
    ASSERT_EQ(again.status, 0);
    RunResult refused = run_quarnix(d.path, "-12 a.txt out.qrn");
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, "can't overwrite destination file\n");
    EXPECT_EQ(run_quarnix(d.path, "-12 -f a.txt out.qrn").status, 0);
}

TEST(Destination, RefusalsAndTheirStatuses)
{
    ScratchDir d;
    write_file(d / "a.txt", "alpha");
    write_file(d / "b.txt", "beta");
    write_file(d / "existing", "x");
    const struct {
        const char* args;
        int status;
        const char* err;
    } cases[] = {
        {"-12 a.txt existing", 255, "destination is not a directory\n"},
        {"-12 -f a.txt existing", 255, "destination is not a directory\n"},
        {"-d a.txt existing", 255, "destination is not a directory\n"},
        {"-12 existing", 255, "destination is not a directory\n"},
        {"-12 -o -r a.txt", 1, "can't recurse to stdout"},
        {"-12 -o a.txt b.txt", 1, "can't process multiple files to stdout"},
        {"-12 a.txt b.txt stdout", 1, "can't process multiple files to stdout"},
        {"-12 -r a.txt stdout", 1, "can't recurse to stdout"},
        {"-12 -f -r", 1, "can't recurse to stdout"},
        {"-12 a.txt b.txt existing/sub", 255, "cannot create directory 'existing/sub'.\n"},
    };
    for (const auto& c : cases) {
        RunResult r = run_quarnix(d.path, c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
    // Nothing was written by any of them.
    EXPECT_EQ(tree_of(d.path), (std::vector<std::string>{"a.txt", "b.txt", "existing"}));
}

TEST(Destination, SeveralInputsIntoADirectory)
{
    ScratchDir d;
    write_file(d / "in/a.txt", text_bytes(3000, 2));
    write_file(d / "in/b.bin", random_bytes(3000, 3));
    fs::create_directories(d / "in/subdir");
    // Two inputs and a missing destination: the directory is created; a
    // directory given without -r is skipped silently.
    RunResult r = run_quarnix(d.path, "-11 in/a.txt in/subdir in/b.bin out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree_of(d / "out"), (std::vector<std::string>{"a.txt.qrn", "b.bin.qrn"}));
    RunResult back = run_quarnix(d.path, "-d out/a.txt.qrn out/b.bin.qrn back/");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(read_file(d / "back/a.txt") == read_file(d / "in/a.txt"));
    EXPECT_TRUE(read_file(d / "back/b.bin") == read_file(d / "in/b.bin"));
    // A lone argument is the destination: created, nothing processed.
    EXPECT_EQ(run_quarnix(d.path, "-11 lonely").status, 0);
    EXPECT_TRUE(fs::is_directory(d / "lonely"));
    EXPECT_TRUE(fs::is_empty(d / "lonely"));
    // A missing input is reported, the others are still processed, and the
    // run does not claim success.
    RunResult missing = run_quarnix(d.path, "-11 in/nope in/a.txt out2");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "can't open input file 'in/nope'. 'No such file or directory'\n");
    EXPECT_TRUE(fs::exists(d / "out2/a.txt.qrn"));
}

TEST(Destination, RecursiveTreesBothWays)
{
    ScratchDir d;
    write_file(d / "mydir/a.txt", text_bytes(20000, 4));
    write_file(d / "mydir/sub/b.txt", text_bytes(7000, 5));
    write_file(d / "mydir/sub/deeper/c.bin", random_bytes(9000, 6));
    write_file(d / "mydir/sub/empty.dat", "");
    write_file(d / "mydir/old.qrn", "an earlier container, skipped by compression");
    fs::create_directories(d / "mydir/nothing");
    fs::create_symlink("../mydir", d / "mydir/sub/loop");
    for (const char* threads : {"-p0", "-p3"}) {
        fs::remove_all(d / "out");
        fs::remove_all(d / "restored");
        RunResult r = run_quarnix(d.path, std::string("-12 -r ") + threads + " mydir out");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(tree_of(d / "out"),
                  (std::vector<std::string>{"mydir/", "mydir/a.txt.qrn", "mydir/nothing/", "mydir/sub/",
                                            "mydir/sub/b.txt.qrn", "mydir/sub/deeper/", "mydir/sub/deeper/c.bin.qrn",
                                            "mydir/sub/empty.dat.qrn"}));
        RunResult back = run_quarnix(d.path, std::string("-d -r ") + threads + " out/mydir restored");
        ASSERT_EQ(back.status, 0) << back.err;
        for (const char* f : {"a.txt", "sub/b.txt", "sub/deeper/c.bin", "sub/empty.dat"})
            EXPECT_TRUE(read_file(d / "restored/mydir" / f) == read_file(d / "mydir" / f)) << f;
    }
    // The top-level name's leading directories are not repeated in the output.
    RunResult inner = run_quarnix(d.path, "-10 -r mydir/sub out3");
    ASSERT_EQ(inner.status, 0) << inner.err;
    EXPECT_TRUE(fs::exists(d / "out3/sub/deeper/c.bin.qrn"));
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

TEST(StandardStreams, BothWays)
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
    // Piped data has no known size: level 1 then keeps its 64 MiB blocks
    // (code 128), where a redirected regular file gets blocks of its size.
    RunResult redirected = run_quarnix(d.path, "-11", "<in >redirected.qrn");
    ASSERT_EQ(redirected.status, 0);
    EXPECT_EQ(read_file(d / "redirected.qrn").substr(16, 2), std::string("\x11\x02", 2));  // 264 KiB: 529
    const std::string cmd = "cd '" + d.path.string() + "' && cat in | '" QRN_QUARNIX_PATH "' -11 > piped.qrn";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(d / "piped.qrn").substr(16, 2), std::string("\x80\x00", 2));
}

TEST(Inputs, NeverModifiedNorOverwritten)
{
    ScratchDir d;
    const std::string data = text_bytes(10000, 9);
    write_file(d / "a.qrn", data);
    fs::permissions(d / "a.qrn", fs::perms::owner_read | fs::perms::group_read);
    // Compressing a file onto itself is refused, and the input survives.
    RunResult same = run_quarnix(d.path, "-11 -f a.qrn a.qrn");
    EXPECT_EQ(same.status, 255);
    EXPECT_EQ(same.err, "creat error 'a.qrn' 'input and output are the same file'\n");
    EXPECT_TRUE(read_file(d / "a.qrn") == data);
    // A read-only input can be compressed.
    RunResult ro = run_quarnix(d.path, "-11 a.qrn copy.qrn");
    EXPECT_EQ(ro.status, 0) << ro.err;
    // An existing output makes the run end at once with status 255, after
    // finishing what was already under way.
    write_file(d / "x.txt", "xx");
    write_file(d / "out/x.txt.qrn", "keep");
    RunResult exists = run_quarnix(d.path, "-11 copy.qrn x.txt out");
    EXPECT_EQ(exists.status, 255);
    EXPECT_EQ(exists.err, "creat error 'out/x.txt.qrn' 'File exists'\n");
    EXPECT_EQ(read_file(d / "out/x.txt.qrn"), "keep");
    EXPECT_TRUE(fs::exists(d / "out/copy.qrn.qrn"));
}

} // namespace
} // namespace qrn
