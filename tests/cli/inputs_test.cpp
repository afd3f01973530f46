// Inputs read to their end whatever size they report, the standard streams
// (`-` or implied) and the names of restored outputs, and tar's -I.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

// Restores `container` in `dir` to standard output.
std::string restored(const fs::path& dir, const std::string& container)
{
    const RunResult r = run_quarnix(dir, "-d -o " + container);
    EXPECT_EQ(r.status, 0) << container << ": " << r.err;
    return r.out;
}

TEST(Inputs, ReadToTheirEndWhateverTheirSize)
{
    ScratchDir d;
    // procfs files report a size of 0 and hold data.
    for (const char* threads : {"-p0", "-p2"}) {
        const RunResult r = run_quarnix(d.path, std::string("-10 -f ") + threads + " /proc/self/status s.qrn");
        ASSERT_EQ(r.status, 0) << threads << ": " << r.err;
        EXPECT_EQ(restored(d.path, "s.qrn").rfind("Name:", 0), 0u) << threads;
        EXPECT_NE(run_quarnix(d.path, "--list s.qrn").out.find("complete"), std::string::npos) << threads;
    }
    // Around one block: a file that said it fits one block but did not end
    // there gets its header rewritten like any other.
    for (const size_t size : {65535u, 65536u, 65537u}) {
        write_file(d / "f", text_bytes(size, static_cast<uint32_t>(size)));
        for (const char* threads : {"-p0", "-p2"}) {
            ASSERT_EQ(run_quarnix(d.path, std::string("-12 -f -b64K ") + threads + " f f.qrn").status, 0);
            EXPECT_TRUE(restored(d.path, "f.qrn") == read_file(d / "f")) << size << threads;
            EXPECT_EQ(run_quarnix(d.path, "--test f.qrn").status, 0) << size << threads;
        }
    }
}

TEST(Inputs, ThatShrinkFailAndThatGrowAreTakenWhole)
{
    ScratchDir d;
    const std::string original = text_bytes(4u << 20, 7), more = text_bytes(1u << 20, 8);
    // Level 9 with small blocks reads slowly enough that the file changes
    // once the first record is out and long before the read is over.
    for (const char* threads : {"-p0", "-p2"}) {
        for (const bool shrink : {true, false}) {
            write_file(d / "big", original);
            fs::remove(d / "big.qrn");
            std::atomic<bool> changed{false};
            std::thread change([&] {
                std::error_code ec;
                for (int ms = 0; ms < 60000; ++ms) {
                    const uintmax_t written = fs::file_size(d / "big.qrn", ec);
                    if (!ec && written > 64)
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (shrink) {
                    fs::resize_file(d / "big", original.size() / 2);
                } else {
                    std::ofstream f(d / "big", std::ios::binary | std::ios::app);
                    f << more;
                }
                changed = true;
            });
            const RunResult r = run_quarnix(d.path, std::string("-19 -b64K ") + threads + " big big.qrn");
            change.join();
            ASSERT_TRUE(changed.load());
            const std::string what = std::string(threads) + (shrink ? " shrink" : " grow");
            if (shrink) {
                EXPECT_EQ(r.status, 1) << what;
                EXPECT_EQ(r.err, "quarnix: big: the file shrank while it was read\n") << what;
                EXPECT_FALSE(fs::exists(d / "big.qrn")) << what;
            } else {
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                EXPECT_TRUE(restored(d.path, "big.qrn") == original + more) << what;
                EXPECT_EQ(run_quarnix(d.path, "--test big.qrn").status, 0) << what;
            }
        }
    }
}

// The standard streams both ways, named `-` or implied, over several blocks
// whatever the thread count, and the names of restored outputs.
TEST(Inputs, StandardStreamsAndOutputNames)
{
    ScratchDir d;
    const std::string data = text_bytes(200000, 7) + random_bytes(70000, 8);
    write_file(d / "a.txt", data);
    write_file(d / "b.txt", "beta");
    write_file(d / "-", "a file named dash");
    fs::create_directories(d / "dir");
    const struct {
        const char* args;
        const char* redirect;
        int status;
        const char* err;
        const char* made;      // a file the run writes, restoring to `content`
        const char* content;   // null: a.txt's data
    } cases[] = {
        {"-12 - one.qrn", "<a.txt", 0, "", "one.qrn", nullptr},
        {"-12 - -", "<a.txt >two.qrn", 0, "", "two.qrn", nullptr},
        {"-12 -o -", "<a.txt >three.qrn", 0, "", "three.qrn", nullptr},
        {"-12 ./- dash.qrn", "", 0, "", "dash.qrn", "a file named dash"},
        {"-d - back", "<one.qrn", 0, "", "back", nullptr},
        {"-d - -", "<two.qrn >back2", 0, "", "back2", nullptr},
        {"-11 -b64K -p0", "<a.txt >p0.qrn", 0, "", "p0.qrn", nullptr},
        {"-11 -b64K -p2", "<a.txt >p2.qrn", 0, "", "p2.qrn", nullptr},
        {"-d -p0", "<p2.qrn >back3", 0, "", "back3", nullptr},
        {"-d -p2", "<p0.qrn >back4", 0, "", "back4", nullptr},
        {"-d -o -p2 p0.qrn", ">back5", 0, "", "back5", nullptr},
        // A trailing ".qrn" is cut in any letter case, from a name of 4
        // characters too; a shorter one is kept whole.
        {"-d p0.qrn r.QRN", "", 0, "", "r", nullptr},
        {"-d p0.qrn y.qrn", "", 0, "", "y", nullptr},
        {"-d p0.qrn qrn", "", 0, "", "qrn", nullptr},
        {"-12 a.txt - x.qrn", "<a.txt", 1, "quarnix: -: standard input can't be one of several inputs\n", nullptr, nullptr},
        {"-12 -r - x", "<a.txt", 1, "quarnix: -: standard input can't be walked (-r)\n", nullptr, nullptr},
        {"-12 - dir", "<a.txt", 255, "quarnix: -: standard input needs an output file, not a directory\n", nullptr, nullptr},
        {"-12 a.txt b.txt -", "", 1, "can't process multiple files to stdout", nullptr, nullptr},
        {"-12 -r a.txt -", "", 1, "can't recurse to stdout", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const RunResult r = run_quarnix(d.path, c.args, c.redirect);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        if (!c.made)
            continue;
        const bool container = std::string(c.made).find(".qrn") != std::string::npos;
        const std::string got = container ? restored(d.path, c.made) : read_file(d / c.made);
        EXPECT_TRUE(got == (c.content ? c.content : data)) << c.args;
    }
    EXPECT_FALSE(fs::exists(d / "x.qrn"));
    EXPECT_TRUE(fs::is_empty(d / "dir"));
    // A redirected regular file has a known size and a place to rewrite the
    // integrity fields: level 1 gets blocks of its size (264 KiB: code 529)
    // and the fields. Through pipes it keeps its 64 MiB blocks (code 128) and
    // leaves the fields zero.
    ASSERT_EQ(run_quarnix(d.path, "-11", "<a.txt >redirected.qrn").status, 0);
    EXPECT_EQ(read_file(d / "redirected.qrn").substr(4, 14), std::string("IX1\x02\xB0\x1E\x04\0\0\0\0\0\x11\x02", 14));
    const std::string cmd = "cd '" + d.path.string() + "' && cat a.txt | '" QRN_QUARNIX_PATH "' -11 | cat > piped.qrn";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(d / "piped.qrn").substr(4, 14), std::string(12, '\0') + std::string("\x80\x00", 2));
}

TEST(Inputs, TarCompressesThroughTheProgram)
{
    if (std::system("command -v tar >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no tar";
    ScratchDir d;
    write_file(d / "src/a.txt", text_bytes(200000, 11));
    write_file(d / "src/sub/b.bin", random_bytes(5000, 12));
    // tar runs the program by name, adding -d to extract.
    const std::string path = "PATH='" + fs::path(QRN_QUARNIX_PATH).parent_path().string() + "':\"$PATH\" ";
    const std::string tar = path + "tar -I 'quarnix -of -32' ";
    const std::string cmd = "cd '" + d.path.string() + "' && " + tar + "-cf x.tar.qrn src && mkdir out && cd out && " +
                            tar + "-xf ../x.tar.qrn";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(run_quarnix(d.path, "--test x.tar.qrn").status, 0);
    for (const char* name : {"src/a.txt", "src/sub/b.bin"})
        EXPECT_TRUE(read_file(d / "out" / name) == read_file(d / name)) << name;
}

} // namespace
} // namespace qrn
