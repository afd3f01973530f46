// Helpers for tests that run the built quarnix program in a scratch directory.
#pragma once

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Old segment-model words the header defines, and the tests use as names.
#undef near
#undef far
#else
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace qrn::testing {

namespace fs = std::filesystem;

// Whether test_cli runs a Windows build of the program (under Wine): it
// joins paths with "\\" in what it says, keeps no POSIX permission bits but
// the read-only one, and times to 100 ns.
#ifdef QRN_WINDOWS_TARGET
constexpr bool WINDOWS_TARGET = true;
#else
constexpr bool WINDOWS_TARGET = false;
#endif

// A message as the program under test writes it: with "\\" for "/" on Windows.
inline std::string shown(std::string text)
{
    if (WINDOWS_TARGET)
        std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// A fresh directory, removed with everything in it at the end of the test.
struct ScratchDir {
    fs::path path;
    ScratchDir()
    {
#ifdef _WIN32
        std::random_device seed;
        do
            path = fs::temp_directory_path() / ("qrn-test-" + std::to_string(seed()));
        while (!fs::create_directory(path));
#else
        std::string tmpl = (fs::temp_directory_path() / "qrn-test-XXXXXX").string();
        path = mkdtemp(tmpl.data());
#endif
    }
    ~ScratchDir() { fs::remove_all(path); }
    fs::path operator/(const std::string& name) const { return path / name; }
};

inline std::string read_file(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void write_file(const fs::path& p, const std::string& data)
{
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// Text-like data with plenty of repeats, so that every method finds matches.
inline std::string text_bytes(size_t n, uint32_t seed)
{
    static const char* words[] = {"block ", "record ", "stream ", "token ", "header ", "the ",
                                  "of ", "and ", "match ", "literal ", "distance\n", "quarnix "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n)
        s += words[rng() % 12];
    s.resize(n);
    return s;
}

// A container's records as its bytes lay them out: where each starts and
// ends, its flag byte and how many bytes it decodes to (the block size for a
// compressed record without a size field). `consistent` turns false where the
// records overrun the container or a compressed one is not smaller.
struct RecordSpan {
    size_t start, end;
    int flag;
    size_t decoded;
};

inline std::vector<RecordSpan> records_of(const std::string& c, bool* consistent = nullptr)
{
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(c[i])); };
    auto le32 = [&](size_t i) { return byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24; };
    bool ok = c.size() >= 32;
    const uint32_t code = ok ? byte(16) | byte(17) << 8 : 0;
    const size_t block = (code >> 1) * ((code & 1) ? 1024u : 1048576u);
    std::vector<RecordSpan> spans;
    for (size_t at = 32; ok && at < c.size();) {
        RecordSpan r{at, 0, static_cast<int>(byte(at)), 0};
        if (r.flag == 0) {
            r.end = std::min(c.size(), at + 1 + block);
            r.decoded = r.end - at - 1;
        } else {
            ok = (r.flag == 1 || r.flag == 3) && at + (r.flag == 3 ? 9 : 5) <= c.size();
            if (!ok)
                break;
            r.end = at + (r.flag == 3 ? 9 : 5) + le32(at + 1);
            r.decoded = r.flag == 3 ? le32(at + 5) : block;
            ok = r.end <= c.size() && le32(at + 1) < r.decoded;
        }
        spans.push_back(r);
        at = r.end;
    }
    if (consistent)
        *consistent = ok;
    return spans;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

#ifdef _WIN32
// Runs `quarnix <args>` in `dir` as run_quarnix does below, started directly
// (the shell's redirections and variables are not available: `args` is a
// plain list of words), with standard input empty.
inline RunResult run_quarnix(const fs::path& dir, const std::string& args, const std::string& = "",
                             const std::string& = "", const std::string& program = QRN_QUARNIX_PATH)
{
    const fs::path out = dir / ".stdout", err = dir / ".stderr";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto create = [&](const fs::path& p) {
        return CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    };
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    si.hStdOutput = create(out);
    si.hStdError = create(err);
    std::wstring line = L"\"" + fs::path(program).wstring() + L"\" " + std::wstring(args.begin(), args.end());
    PROCESS_INFORMATION pi{};
    RunResult r;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si, &pi)) {
        DWORD code = 0;
        if (WaitForSingleObject(pi.hProcess, 120000) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 255);
        else if (GetExitCodeProcess(pi.hProcess, &code))
            r.status = static_cast<int>(code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        CloseHandle(h);
    r.out = read_file(out);
    r.err = read_file(err);
    fs::remove(out);
    fs::remove(err);
    return r;
}
#else

// Runs `quarnix <args>` in `dir` through the shell, with a time limit so that
// a hang fails the test instead of stalling it. `redirect` may add "<file" or
// ">file"; standard output is captured unless it redirects it.
inline RunResult run_quarnix(const fs::path& dir, const std::string& args, const std::string& redirect = "",
                             const std::string& env = "", const std::string& program = QRN_QUARNIX_PATH)
{
    const fs::path out = dir / ".stdout", err = dir / ".stderr";
    const bool captures_stdout = redirect.find('>') == std::string::npos;
    std::string cmd = "cd '" + dir.string() + "' && " + env + " timeout 120 '" + program + "' " + args + " " + redirect;
    if (captures_stdout)
        cmd += " >'" + out.string() + "'";
    cmd += " 2>'" + err.string() + "'";
    if (redirect.find('<') == std::string::npos)
        cmd += " </dev/null";
    const int rc = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = captures_stdout ? read_file(out) : "";
    r.err = read_file(err);
    fs::remove(out);
    fs::remove(err);
    return r;
}
#endif

} // namespace qrn::testing
