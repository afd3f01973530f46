// Memory that fits the process: level 9 under an address-space limit,
// --memory choosing blocks and refusing a -b that cannot fit, and a short
// raw record restored without a buffer of the block size.
#include <gtest/gtest.h>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

// Runs under `ulimit -v` (KiB) in the shell that starts the program.
std::string address_limit(int kib) { return "ulimit -v " + std::to_string(kib) + ";"; }

// The sanitizer's shadow memory, and the emulator that runs a cross build's
// program, need far more address space than any limit leaves.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves"
#elif defined(QRN_EMULATED)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the emulator needs more address space than the limit leaves"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

TEST(Memory, LevelNineAndShortRecordsUnderAnAddressLimit)
{
    SKIP_UNDER_SANITIZER();
    ScratchDir d;
    write_file(d / "six", "abcdef");
    write_file(d / "text", text_bytes(20000, 7));
    for (const char* level : {"-19", "-29", "-39", "-49"})
        for (const char* threads : {"-p0", "-p2"})
            for (const char* input : {"six", "text"}) {
                SCOPED_TRACE(std::string(level) + " " + threads + " " + input);
                fs::remove(d / "c.qrn");
                const RunResult c = run_quarnix(d.path, std::string(level) + " " + threads + " " + input + " c.qrn",
                                                "", address_limit(400000));
                ASSERT_EQ(c.status, 0) << c.err;
                const RunResult back = run_quarnix(d.path, "-d -o c.qrn");
                EXPECT_EQ(back.status, 0) << back.err;
                EXPECT_EQ(back.out, read_file(d / input));
            }
    // A short raw record is restored without a buffer of the block size: a
    // 1 GiB block code; the six bytes are stored raw, through a pipe.
    write_file(d / "hello", "hello\n");
    ASSERT_EQ(run_quarnix(d.path, "-of -49 -b1024", "<hello >c.qrn").status, 0);
    for (const char* args : {"-d -o -p0 c.qrn", "-d -o -p2 c.qrn", "-d -o -p2", "--test c.qrn"}) {
        SCOPED_TRACE(args);
        const std::string redirect = std::string(args).find(".qrn") == std::string::npos ? "<c.qrn" : "";
        const RunResult r = run_quarnix(d.path, args, redirect, address_limit(500000));
        EXPECT_EQ(r.status, 0) << r.err;
        if (std::string(args).rfind("-d", 0) == 0) {
            EXPECT_EQ(r.out, "hello\n");
        }
    }
}

TEST(Memory, LimitChoosesTheBlockSize)
{
    ScratchDir d;
    write_file(d / "in", text_bytes(5000, 3));
    const std::pair<const char*, const char*> cases[] = {   // options, --list's block column
        {"-19 -p1 --memory=1G", "52.00 MiB"},      // a limit: 1 GiB / 20, rounded up to whole MiB
        {"-29 -p2 --memory=2048M", "52.00 MiB"},   // 2 GiB / 20 / 2 workers
        {"-49 -p1 --memory=100M", "5.00 MiB"},     // below the 32 MiB the machine's memory would give
        {"-39 -p1 --memory 3145728K", "154.00 MiB"},
    };
    for (const auto& [args, block] : cases) {
        SCOPED_TRACE(args);
        // From a pipe the block is not cut to the input's size.
        ASSERT_EQ(run_quarnix(d.path, std::string(args) + " -of", ">c.qrn <&0", "cat in |").status, 0);
        const RunResult list = run_quarnix(d.path, "--list c.qrn");
        EXPECT_NE(list.out.find(block), std::string::npos) << list.out;
        EXPECT_EQ(run_quarnix(d.path, "-d -o c.qrn").out, read_file(d / "in"));
    }
}

TEST(Memory, LimitRefusesWhatCannotFit)
{
    ScratchDir d;
    write_file(d / "in", "data");
    const std::pair<const char*, const char*> cases[] = {   // options, what the program says
        {"-19 -b1024 --memory=4G", "quarnix: -b1024 at level 9 needs about 11 GiB; the limit is 4 GiB\n"},
        {"-49 -b512 --memory=1g", "quarnix: -b512 at level 9 needs about 5.5 GiB; the limit is 1 GiB\n"},
        {"-29 -b64 --memory=512M", "quarnix: -b64 at level 9 needs about 704 MiB; the limit is 512 MiB\n"},
        {"-19 --memory=lots", "quarnix: --memory=lots: not a size (a number, with K, M or G)\n"},
        {"-19 --memory=0", "quarnix: --memory=0: not a size (a number, with K, M or G)\n"},
        {"-19 --memory=4GB", "quarnix: --memory=4GB: not a size (a number, with K, M or G)\n"},
    };
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(args);
        const RunResult r = run_quarnix(d.path, std::string(args) + " in out/c.qrn");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_FALSE(fs::exists(d / "out"));
    }
    // What fits goes ahead; other levels have no rule of memory.
    for (const char* args : {"-19 -b64 --memory=1G", "-12 -b1024 --memory=1M"}) {
        SCOPED_TRACE(args);
        fs::remove(d / "c.qrn");
        EXPECT_EQ(run_quarnix(d.path, std::string(args) + " in c.qrn").status, 0);
        EXPECT_EQ(run_quarnix(d.path, "-d -o c.qrn").out, "data");
    }
}

} // namespace
} // namespace qrn
