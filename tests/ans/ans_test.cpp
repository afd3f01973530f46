#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ans/ans.h"
#include "ans/ans_impl.h"
#include "common/bytes.h"
#include "platform/platform.h"

namespace qrn {
namespace {

std::vector<uint8_t> encode(const std::vector<uint8_t>& symbols, uint32_t chunk, AnscContext* out_ctx = nullptr,
                            AnscEncodeFn encoder = ansc_encode_scalar)
{
    AnscContext ctx;
    ansc_reset(ctx);
    std::vector<uint8_t> buf(ansc_bound(static_cast<uint32_t>(symbols.size()), chunk));
    uint8_t* end = encoder(ctx, symbols.data(), static_cast<uint32_t>(symbols.size()), chunk, buf.data(),
                                      buf.data() + buf.size());
    buf.resize(static_cast<size_t>(end - buf.data()));
    if (out_ctx)
        *out_ctx = ctx;
    return buf;
}

// Decodes a whole segment of `count` symbols; false on reported damage.
// The segment is copied into a buffer of exactly its size so that the
// sanitizers catch any read past it.
bool decode(const std::vector<uint8_t>& segment, uint32_t count, uint32_t chunk, std::vector<uint8_t>* symbols,
            AnscContext* out_ctx = nullptr, AnscDecodeFn decoder = ansc_decode_scalar)
{
    std::unique_ptr<uint8_t[]> data(new uint8_t[segment.size() + 1]);
    if (!segment.empty())
        std::memcpy(data.get(), segment.data(), segment.size());
    const uint8_t* pos = data.get();
    const uint8_t* end = pos + segment.size();
    AnscContext ctx;
    if (!ansc_read_header(ctx, &pos, end))
        return false;
    symbols->assign(count, 0);
    for (uint32_t done = 0; done < count; done += chunk) {
        const uint32_t n = std::min(chunk, count - done);
        pos = decoder(ctx, pos, end, n, symbols->data() + done);
        if (pos == nullptr)
            return false;
    }
    if (out_ctx)
        *out_ctx = ctx;
    return pos == end;
}

// Bytes of a bit string ('0' and '1') written most significant bit first,
// zero-padded to a byte.
std::vector<uint8_t> bits(const std::string& text)
{
    std::vector<uint8_t> out((text.size() + 7) / 8);
    for (size_t n = 0; n < text.size(); ++n)
        out[n / 8] |= static_cast<uint8_t>((text[n] == '1') << (7 - n % 8));
    return out;
}

// Elias gamma: as many zeros as v has bits after its first, then v.
std::string gamma_bits(uint32_t v)
{
    const int width = 32 - __builtin_clz(v);
    return std::string(static_cast<size_t>(width - 1), '0') + std::bitset<32>(v).to_string().substr(32 - width);
}

// A segment's bytes: eight lane states (little-endian; all but the last two
// untouched at 32768), then the rest.
std::vector<uint8_t> segment(uint32_t lane6, uint32_t lane7, std::initializer_list<std::vector<uint8_t>> rest)
{
    std::vector<uint8_t> out(32);
    for (int k = 0; k < 8; ++k)
        store_le32(out.data() + 4 * k, k == 6 ? lane6 : k == 7 ? lane7 : 32768);
    for (const auto& p : rest)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The multiply-and-shift quotient equals the division over the states the
// encoder meets (below f * 2^20 after renormalisation) and up to 2^31; the
// complement takes the rest of 2048. (The segment bytes below pin the rest.)
TEST(AnscTables, ReciprocalEntriesGiveExactQuotients)
{
    ansc_init_tables();
    std::mt19937 rng(7);
    for (uint32_t f = 2; f <= 2048; ++f) {
        const ReciprocalEntry& e = ansc_reciprocal(f);
        const uint32_t probes[] = {0, 1, f - 1, f, ANSC_STATE_LOW, (f << 20) - 1, 0x7FFFFFFFu,
                                   static_cast<uint32_t>(rng() & 0x7FFFFFFF)};
        for (uint32_t x : probes)
            ASSERT_EQ(static_cast<uint32_t>((uint64_t{x} * e.rcp) >> 32) >> e.shift, x / f) << f << " " << x;
        ASSERT_EQ(e.complement, 2048 - f) << f;
    }
}

// Counts scaled to 2048 with the rounding spread and repaired from the
// largest donor; the result is the highest symbol + 1.
TEST(AnscNormalize, SpreadsRoundingAndRepairsFromLargestDonor)
{
    auto counts = [](std::initializer_list<std::pair<uint8_t, size_t>> runs) {
        std::vector<uint8_t> v;
        for (const auto& [symbol, count] : runs)
            v.insert(v.end(), count, symbol);
        return v;
    };
    const struct {
        std::vector<uint8_t> symbols;
        std::vector<uint32_t> freq;  // of symbols 0, 1, ...
    } cases[] = {
        // 16382, 1, 1 of 16384: scaled 2047, 0, 1; symbol 1 takes a unit from 0.
        {counts({{0, 16382}, {1, 1}, {2, 1}}), {2046, 1, 1}},
        // One repeated symbol takes all of 2048.
        {counts({{77, 1000}}), std::vector<uint32_t>(77, 0)},
        // Ties between donors: 910, 910, 227, 0, 0, 0, 1; the three repairs
        // take from 0 (the root, inserted first), then 1 (0 came back at 909,
        // not above 1's 910), then 0.
        {counts({{0, 20000}, {1, 20000}, {2, 5000}, {3, 1}, {4, 1}, {5, 1}, {6, 1}}), {908, 909, 227, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        uint32_t f[256];
        std::vector<uint8_t> symbols = c.symbols;
        // The last symbol of each case is its highest.
        ASSERT_EQ(ansc_normalize(symbols.data(), uint32_t(symbols.size()), f), uint32_t(symbols.back() + 1));
        EXPECT_EQ(std::vector<uint32_t>(f, f + c.freq.size()), c.freq);
        if (c.freq.size() < symbols.back()) {
            EXPECT_EQ(f[symbols.back()], 2048u);
        }
    }
}

// Segments written out by hand: eight lane states, the count byte, the
// initial table (gamma codes of entry + 1), then each chunk's header.
TEST(AnscEncode, KnownSegmentBytes)
{
    std::vector<uint8_t> twice;
    std::string table16 = "00001111";  // m = 16, each entry 128
    for (int i = 0; i < 32; ++i) {
        twice.push_back(static_cast<uint8_t>(i % 16));
        table16 += i < 16 ? gamma_bits(129) : "";
    }
    const struct {
        const char* what;
        std::vector<uint8_t> symbols;
        uint32_t chunk;
        size_t at;  // where `bytes` start; 0: the whole segment
        std::vector<uint8_t> bytes;
    } cases[] = {
        // f = 1024, 1024 (one chunk, two tail symbols). Lane 1 takes symbol 1:
        // 32768 -> 32 * 2048 + 1024; lane 0 takes symbol 0: 32 * 2048. Header:
        // dc = 1 - 255 (zigzag 507), explicit mode (2 differences of 2 entries).
        {"0 1", {0, 1}, 16384, 0,
         segment(66560, 65536, {{1}, bits("00000001" + gamma_bits(1025) + gamma_bits(1025)),
                                bits(gamma_bits(508) + "1" + gamma_bits(2049) + gamma_bits(2049))})},
        // One symbol: states untouched, count byte 65, initial table m = 66 (65
        // zeros, 2048); header: dc = 65 - 255 (zigzag 379), run-length mode
        // (010), a run of 65, then +2048 (zigzag 4096).
        {"65 x 5000", std::vector<uint8_t>(5000, 65), 16384, 0,
         segment(32768, 32768, {{65}, bits("01000001" + std::string(65, '1') + gamma_bits(2049)),
                                bits(gamma_bits(380) + "010" + "1" + gamma_bits(65) + gamma_bits(4097))})},
        // Two chunks with the same table: chunk 0's header is dc = 0 (bit 1),
        // run-length mode (010), one run of 16 entries (1, gamma(16)).
        {"0..15 twice", twice, 16, 33 + bits(table16).size(), bits("1" "010" "1" + gamma_bits(16))},
    };
    for (const auto& c : cases) {
        const auto seg = encode(c.symbols, c.chunk);
        ASSERT_GE(seg.size(), c.at + c.bytes.size()) << c.what;
        EXPECT_EQ(c.at ? std::vector<uint8_t>(seg.begin() + c.at, seg.begin() + c.at + c.bytes.size()) : seg, c.bytes)
            << c.what;
        std::vector<uint8_t> back;
        ASSERT_TRUE(decode(seg, static_cast<uint32_t>(c.symbols.size()), c.chunk, &back)) << c.what;
        EXPECT_EQ(back, c.symbols) << c.what;
    }
}

TEST(AnscEncode, StaleEntriesAboveCountTravelInInitialTable)
{
    // Chunk 0 uses symbols 0..1, chunk 1 symbols 0..9: the initial table holds
    // chunk 0's two entries and chunk 1's leftovers 2..9 (m = 10 > count 2).
    std::vector<uint8_t> symbols;
    for (int i = 0; i < 200; ++i)
        symbols.push_back(static_cast<uint8_t>(i < 100 ? i & 1 : i % 10));
    AnscContext enc;
    const auto seg = encode(symbols, 100, &enc);
    EXPECT_EQ(seg[32], 1);
    EXPECT_EQ(enc.last_symbol, 1u);
    EXPECT_EQ(enc.freq[0], 1024u);
    EXPECT_EQ(enc.freq[9], 204u + 1);  // chunk 1: floor(2048 k / 10) steps
    AnscContext dec;
    const uint8_t* pos = seg.data();
    ASSERT_TRUE(ansc_read_header(dec, &pos, seg.data() + seg.size()));
    EXPECT_EQ(dec.last_symbol, enc.last_symbol);
    EXPECT_EQ(0, std::memcmp(dec.freq, enc.freq, sizeof enc.freq));

    std::vector<uint8_t> back;
    AnscContext after;
    ASSERT_TRUE(decode(seg, 200, 100, &back, &after));
    EXPECT_EQ(back, symbols);
    // After the last chunk's header the decoder holds the encoder's starting
    // context again.
    EXPECT_EQ(after.last_symbol, 255u);
    for (uint32_t f : after.freq)
        ASSERT_EQ(f, 0u);
}

std::vector<uint8_t> make_stream(std::mt19937& rng, size_t n, int kind)
{
    std::vector<uint8_t> s(n);
    std::geometric_distribution<int> geo(kind == 1 ? 0.3 : 0.05);
    for (size_t i = 0; i < n; ++i) {
        switch (kind) {
        case 0: s[i] = static_cast<uint8_t>(rng()); break;
        case 1:
        case 2: s[i] = static_cast<uint8_t>(std::min(geo(rng), 255)); break;
        default:  // alphabet drifting with position, rare outliers
            s[i] = (rng() % 1000 == 0) ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(i / 4096 + rng() % 4);
            break;
        }
    }
    return s;
}

// Every build this processor runs writes the scalar build's bytes, and each
// decoder reads every build's segments.
TEST(AnscRoundTrip, LengthsChunkSizesAndDistributionsInEveryBuild)
{
    ansc_init_tables();
    std::vector<AnscBuild> builds;   // those this processor runs, the scalar one first
    for (const AnscBuild& b : ansc_builds())
        if (b.level <= cpu_feature_level())
            builds.push_back(b);
    std::mt19937 rng(12345);
    const uint32_t chunk_sizes[] = {12288, 14336, 16384, 8, 13, 1, 65535};
    const size_t lengths[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 100, 1000};
    for (uint32_t q : chunk_sizes) {
        std::vector<size_t> ns(std::begin(lengths), std::end(lengths));
        if (q > 16)
            ns.insert(ns.end(), {q - 1, q, size_t{q} + 1, 3 * size_t{q} + 5});
        for (size_t n : ns) {
            if (q == 1 && n > 100)
                continue;
            for (int kind = 0; kind < 4; ++kind) {
                const auto symbols = make_stream(rng, n, kind);
                const auto seg = encode(symbols, q);
                ASSERT_LE(seg.size(), ansc_bound(static_cast<uint32_t>(n), q));
                for (const AnscBuild& b : builds) {
                    ASSERT_EQ(encode(symbols, q, nullptr, b.encode), seg) << b.name << " " << q << " " << n;
                    std::vector<uint8_t> back;
                    ASSERT_TRUE(decode(seg, static_cast<uint32_t>(n), q, &back, nullptr, b.decode))
                        << b.name << " " << q << " " << n << " " << kind;
                    ASSERT_EQ(back, symbols) << b.name << " " << q << " " << n << " " << kind;
                }
            }
        }
    }
    // Geometric with p = 0.3 has an entropy of about 2.94 bits per symbol.
    EXPECT_LT(encode(make_stream(rng, 200000, 1), 16384).size(), 200000 * 3.05 / 8);
}

TEST(AnscDamage, ReportedInsteadOfLeavingTheBuffers)
{
    std::mt19937 rng(5);
    const auto symbols = make_stream(rng, 40000, 2);
    const auto seg = encode(symbols, 16384);
    std::vector<uint8_t> back;
    ASSERT_TRUE(decode(seg, 40000, 16384, &back));

    // Words running past the segment's end.
    for (size_t cut : {seg.size() - 1, seg.size() - 2, seg.size() / 2, size_t{40}, size_t{32}, size_t{0}})
        EXPECT_FALSE(decode(std::vector<uint8_t>(seg.begin(), seg.begin() + cut), 40000, 16384, &back)) << cut;

    // Tables no chunk decodes with: a count above 256, frequencies not summing
    // to 2048 (one sum wraps), and a valid table before a header of zero bits
    // (no gamma code ends).
    uint8_t out[16];
    AnscContext ctx;
    const uint8_t zeros[64] = {};
    const uint32_t tables[][3] = {{300, 0, 0}, {1, 1000, 1000}, {1, 1000, 0xFFFFFFFFu}, {1, 1024, 1024}};
    for (const auto& [last_symbol, f0, f1] : tables) {
        ansc_reset(ctx);
        ctx.last_symbol = last_symbol, ctx.freq[0] = f0, ctx.freq[1] = f1;
        EXPECT_EQ(ansc_decode_scalar(ctx, zeros, zeros + 64, 16, out), nullptr) << f0 << " " << f1;
    }
    // An initial table whose gamma codes run past the end.
    const uint8_t* pos = seg.data();
    EXPECT_FALSE(ansc_read_header(ctx, &pos, seg.data() + 34));
    EXPECT_EQ(pos, seg.data());
    // The encoder refuses a work area too small for its output.
    std::vector<uint8_t> small(200);
    ansc_reset(ctx);
    EXPECT_EQ(ansc_encode_scalar(ctx, symbols.data(), 40000, 16384, small.data(), small.data() + small.size()), nullptr);
}

} // namespace
} // namespace qrn
