#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codecs/m2/m2_reference.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using namespace m2test;

// Compresses at level 9, decodes with the reference and the real decoder,
// and checks that each distance took its form.
std::vector<Token> round_trip(const Bytes& data, const std::string& what)
{
    uint32_t r = 0;
    const Bytes c = compress(data, 9, 0, &r);
    EXPECT_NE(r, CODEC_FAIL) << what;
    if (data.empty())
        return {};
    Bytes ref, out;
    std::vector<Token> tokens;
    EXPECT_TRUE(reference_decode(c, 9, &ref, &tokens)) << what;
    EXPECT_TRUE(ref == data) << what;
    EXPECT_EQ(decode(c, 9, uint32_t(data.size()), &out), data.size()) << what;
    EXPECT_TRUE(out == data) << what;
    for (const Token& t : tokens) {
        if (t.len == 0 || t.form == REPEAT)
            continue;
        const Form want = t.dist < 1024 ? SHORT : t.dist < 32768 ? L9_15 : t.dist < (1u << 23) ? L9_23 : L9_31;
        EXPECT_EQ(t.form, want) << what << " dist " << t.dist;
        EXPECT_GE(t.len, min_match(want, 9)) << what;
    }
    return tokens;
}

Bytes random_data(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng());
    return b;
}

TEST(M2Optimal, RoundTripsVariedInputs)
{
    for (const auto& [what, data] : testing::varied_inputs()) {
        round_trip(data, what);
        if (what.rfind("text", 0) == 0) {
            EXPECT_LE(compress(data, 9, 0).size(), compress(data, 2, 18).size()) << what;
        }
    }
}

TEST(M2Optimal, RepeatTokensAndForms)
{
    // The repeat distance is 1 at the start: a run is a literal and a
    // one-byte repeat token. A match that would end at the window's end
    // arrives at its last node; there, at an equal price, the shorter repeat
    // (8 bytes) is the last to arrive and stays, and the end token carries
    // the last byte.
    EXPECT_EQ(compress(Bytes(10, 'q'), 9, 0), (Bytes{0x7D, 'q', 0x10, 0, 'q'}));
    // Two stretches repeated at the same distance: the second is a repeat.
    Bytes data = random_data(3000, 1);
    Bytes copy(data.begin() + 10, data.begin() + 2000);
    copy[1000] ^= 0x55;
    data.insert(data.end(), copy.begin(), copy.end());
    const auto tokens = round_trip(data, "repeat after a change");
    EXPECT_NE(std::find(tokens.begin(), tokens.end(), Token{REPEAT, 1, 989, 2990}), tokens.end());
    // A distance beyond the four-byte form's 23 bits takes the five-byte form.
    Bytes huge = random_data((8u << 20) + 5000, 2);
    std::copy(huge.begin() + 100, huge.begin() + 1100, huge.end() - 2000);
    bool five = false;
    for (const Token& t : round_trip(huge, "8 MiB"))
        five |= t.form == L9_31;
    EXPECT_TRUE(five);
}

} // namespace
} // namespace qrn
