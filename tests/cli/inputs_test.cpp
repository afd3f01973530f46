// Inputs read to their end whatever size they report, `-` for the standard
// streams, what --list and --test say about containers, and tar's -I.
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

} // namespace
} // namespace qrn
