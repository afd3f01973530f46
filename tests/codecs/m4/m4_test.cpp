// Method 4: the format's rules, the compressor's choices (read back by a step
// reader written here from the format), damaged streams, round trips.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "codecs/m4/m4.h"
#include "codecs/m4/m4_encode.h"
#include "codecs/m4/m4_format.h"
#include "support/codec_run.h"
#include "support/inputs.h"

namespace qrn {
namespace {

using testing::Bytes;

const testing::Codec M4{4, m4_compress, m4_decompress};

Bytes compress(const Bytes& data) { return testing::codec_compress(M4, 9, 0, data).bytes; }

bool damaged(const Bytes& payload, uint32_t size) { return testing::codec_decode(M4, 9, payload, size).result != size; }

// One decoded step: literal (code 0), short repeat (-5), repeat ~index, or
// a new match (distance).
struct Step {
    int64_t code;
    uint64_t length;
    bool operator==(const Step&) const = default;
};
constexpr int64_t SHORT_REP = -5;

// The steps of a stream, read bit by bit as the format describes them,
// together with the bytes they produce (kept apart from the decoder under
// test; no damage checks: used on good streams only).
std::vector<Step> read_steps(const Bytes& payload, uint32_t size, Bytes* out)
{
    auto pr = std::make_unique<M4Probs>();
    pr->reset();
    M4Decoder rc;
    out->assign(1, static_cast<uint8_t>(rc.open(payload.data(), static_cast<uint32_t>(payload.size() / 4))));
    uint32_t state = 0, prev = 0, rep[4] = {1, 1, 1, 1};
    std::vector<Step> steps;
    auto length = [&](uint32_t s) -> uint64_t {
        if (rc.bit(pr->len_is_2[s][out->size() % 4]))
            return 2;
        uint32_t i = 0;
        while (!rc.bit(pr->len_prefix[s][i]))
            ++i;
        uint64_t v = 1;
        for (int j = static_cast<int>(i); j >= 0; --j)
            v = 2 * v + rc.bit(pr->len_bits[i][j]);
        return v + 1;
    };
    while (out->size() < size) {
        const uint32_t mb = (*out)[out->size() - rep[0]];
        Step step{0, 1};
        if (!rc.bit(pr->is_match[state][mb])) {
            uint32_t node = 1;
            bool same = state >= 5;
            for (int i = 7; i >= 0; --i) {
                const uint32_t b = (mb >> i) & 1;
                const uint32_t bit = same ? rc.bit(pr->lit_matched[mb][256 * b + node]) : rc.bit(pr->lit_plain[prev][node]);
                same = same && bit == b;
                node = 2 * node + bit;
            }
            out->push_back(static_cast<uint8_t>(node - 256));
            state = state < 4 ? 0 : state == 4 ? 1 : state <= 9 ? state - 3 : state - 6;
            prev = out->back();
            steps.push_back(step);
            continue;
        }
        if (!rc.bit(pr->is_rep[state])) {
            step.length = length(state);
            const uint64_t len = step.length;
            const uint32_t t = len == 2 ? 0 : len == 3 ? 1 : len == 4 ? 2 : len == 5 ? 3 : len <= 11 ? 4 : 5;
            uint32_t h = 0, l = 0;
            for (uint32_t k = 0; k < 4; ++k)
                h = 2 * h + rc.bit(pr->dist_nibbles[t][4 * h + 3 - k]);
            for (uint32_t k = 0; k < 4; ++k)
                l = 2 * l + rc.bit(pr->dist_nibbles[16 + h][4 * (((t << k) + l) % 16) + 3 - k]);
            const uint32_t slot = 16 * h + l;
            uint32_t d = slot;
            if (slot > 15) {
                const uint32_t nbits = ((slot + 16) >> 3) - 3, tree = nbits < 6 ? nbits : 6;
                uint32_t node = 1;
                for (uint32_t i = 0; i < tree; ++i)
                    node = 2 * node + rc.bit(pr->dist_extra[slot][node]);
                uint32_t extra = node - (1u << tree), direct = 0;
                if (nbits > 6) {
                    EXPECT_TRUE(rc.direct(nbits - 6, &direct));
                }
                d = ((8 + slot % 8) << nbits) + (extra << (nbits - tree) | direct);
            }
            rep[3] = rep[2], rep[2] = rep[1], rep[1] = rep[0], rep[0] = d;
            step.code = d;
            state = state < 7 ? 7 : 10;
        } else if (!rc.bit(pr->is_rep0[state])) {
            if (rc.bit(pr->is_short_rep[state][out->size() % 4])) {
                step = {SHORT_REP, 1};
                state = state < 7 ? 8 : 11;
            } else {
                step.code = ~0;
                state = state < 7 ? 9 : 12;
                step.length = length(state);
            }
        } else {
            const uint32_t index = !rc.bit(pr->rep_is_1) ? 1 : !rc.bit(pr->rep_is_2) ? 2 : 3;
            const uint32_t d = rep[index];
            for (uint32_t i = index; i > 0; --i)
                rep[i] = rep[i - 1];
            rep[0] = d;
            step.code = ~static_cast<int64_t>(index);
            state = state < 7 ? 9 : 12;
            step.length = length(state);
        }
        for (uint64_t i = 0; i < step.length; ++i)
            out->push_back((*out)[out->size() - rep[0]]);
        prev = out->back();
        steps.push_back(step);
    }
    return steps;
}

// Compresses, decodes with the decoder under test and with the step reader,
// and checks both against the data; returns the steps.
std::vector<Step> round_trip(const Bytes& data, const std::string& name = "")
{
    const Bytes packed = testing::round_trip(M4, 9, 0, data, name);
    if (data.empty())
        return {};
    EXPECT_EQ(packed.size() % 4, 0u) << name;
    Bytes read;
    const auto steps = read_steps(packed, static_cast<uint32_t>(data.size()), &read);
    EXPECT_TRUE(read == data) << name;
    return steps;
}

// The steps' state changes are checked by the step reader, which keeps its
// own; distance slots and length codes at hand-computed points.
TEST(M4Format, SlotsAndLengths)
{
    // distance: slot, extra bits
    const uint32_t slots[][3] = {{1, 1, 0}, {15, 15, 0}, {16, 16, 1}, {31, 23, 1}, {32, 24, 2}, {64, 32, 3},
                                 {1023, 63, 6}, {1024, 64, 7}, {65536, 112, 13}, {(1u << 30) - 1, 223, 26}};
    for (const auto& [d, slot, bits] : slots) {
        EXPECT_EQ(m4_slot(d), slot) << d;
        EXPECT_EQ(m4_slot_extra_bits(slot), bits) << d;
        EXPECT_LE(m4_slot_base(slot), d);
        EXPECT_LT(d - m4_slot_base(slot), 1ull << bits) << d;
    }
    // length: unary prefix i (3 and 4 one length bit, 5..8 two, ...), distance context
    const uint32_t lengths[][3] = {{3, 0, 1}, {4, 0, 2}, {5, 1, 3}, {8, 1, 4}, {9, 2, 4}, {11, 2, 4}, {12, 2, 5}, {17, 3, 5}};
    for (const auto& [length, prefix, context] : lengths) {
        EXPECT_EQ(m4_length_prefix(length), prefix) << length;
        EXPECT_EQ(m4_dist_context(length), context) << length;
    }
    EXPECT_EQ(m4_dist_context(2), 0u);
}

TEST(M4Compress, OneByteBlocks)
{
    // A one-byte block is two words whose value divided by 2^56 - 1 is the
    // byte (the carry of the flush reaches the first word for 0x01).
    for (uint32_t b = 0; b < 256; ++b) {
        const Bytes packed = compress({static_cast<uint8_t>(b)});
        ASSERT_EQ(packed.size(), 8u);
        const uint64_t v = uint64_t{load_le32(packed.data())} << 32 | load_le32(packed.data() + 4);
        EXPECT_EQ(v / M4_TOP, b);
        EXPECT_TRUE(testing::decodes_to(M4, 9, packed, {uint8_t(b)})) << b;
    }
}

// A block coded by hand with `code`, over a block buffer of zeros behind `start`.
Bytes hand_coded(const std::string& start, const std::function<void(M4StepCoder&)>& code)
{
    static Bytes block;
    block.assign(4096, 0);
    std::copy(start.begin(), start.end(), block.begin());
    Bytes out(4096);
    static M4Probs probs;
    M4StepCoder c;
    c.open(&probs, block.data(), out.data(), 4096);
    code(c);
    out.resize(c.finish());
    return out;
}

// Steps coded by hand decode to the bytes the format gives them: the block
// is built here from explicit distances, worked out by hand from the repeat
// rules (a short repeat keeps the distances; the chosen one moves to the
// front, those before it move down one).
TEST(M4Decode, HandCodedSteps)
{
    struct Op {
        char kind;   // 'l' literal byte, 'm' new match, 's' short repeat, 'r' repeat index
        uint32_t value, length, distance;   // byte, distance or index; the length; the distance the rules give
    };
    const Op ops[] = {
        {'l', 'b', 1, 0}, {'l', 'c', 1, 0}, {'m', 3, 3, 3},   // reps 3 1 1 1
        {'s', 0, 1, 3}, {'r', 0, 2, 3},                       // reps unchanged
        {'l', 'w', 1, 0}, {'l', 'x', 1, 0}, {'m', 4, 2, 4},   // 4 3 1 1
        {'l', 'q', 1, 0}, {'m', 7, 2, 7},                     // 7 4 3 1
        {'l', 'r', 1, 0}, {'m', 2, 2, 2},                     // 2 7 4 3
        {'r', 3, 2, 3},                                       // 3 2 7 4
        {'r', 2, 2, 7},                                       // 7 3 2 4
        {'r', 1, 2, 3},                                       // 3 7 2 4
        {'r', 3, 40, 4},                                      // 4 3 7 2
        {'m', 1, 600, 1},
    };
    Bytes block{'a'};
    for (const Op& op : ops) {
        if (op.kind == 'l') {
            block.push_back(static_cast<uint8_t>(op.value));
            continue;
        }
        for (uint32_t i = 0; i < op.length; ++i)
            block.push_back(block[block.size() - op.distance]);
    }
    const Bytes coded = hand_coded(std::string(block.begin(), block.end()), [&](M4StepCoder& c) {
        for (const Op& op : ops) {
            switch (op.kind) {
            case 'l': c.literal(); break;
            case 'm': c.match(op.value, op.length); break;
            case 's': c.short_rep(); break;
            default: c.rep(op.value, op.length); break;
            }
            EXPECT_EQ(c.st.rep[0], op.kind == 'l' ? c.st.rep[0] : op.distance);
        }
        EXPECT_EQ(c.pos, block.size());
    });
    EXPECT_TRUE(testing::decodes_to(M4, 9, coded, block));
}

TEST(M4Decode, DamageIsReportedNeverFollowed)
{
    const Bytes good = compress(testing::text_data(20000, 7));
    ASSERT_FALSE(good.empty());
    const auto abc_match_3_2 = [](M4StepCoder& c) { c.literal(), c.literal(), c.match(3, 2); };
    const struct {
        const char* what;
        Bytes payload;
        uint32_t size;
    } cases[] = {
        {"words missing", Bytes(good.begin(), good.end() - 8), 20000},
        {"not whole words", Bytes(good.begin(), good.end() - 2), 20000},
        {"one word", Bytes(good.begin(), good.begin() + 4), 1},
        {"first value 256", Bytes(8, 0xFF), 1},
        {"match from before the block", hand_coded("abc", [](M4StepCoder& c) { c.literal(), c.literal(), c.match(4, 2); }), 5},
        {"match of distance 0", hand_coded("abc", [](M4StepCoder& c) { c.literal(), c.literal(), c.match(0, 2); }), 5},
        {"match past the block's end", hand_coded("abc", abc_match_3_2), 4},
        {"repeat past the block's end", hand_coded("abc", [](M4StepCoder& c) { c.literal(), c.literal(), c.rep(0, 3); }), 4},
        {"a length whose unary prefix never ends", hand_coded("a", [](M4StepCoder& c) {
             c.rc.bit(c.pr->is_match[0]['a'], 1);
             c.rc.bit(c.pr->is_rep[0], 0);
             c.rc.bit(c.pr->len_is_2[0][1], 0);
             for (uint16_t& p : c.pr->len_prefix[0])
                 c.rc.bit(p, 0);
         }), 100},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(damaged(c.payload, c.size)) << c.what;
    EXPECT_FALSE(damaged(good, 20000));
    testing::expect_cuts_refused(M4, 9, good, 20000, 13);
    testing::decode_flipped(M4, 9, good, 20000, 500, 3);
    EXPECT_FALSE(damaged(hand_coded("abc", abc_match_3_2), 5));
    EXPECT_FALSE(damaged({}, 0));
}

TEST(M4Compress, Choices)
{
    // One repeated byte: after the first byte, one repeat of distance 1 to
    // the end, priced at its full length only.
    EXPECT_EQ(round_trip(Bytes(5000, 'q')), (std::vector<Step>{{~0, 4999}}));
    // Beside fresh bytes a match of 2 bytes is worth its price at distance
    // 63 but may not be taken at 64 (3 bytes from there on).
    auto has_match = [](const std::vector<Step>& steps, int64_t d, uint64_t length) {
        return std::find(steps.begin(), steps.end(), Step{d, length}) != steps.end();
    };
    EXPECT_TRUE(has_match(round_trip(testing::fresh_run_then_match(63, 2, 1)), 63, 2));
    EXPECT_FALSE(has_match(round_trip(testing::fresh_run_then_match(64, 2, 1)), 64, 2));
    EXPECT_TRUE(has_match(round_trip(testing::fresh_run_then_match(64, 3, 1)), 64, 3));
    // Long distances: slots beyond the tree's six extra bits (direct bits).
    Bytes far(300040);
    std::mt19937 rng(3);
    for (size_t i = 0; i < far.size(); ++i)
        far[i] = i < 300000 ? static_cast<uint8_t>(rng()) : far[i - (300000 - 10)];
    EXPECT_TRUE(has_match(round_trip(far), 300000 - 10, 40));
}

TEST(M4RoundTrip, VariedInputs)
{
    for (const auto& [name, data] : testing::varied_inputs())
        round_trip(data, name);
}

} // namespace
} // namespace qrn
