// qrn-ans-bench: the eight-lane rANS coder alone, each build of it that this
// processor runs, in symbols per second, on skewed byte streams (geometric distributions) and optionally on
// the first 8 MiB of a file. One segment, coded in chunks as method 3 codes a
// stream; best of 7 runs on this thread's processor time; every decode is
// checked against the input, and every build's segment against the scalar
// build's.
//   qrn-ans-bench [FILE]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <vector>

#include "ans/ans.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t CHUNK = 14336;
constexpr size_t STREAM_BYTES = 8u << 20;

double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Speed {
    double encode = 1e9, decode = 1e9;  // best seconds
    std::vector<uint8_t> segment;
};

bool measure_build(const qrn::AnscBuild& build, const std::vector<uint8_t>& symbols, Speed& speed)
{
    const auto n = static_cast<uint32_t>(symbols.size());
    std::vector<uint8_t> segment(qrn::ansc_bound(n, CHUNK) + 64), back(n + 64);
    for (int run = 0; run < 7; ++run) {
        qrn::AnscContext enc;
        qrn::ansc_reset(enc);
        double t = thread_seconds();
        uint8_t* end =
            build.encode(enc, symbols.data(), n, CHUNK, segment.data(), segment.data() + segment.size() - 64);
        speed.encode = std::min(speed.encode, thread_seconds() - t);
        speed.segment.assign(segment.data(), end);

        t = thread_seconds();
        qrn::AnscContext dec;
        const uint8_t* p = segment.data();
        bool ok = qrn::ansc_read_header(dec, &p, end);
        for (uint32_t i = 0; ok && i < n; i += CHUNK) {
            p = build.decode(dec, p, end, std::min(CHUNK, n - i), back.data() + i);
            ok = p != nullptr;
        }
        speed.decode = std::min(speed.decode, thread_seconds() - t);
        if (!ok || std::memcmp(back.data(), symbols.data(), n) != 0)
            return false;
    }
    return true;
}

// One line per stream: bits per symbol, then encode/decode Msym/s per build.
bool measure(const char* name, const std::vector<uint8_t>& symbols)
{
    const auto n = static_cast<double>(symbols.size());
    std::vector<Speed> speeds;
    for (const qrn::AnscBuild& build : qrn::ansc_builds()) {
        if (build.level > qrn::cpu_feature_level())
            continue;
        speeds.emplace_back();
        if (!measure_build(build, symbols, speeds.back())) {
            std::printf("%-18s %s: decode MISMATCH\n", name, build.name);
            return false;
        }
        if (speeds.back().segment != speeds.front().segment) {
            std::printf("%-18s %s: segment differs from the scalar build's\n", name, build.name);
            return false;
        }
    }
    std::printf("%-18s %9zu symbols  %.3f bits/symbol", name, symbols.size(),
                double(speeds.front().segment.size()) * 8 / n);
    size_t i = 0;
    for (const qrn::AnscBuild& build : qrn::ansc_builds())
        if (build.level <= qrn::cpu_feature_level()) {
            std::printf("  %s: encode %5.0f decode %5.0f", build.name, n / speeds[i].encode / 1e6,
                        n / speeds[i].decode / 1e6);
            ++i;
        }
    std::printf("  (Msym/s)\n");
    return true;
}

std::vector<uint8_t> geometric(double p, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::geometric_distribution<int> g(p);
    std::vector<uint8_t> v(STREAM_BYTES);
    for (auto& b : v)
        b = static_cast<uint8_t>(std::min(g(rng), 255));
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    bool ok = measure("geometric p=0.3", geometric(0.3, 1)) && measure("geometric p=0.05", geometric(0.05, 2));
    if (argc > 1) {
        std::ifstream f(argv[1], std::ios::binary);
        std::vector<uint8_t> bytes(STREAM_BYTES);
        f.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
        bytes.resize(static_cast<size_t>(f.gcount()));
        ok = ok && !bytes.empty() && measure("file bytes", bytes);
    }
    return ok ? 0 : 1;
}
