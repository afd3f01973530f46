// The varied inputs every method's round-trip tests run over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/program.h"

namespace qrn::testing {

using Input = std::pair<std::string, std::vector<uint8_t>>;

inline std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n)
{
    return {v.begin() + ptrdiff_t(from), v.begin() + ptrdiff_t(from + n)};
}

// The empty block, tiny blocks, sizes around the fast loops' limits, text,
// structured binary, random data, a small alphabet, runs, periodic patterns
// (distances 1 to 16), long repeats near and beyond 64 KiB, and a mix of them.
inline std::vector<Input> varied_inputs()
{
    using Bytes = std::vector<uint8_t>;
    auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    std::vector<Input> v{{"empty", {}}};
    for (uint32_t n = 1; n <= 9; ++n) {
        v.push_back({"tiny random " + std::to_string(n), bytes(random_bytes(n, n))});
        v.push_back({"tiny run " + std::to_string(n), Bytes(n, 'q')});
    }
    for (uint32_t n : {16, 31, 32, 33, 39, 40, 41, 63, 64, 65, 100, 127, 128, 129, 4095, 4096, 4097, 65539}) {
        v.push_back({"random " + std::to_string(n), bytes(random_bytes(n, n))});
        v.push_back({"text " + std::to_string(n), bytes(text_bytes(n, n))});
        v.push_back({"zeros " + std::to_string(n), Bytes(n, 0)});
    }
    v.push_back({"text", bytes(text_bytes(300000, 2))});
    v.push_back({"random", bytes(random_bytes(200000, 3))});
    v.push_back({"zeros", Bytes(300000, 0)});
    std::mt19937 rng(4);
    Bytes alphabet(200000), binary, runs, repeats, mixed;
    for (auto& b : alphabet)
        b = uint8_t(1 + rng() % 4);
    for (uint32_t i = 0; i < 40000; ++i)
        for (uint32_t x : {i * 3, i ^ 0x5555, 1000000u + (i % 17), uint32_t(i * 3 + (rng() % 4 == 0 ? rng() % 7 : 0))})
            for (int k = 0; k < 4; ++k)
                binary.push_back(uint8_t(x >> (8 * k)));
    while (runs.size() < 200000)
        runs.insert(runs.end(), rng() % 3 == 0 ? rng() % 2000 : rng() % 20, uint8_t(rng() % 4));
    const Bytes unit = bytes(random_bytes(20000, 5));
    for (int i = 0; i < 6; ++i) {
        repeats.insert(repeats.end(), unit.begin(), unit.end());
        repeats[repeats.size() - 1 - rng() % 20000] ^= 0x40;
    }
    v.insert(v.end(), {{"small alphabet", alphabet}, {"binary", binary}, {"runs", runs}, {"long repeats", repeats}});
    for (uint32_t period = 1; period <= 16; ++period) {
        const std::string unit = random_bytes(period, period + 1000);
        std::string p = random_bytes(5, 3);
        for (size_t i = 0; i < 3000 + period * 7; ++i)
            p += unit[i % period];
        v.push_back({"period " + std::to_string(period), bytes(p + random_bytes(40, 4))});
    }
    const std::string chunk = random_bytes(70000, 12);
    v.push_back({"far repeats", bytes(chunk + random_bytes(1000, 13) + chunk + chunk)});
    while (mixed.size() < 500000) {
        const size_t len = 1 + rng() % 2000;
        const uint32_t kind = mixed.size() < 10 ? 0 : rng() % 4;
        if (kind == 0) {
            for (size_t k = 0; k < len; ++k)
                mixed.push_back(uint8_t(rng()));
        } else if (kind == 1) {
            mixed.insert(mixed.end(), len, uint8_t(rng()));
        } else {  // copies from anywhere, or from near the 64 KiB distance limits
            const size_t reach = std::min<size_t>(mixed.size(), kind == 2 ? 70000 : 1 << 20);
            for (size_t k = 0, from = mixed.size() - 1 - rng() % reach; k < len; ++k)
                mixed.push_back(mixed[from + k]);
        }
    }
    v.push_back({"mixed", mixed});
    return v;
}

// Random bytes in which no two-byte sequence occurs twice (the level-9
// parsers take matches from 2 bytes on), then `length` bytes repeating them
// from distance `run`, then a byte that ends the match.
inline std::vector<uint8_t> fresh_run_then_match(uint32_t run, uint32_t length, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<bool> seen(65536);
    std::vector<uint8_t> data{static_cast<uint8_t>(rng())};
    while (data.size() < run) {
        const uint8_t b = static_cast<uint8_t>(rng());
        const uint32_t pair = data.back() << 8 | b;
        if (!seen[pair] && b != data.back()) {
            seen[pair] = true;
            data.push_back(b);
        }
    }
    for (uint32_t i = 0; i < length; ++i)
        data.push_back(data[data.size() - run]);
    data.push_back(static_cast<uint8_t>(data[data.size() - run] ^ 0x55));
    return data;
}

} // namespace qrn::testing
