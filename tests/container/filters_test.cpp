// Content filters: the extension rule, the x86 branch converter on known and
// adversarial bytes, and the three-byte delta. Through the program: a real
// executable at every level (tests/cli), a delta container with the damaged ones.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "container/filters.h"

namespace qrn {
namespace {

TEST(Filters, ChosenByExtension)
{
    const struct {
        const char* name;
        uint8_t filter;
    } cases[] = {
        {"SETUP.EXE", FILTER_X86}, {"archive.tar", FILTER_X86}, {"lib/x.Dll", FILTER_X86},
        {"a.sys", FILTER_X86},     {"photo.tiff", FILTER_NONE}, {"a.b", FILTER_NONE},
        {"noext", FILTER_NONE},    {"dir.exe/file", FILTER_NONE}, {"dir.exe\\file", FILTER_NONE},
        {"trailing.", FILTER_NONE}, {"x.abcdefghijk", FILTER_NONE}, {"stdin", FILTER_NONE},
        {".tar", FILTER_X86},
    };
    for (const auto& c : cases)
        EXPECT_EQ(filter_for_name(c.name), c.filter) << c.name;
}

std::vector<uint8_t> convert(std::vector<uint8_t> v, bool encoding)
{
    x86_convert(v.data(), v.size(), 0, 0, encoding);
    return v;
}

// The converter one hit at a time, as the format defines it.
std::vector<uint8_t> reference_convert(std::vector<uint8_t> v, bool encoding)
{
    static const uint8_t allowed[8] = {1, 1, 1, 0, 1, 0, 0, 0};
    static const uint8_t bit_number[8] = {0, 1, 2, 2, 3, 3, 3, 3};
    auto sign = [](uint8_t b) { return b == 0x00 || b == 0xFF; };
    uint32_t mask = 0;
    size_t prev = static_cast<size_t>(-1);
    for (size_t pos = 0; pos + 4 < v.size();) {
        if ((v[pos] & 0xFE) != 0xE8) {
            ++pos;
            continue;
        }
        const size_t d = pos - prev;
        mask = d > 3 ? 0 : (mask << (d - 1)) & 7;
        prev = pos;
        if ((mask != 0 && (!allowed[mask] || sign(v[pos + 4 - bit_number[mask]]))) || !sign(v[pos + 4])) {
            mask = ((mask << 1) & 7) | 1;
            ++pos;
            continue;
        }
        uint32_t src = v[pos + 1] | v[pos + 2] << 8 | v[pos + 3] << 16 | uint32_t(v[pos + 4]) << 24;
        uint32_t dest;
        for (;;) {
            dest = encoding ? src + uint32_t(pos + 5) : src - uint32_t(pos + 5);
            const uint32_t i = bit_number[mask] * 8u;
            if (mask == 0 || !sign(uint8_t(dest >> (24 - i))))
                break;
            src = dest ^ ((1u << (32 - i)) - 1);
        }
        v[pos + 1] = uint8_t(dest);
        v[pos + 2] = uint8_t(dest >> 8);
        v[pos + 3] = uint8_t(dest >> 16);
        v[pos + 4] = (dest >> 24) & 1 ? 0xFF : 0x00;
        pos += 5;
    }
    return v;
}

TEST(Filters, X86KnownConversionsAndAdversarialBytes)
{
    // A call at position 0 with target +0x10 becomes absolute 0x10 + 5.
    EXPECT_EQ(convert({0xE8, 0x10, 0, 0, 0, 0x90}, true), (std::vector<uint8_t>{0xE8, 0x15, 0, 0, 0, 0x90}));
    // A negative displacement keeps its sign byte.
    EXPECT_EQ(convert({0x90, 0xE8, 0xF0, 0xFF, 0xFF, 0xFF}, true),
              (std::vector<uint8_t>{0x90, 0xE8, 0xF6, 0xFF, 0xFF, 0xFF}));
    // An E8 within the last 4 bytes is never converted; short blocks pass.
    for (size_t n = 0; n <= 8; ++n) {
        std::vector<uint8_t> v(n, 0x00);
        if (n > 0)
            v[n >= 4 ? n - 4 : 0] = 0xE8;
        EXPECT_EQ(convert(v, true), v) << n;
    }
    // A lone call at every offset of a block is found and converted, whichever
    // stride of the opcode search it falls in (16, 8 or 1 bytes at a time).
    for (size_t n : {40, 80}) {
        for (size_t at = 0; at + 5 <= n; ++at) {
            std::vector<uint8_t> v(n, 0x00);
            v[at] = 0xE9;
            v[at + 1] = 0x10;
            std::vector<uint8_t> want = v;
            want[at + 1] = static_cast<uint8_t>(0x10 + at + 5);
            EXPECT_EQ(convert(v, true), want) << n << " " << at;
        }
    }
    std::mt19937 rng(1);
    for (int round = 0; round < 3000; ++round) {
        // Dense E8/E9 runs with sign bytes, where the converter's masks
        // matter, across the converter's 64-byte windows: the same bytes as
        // the one-hit-at-a-time reference, both ways, and back again.
        std::vector<uint8_t> v(1 + rng() % (round % 2 ? 64 : 300));
        const uint8_t alphabet[] = {0xE8, 0xE9, 0x00, 0xFF, 0x0F, 0x80};
        for (auto& b : v)
            b = (rng() % 3 == 0) ? static_cast<uint8_t>(rng()) : alphabet[rng() % 6];
        for (bool encoding : {true, false})
            ASSERT_EQ(convert(v, encoding), reference_convert(v, encoding)) << round << " " << encoding;
        EXPECT_TRUE(convert(convert(v, true), false) == v) << round;
    }
}

TEST(Filters, Delta3)
{
    std::vector<uint8_t> v = {10, 20, 30, 11, 22, 33};
    delta3_encode(v.data(), v.size());
    EXPECT_EQ(v, (std::vector<uint8_t>{10, 20, 30, 1, 2, 3}));
    delta3_decode(v.data(), v.size());
    EXPECT_EQ(v, (std::vector<uint8_t>{10, 20, 30, 11, 22, 33}));
    // Bytes after the last complete group stay as they are.
    std::vector<uint8_t> w = {1, 2, 3, 9, 9, 9, 200, 100};
    delta3_encode(w.data(), w.size());
    EXPECT_EQ(w, (std::vector<uint8_t>{1, 2, 3, 8, 7, 6, 200, 100}));
    std::vector<uint8_t> two = {5, 6};
    delta3_encode(two.data(), two.size());
    EXPECT_EQ(two, (std::vector<uint8_t>{5, 6}));
}

} // namespace
} // namespace qrn
