// Files users can trust: integrity fields catch truncation and damage, an
// interrupted run leaves nothing behind, one bad input spoils no other, and
// outputs keep their input's permissions and times.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

const std::string DATA = text_bytes(200000, 21) + random_bytes(150000, 22) + text_bytes(90000, 23);

// A container of DATA with both stored and compressed records.
std::string make_container(const ScratchDir& d, const char* method = "-12")
{
    write_file(d / "data", DATA);
    fs::remove(d / "data.qrn");
    EXPECT_EQ(run_quarnix(d.path, std::string(method) + " -b64K data data.qrn").status, 0);
    return read_file(d / "data.qrn");
}

// Restores the container `name` at -p0 and -p2: true when every run refused
// it with status 1, saying `says`, and left no output; false when every run
// restored DATA exactly (anything else fails the test).
bool refused(const ScratchDir& d, const std::string& name, const std::string& says, const std::string& what)
{
    int refusals = 0;
    for (const char* threads : {"-p0", "-p2"}) {
        RunResult r = run_quarnix(d.path, std::string("-d ") + threads + " " + name + " restored");
        if (r.status == 0) {
            EXPECT_TRUE(read_file(d / "restored") == DATA) << what << " " << threads;
        } else {
            ++refusals;
            EXPECT_EQ(r.status, 1) << what << " " << threads;
            EXPECT_NE(r.err.find(says), std::string::npos) << what << " " << threads << ": " << r.err;
            EXPECT_FALSE(fs::exists(d / "restored")) << what << " " << threads;
        }
        fs::remove(d / "restored");
    }
    EXPECT_TRUE(refusals == 0 || refusals == 2) << what;
    return refusals == 2;
}

TEST(Integrity, StatesListedTestedAndRestored)
{
    ScratchDir d;
    const std::string c = make_container(d);
    std::string length(8, '\0');
    for (size_t i = 0; i < 8; ++i)
        length[i] = static_cast<char>(DATA.size() >> (8 * i));
    EXPECT_EQ(c.substr(4, 12), "IX1\x02" + length);
    // A file of one block gets its complete header with its record, whatever
    // the thread count.
    write_file(d / "small", text_bytes(5000, 24));
    for (const char* threads : {"-p0", "-p2"}) {
        fs::remove(d / "small.qrn");
        ASSERT_EQ(run_quarnix(d.path, std::string("-12 ") + threads + " small small.qrn").status, 0);
        EXPECT_EQ(read_file(d / "small.qrn").substr(4, 5), std::string("IX1\x02\x88")) << threads;  // 5000 = 0x1388
        EXPECT_EQ(run_quarnix(d.path, "--test small.qrn").status, 0) << threads;
    }
    // A reader of the plain format ignores the fields: zeroed (as through a
    // pipe), the container still restores, unchecked.
    std::string plain = c, pending = c, unknown = c, sum = c;
    plain.replace(4, 12, std::string(12, '\0'));
    plain.replace(28, 4, std::string(4, '\0'));
    pending[7] = 1;
    unknown[7] = 9;
    sum[28] ^= 1;
    const struct {
        std::string name, container;
        const char* listed;   // the end of its --list line: all the bytes counted, no ratio where refused, and why
        const char* refusal;  // null where it restores
    } cases[] = {
        {"data.qrn", c, "complete   data.qrn", nullptr},
        {"plain.qrn", plain, "none       plain.qrn", nullptr},
        {"cut.qrn", c.substr(0, c.size() - 1000), "-  truncated  cut.qrn", "quarnix: cut.qrn: truncated"},
        {"short.qrn", c.substr(0, records_of(c).at(2).start), "-  truncated  short.qrn", "quarnix: short.qrn: truncated"},
        {"c32.qrn", c.substr(0, 32), "32 B   429.69 KiB       -  truncated  c32.qrn", "quarnix: c32.qrn: truncated"},
        {"c33.qrn", c.substr(0, 33), "33 B   429.69 KiB       -  truncated  c33.qrn", "quarnix: c33.qrn: truncated"},
        {"c40.qrn", c.substr(0, 40), "40 B   429.69 KiB       -  truncated  c40.qrn", "quarnix: c40.qrn: truncated"},
        {"p40.qrn", plain.substr(0, 40), "40 B          0 B       -  truncated  p40.qrn", "quarnix: p40.qrn: truncated"},
        {"after.qrn", plain + std::string("\0x", 2), "-  damaged records after.qrn",
         "quarnix: after.qrn: damaged: a record follows the short last one"},
        {"pending.qrn", pending, "incomplete pending.qrn", "quarnix: pending.qrn: incomplete"},
        {"unknown.qrn", unknown, "damaged    unknown.qrn", "quarnix: unknown.qrn: damaged header"},
        {"sum.qrn", sum, "complete   sum.qrn", "quarnix: sum.qrn: checksum mismatch"},
    };
    std::string names;
    for (const auto& v : cases) {
        write_file(d / v.name, v.container);
        names += " " + v.name;
    }
    // --list and --test write nothing.
    RunResult list = run_quarnix(d.path, "--list" + names);
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.out.rfind("Method Level      Block   Compressed     Original   Ratio  Integrity  Name\n", 0), 0u)
        << list.out;
    for (const auto& v : cases) {
        EXPECT_NE(list.out.find(std::string(v.listed) + "\n"), std::string::npos) << list.out;
        RunResult tested = run_quarnix(d.path, "--test -p2 " + v.name);
        EXPECT_EQ(tested.status, v.refusal ? 1 : 0) << v.name;
        EXPECT_TRUE(!v.refusal || tested.err.find(v.refusal) != std::string::npos) << v.name << tested.err;
        EXPECT_FALSE(fs::exists(d / "restored")) << v.name;
        EXPECT_EQ(refused(d, v.name, v.refusal ? v.refusal : "", v.name), v.refusal != nullptr) << v.name;
    }
    // --test says when there is nothing to check the content against.
    const std::string unchecked = ": no integrity fields: damage may go unnoticed\n";
    EXPECT_EQ(run_quarnix(d.path, "--test -p2 data.qrn").err, "");
    for (const char* threads : {"-p0", "-p2"})
        EXPECT_EQ(run_quarnix(d.path, std::string("--test ") + threads + " plain.qrn").err, "quarnix: plain.qrn" + unchecked);
    EXPECT_EQ(run_quarnix(d.path, "--test -", "<plain.qrn").err, "quarnix: stdin" + unchecked);
    // A name never breaks its line (on Windows "\\" cannot be part of one).
    if (WINDOWS_TARGET)
        return;
    write_file(d / "x\nb\\c\t.qrn", c);
    const RunResult named = run_quarnix(d.path, "--list 'x\nb\\c\t.qrn'");
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_NE(named.out.find(" x\\nb\\\\c\\t.qrn\n"), std::string::npos) << named.out;
}

TEST(Integrity, TruncationAndFlippedBytesAreCaught)
{
    ScratchDir d;
    for (const char* method : {"-12", "-22", "-32"}) {
        const std::string c = make_container(d, method);
        const std::vector<RecordSpan> spans = records_of(c);
        ASSERT_GT(spans.size(), 4u);
        bool stored = false, compressed = false;
        int flips = 0, flips_refused = 0;
        auto refused_copy = [&](const std::string& container, const std::string& what) {
            write_file(d / "x.qrn", container);
            return refused(d, "x.qrn", "quarnix: x.qrn: ", what);
        };
        for (const RecordSpan& s : spans) {
            (s.flag == 0 ? stored : compressed) = true;
            const std::string where = std::string(method) + " record at " + std::to_string(s.start);
            // Cut at the record's start and inside it.
            EXPECT_TRUE(refused_copy(c.substr(0, s.start), where + " cut before"));
            EXPECT_TRUE(refused_copy(c.substr(0, (s.start + s.end) / 2), where + " cut inside"));
            // One flipped byte anywhere in it is refused, or, where the
            // decoder never reads it (a coder's last flush byte), harmless:
            // never a wrong output.
            for (size_t at : {s.start + 1, s.start + 7, (s.start + s.end) / 2, s.end - 1}) {
                std::string flipped = c;
                flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
                flips_refused += refused_copy(flipped, where + " flip at " + std::to_string(at));
                ++flips;
            }
        }
        EXPECT_TRUE(stored && compressed) << method;
        EXPECT_GT(flips_refused * 5, flips * 4) << method;
    }
}

TEST(Batches, OneDamagedContainerSpoilsNoOther)
{
    ScratchDir d;
    write_file(d / "a.txt", text_bytes(150000, 31));
    write_file(d / "b.txt", text_bytes(150000, 32));
    ASSERT_EQ(run_quarnix(d.path, "-12 -b64K a.txt b.txt packed").status, 0);
    const std::string good = read_file(d / "packed/a.txt.qrn");
    write_file(d / "packed/bad.txt.qrn", good.substr(0, good.size() / 2));
    const std::vector<std::vector<std::string>> orders = {
        {"bad.txt", "a.txt", "b.txt"}, {"a.txt", "bad.txt", "b.txt"}, {"a.txt", "b.txt", "bad.txt"}};
    for (const auto& order : orders) {
        for (const char* threads : {"-p0", "-p1", "-p2"}) {
            std::string names;
            for (const std::string& n : order)
                names += " packed/" + n + ".qrn";
            for (const std::string& args : {std::string("-d ") + threads + names + " out",
                                            std::string("-d -r ") + threads + " packed out"}) {
                fs::remove_all(d / "out");
                RunResult r = run_quarnix(d.path, args);
                const fs::path base = args.find("-r") != std::string::npos ? d / "out/packed" : d / "out";
                EXPECT_EQ(r.status, 1) << args;
                EXPECT_NE(r.err.find(shown("quarnix: packed/bad.txt.qrn: truncated")), std::string::npos) << args << r.err;
                EXPECT_FALSE(fs::exists(base / "bad.txt")) << args;
                EXPECT_TRUE(read_file(base / "a.txt") == read_file(d / "a.txt")) << args;
                EXPECT_TRUE(read_file(base / "b.txt") == read_file(d / "b.txt")) << args;
            }
        }
    }
}

// Starts quarnix with `args` in `dir`, sends `sig` as soon as `watched`
// holds more than `bytes`, and returns the exit status (-1 when it ended
// before the signal).
int interrupt_when_written(const fs::path& dir, const std::vector<std::string>& args, const fs::path& watched,
                           int sig, uintmax_t bytes = 0)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(99);
        std::vector<char*> argv{const_cast<char*>(QRN_QUARNIX_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QRN_QUARNIX_PATH, argv.data());
        _exit(98);
    }
    int status = 0;
    std::error_code ec;
    for (int waited = 0; waited < 30000; ++waited) {
        if (fs::exists(watched) && (bytes == 0 || fs::file_size(watched, ec) > bytes))
            break;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, sig);
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Interruption, NothingLooksComplete)
{
    ScratchDir d;
    write_file(d / "big", text_bytes(24u << 20, 41));
    // Interrupted compression and decompression remove their output.
    EXPECT_EQ(interrupt_when_written(d.path, {"-32", "-p1", "-b1", "big", "big.qrn"}, d / "big.qrn", SIGINT), 130);
    EXPECT_FALSE(fs::exists(d / "big.qrn"));
    ASSERT_EQ(run_quarnix(d.path, "-32 -b1 big big.qrn").status, 0);
    // Wine turns SIGINT into the console's Ctrl-C event, and no other signal
    // into an event the program sees.
    for (const auto& [threads, sig] : {std::pair{"-p0", SIGINT}, {"-p2", WINDOWS_TARGET ? SIGINT : SIGHUP}}) {
        EXPECT_EQ(interrupt_when_written(d.path, {"-d", threads, "big.qrn", "back"}, d / "back", sig), 128 + sig);
        EXPECT_FALSE(fs::exists(d / "back")) << threads;
    }
    // Killed outright, compression leaves a container marked pending, which
    // is refused.
    fs::remove(d / "big.qrn");
    EXPECT_EQ(interrupt_when_written(d.path, {"-32", "-p1", "-b1", "big", "big.qrn"}, d / "big.qrn", SIGKILL, 32), 137);
    RunResult r = run_quarnix(d.path, "-d big.qrn back");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("big.qrn: incomplete"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(d / "back"));
}

TEST(Outputs, KeepTheInputsModeAndTime)
{
    ScratchDir d;
    // Windows keeps times to 100 ns and, of the permission bits, whether the
    // owner may write.
    auto mtime = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    if (WINDOWS_TARGET)
        mtime = std::chrono::time_point_cast<std::chrono::seconds>(mtime);
    const fs::perms modes[] = {fs::perms(0600), WINDOWS_TARGET ? fs::perms(0444) : fs::perms(0755)};
    for (const fs::perms mode : modes) {
        write_file(d / "f", text_bytes(5000, 51));
        fs::permissions(d / "f", mode);
        fs::last_write_time(d / "f", mtime);
        // An existing wider output is replaced, never kept wider.
        write_file(d / "f.qrn", "old");
        fs::permissions(d / "f.qrn", fs::perms(0666));
        fs::remove(d / "back");
        for (const char* args : {"-11 -f f f.qrn", "-d f.qrn back"}) {
            ASSERT_EQ(run_quarnix(d.path, args).status, 0) << args;
            const fs::path out = std::string(args).find("-d") != std::string::npos ? d / "back" : d / "f.qrn";
            if (WINDOWS_TARGET)
                EXPECT_EQ(fs::status(out).permissions() & fs::perms::owner_write, mode & fs::perms::owner_write) << args;
            else
                EXPECT_EQ(fs::status(out).permissions(), mode) << args;
            EXPECT_EQ(fs::last_write_time(out), mtime) << args;
        }
    }
}

} // namespace
} // namespace qrn
