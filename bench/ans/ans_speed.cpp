// qrn-ans-bench: the scalar eight-lane rANS coder alone, in symbols per
// second, on skewed byte streams (geometric distributions) and optionally on
// the first 8 MiB of a file. One segment, coded in chunks as method 3 codes a
// stream; best of 7 runs on this thread's processor time; every decode is
// checked against the input.
//   qrn-ans-bench [FILE]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <vector>

#include "ans/ans.h"

namespace {

constexpr uint32_t CHUNK = 14336;
constexpr size_t STREAM_BYTES = 8u << 20;

double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool measure(const char* name, const std::vector<uint8_t>& symbols)
{
    const auto n = static_cast<uint32_t>(symbols.size());
    std::vector<uint8_t> segment(qrn::ansc_bound(n, CHUNK) + 64), back(n + 64);
    double encode = 1e9, decode = 1e9;
    size_t size = 0;
    for (int run = 0; run < 7; ++run) {
        qrn::AnscContext enc;
        qrn::ansc_reset(enc);
        double t = thread_seconds();
        const uint8_t* end = qrn::ansc_encode_scalar(enc, symbols.data(), n, CHUNK, segment.data(),
                                                     segment.data() + segment.size() - 64);
        encode = std::min(encode, thread_seconds() - t);
        if (!end)
            return false;
        size = static_cast<size_t>(end - segment.data());

        t = thread_seconds();
        qrn::AnscContext dec;
        const uint8_t* p = segment.data();
        bool ok = qrn::ansc_read_header(dec, &p, end);
        for (uint32_t i = 0; ok && i < n; i += CHUNK) {
            p = qrn::ansc_decode_scalar(dec, p, end, std::min(CHUNK, n - i), back.data() + i);
            ok = p != nullptr;
        }
        decode = std::min(decode, thread_seconds() - t);
        if (!ok || std::memcmp(back.data(), symbols.data(), n) != 0) {
            std::printf("%-18s decode MISMATCH\n", name);
            return false;
        }
    }
    std::printf("%-18s %9u symbols  %.3f bits/symbol  encode %5.0f Msym/s  decode %5.0f Msym/s\n", name, n,
                double(size) * 8 / n, n / encode / 1e6, n / decode / 1e6);
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
