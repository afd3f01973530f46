// Level 0 against a plain parser written straight from its rules: the fast
// loops (dense and thinned-out probing, skip marks, one-branch probes) must
// choose exactly the same tokens.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codecs/m1/m1_format.h"
#include "codecs/m1/m1_support.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using m1test::Bytes;

// One byte at a time, every rule spelled out; `in` has zeroed slack past n.
Bytes reference_level0(const Bytes& data, int bits)
{
    const uint32_t n = static_cast<uint32_t>(data.size());
    if (n == 0)
        return {};
    Bytes in(data);
    in.resize(n + 64, 0);
    Bytes out(n + n / 128 + 64);
    uint8_t* op = out.data();
    std::vector<uint32_t> table(size_t(1) << bits, 0);
    auto hash = [&](uint32_t p) {
        const uint32_t word = in[p] | in[p + 1] << 8 | in[p + 2] << 16 | uint32_t(in[p + 3]) << 24;
        return (word * 123456791u) >> (32 - bits);
    };
    auto token = [&](uint32_t from, uint32_t count, uint32_t length, uint32_t distance) {
        op = m1_put_header(op, count, length, distance);
        std::copy(in.begin() + from, in.begin() + from + count, op);
        op += count;
    };
    const int64_t limit = int64_t(n) - 32;
    uint32_t anchor = 0, ip = 1;
    uint32_t start = 0, length = 0, distance = 0; // the match in hand at the final phase
    for (;;) {
        bool matched = false;
        for (;;) {
            if (uint64_t(ip) + 4 > n)
                break;
            const uint32_t h = hash(ip), c = table[h];
            table[h] = ip;
            if (ip - c <= 65535 && std::equal(in.begin() + ip, in.begin() + ip + 4, in.begin() + c)) {
                matched = true;
                start = ip;
                distance = ip - c;
                break;
            }
            ++ip;
            const uint32_t gap = ip - anchor;
            if (gap >= 128) {
                ip += std::min(gap / 128 + 1, 16u);
                if (int64_t(ip) >= limit)
                    break;
            }
        }
        if (!matched)
            break;
        // Forward in groups of 8; a group that reaches the limit ends the search.
        length = 4;
        bool final_phase = false;
        for (;;) {
            uint32_t same = 0;
            while (same < 8 && in[ip + length + same] == in[ip - distance + length + same])
                ++same;
            if (same < 8) {
                length += same;
                final_phase = int64_t(ip) + length >= limit;
                break;
            }
            length += 8;
            if (int64_t(ip) + length >= limit) {
                final_phase = true;
                break;
            }
        }
        if (final_phase)
            break;
        while (start > anchor && start - distance > 0 && in[start - 1] == in[start - distance - 1]) {
            --start;
            ++length;
        }
        table[hash(ip + 1)] = ip + 1;
        table[hash(ip + 2)] = ip + 2;
        token(anchor, start - anchor, length, distance);
        anchor = ip = start + length;
        if (bits >= 13) {
            table[hash(ip - 1)] = ip - 1;
            table[hash(ip - 2)] = ip - 2;
        }
        length = 0;
    }
    if (length && start < n && std::min(length, n - start) >= 4) {
        length = std::min(length, n - start);
        token(anchor, start - anchor, length, distance);
        anchor = start + length;
    }
    token(anchor, n - anchor, 0, 0);
    out.resize(size_t(op - out.data()));
    return out;
}

TEST(M1Level0, SameTokensAsThePlainParser)
{
    std::mt19937 rng(11);
    auto inputs = testing::varied_inputs();
    // Incompressible stretches of every length through the skip marks (128
    // bytes apart, constant advance from 1920 on) between runs of words: where
    // the probes land in a stretch decides what the table holds and which
    // repeats are found.
    Bytes gaps;
    const std::string words[] = {"alpha ", "beta ", "gamma ", "delta ", "epsilon ", "zeta "};
    for (uint32_t gap = 100; gap < 2400; gap += 37) {
        for (int w = 0; w < 8; ++w) {
            const std::string& word = words[rng() % 6];
            gaps.insert(gaps.end(), word.begin(), word.end());
        }
        const Bytes noise = testing::random_data(gap, rng());
        gaps.insert(gaps.end(), noise.begin(), noise.end());
    }
    inputs.emplace_back("gaps", gaps);
    // Ends near the search limit and the last probe position.
    for (size_t n = 28; n <= 44; ++n) {
        Bytes tail = testing::text_data(n, uint32_t(n));
        tail.insert(tail.begin(), 200, 'x');
        inputs.emplace_back("tail " + std::to_string(n), tail);
    }

    for (int bits : {10, 12, 13, 16})
        for (const auto& [what, data] : inputs) {
            const auto c = m1test::compress(data, 0, bits);
            ASSERT_NE(c.result, CODEC_FAIL) << what << ", bits " << bits;
            EXPECT_TRUE(c.bytes == reference_level0(data, bits)) << what << ", bits " << bits;
        }
}

} // namespace
} // namespace qrn
