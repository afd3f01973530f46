// Helpers for tests that run the built quarnix program in a scratch directory.
#pragma once

#include <sys/wait.h>

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

// A fresh directory, removed with everything in it at the end of the test.
struct ScratchDir {
    fs::path path;
    ScratchDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "qrn-test-XXXXXX").string();
        path = mkdtemp(tmpl.data());
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

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

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

} // namespace qrn::testing
