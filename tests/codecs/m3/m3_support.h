// Helpers of the method 3 tests: running the codec entries over owned
// buffers, and reading a block's streams apart.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "ans/ans.h"
#include "common/bytes.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m3/m3.h"
#include "codecs/m3/m3_format.h"

namespace qrn::m3test {

inline int default_bits(int level) { return level == 0 ? 16 : level == 1 ? 20 : 26; }

// Compresses `data` as the pipeline does (zeroed slack behind the input,
// 1.3 x size + 1 MiB of output).
inline std::vector<uint8_t> compress(const std::vector<uint8_t>& data, int level, int bits = -1,
                                     uint32_t* result = nullptr, uint8_t fill = 0)
{
    std::vector<uint8_t> in(data.size() + BUFFER_SLACK, 0);
    std::copy(data.begin(), data.end(), in.begin());
    const uint64_t capacity = compress_capacity(static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> out(capacity + BUFFER_SLACK, fill);
    BlockCall job{};
    job.method = 3, job.level = static_cast<uint8_t>(level), job.hash_bits = bits < 0 ? default_bits(level) : bits;
    job.in = in.data(), job.in_size = static_cast<uint32_t>(data.size());
    job.out = out.data(), job.out_limit = static_cast<uint32_t>(capacity);
    const uint32_t r = m3_compress(job);
    if (result)
        *result = r;
    if (r == CODEC_FAIL)
        return {};
    out.resize(r);
    return out;
}

// Decodes a payload held in a buffer with exactly 64 zero bytes of slack;
// returns the decoder's result and the output.
inline uint32_t decompress(const std::vector<uint8_t>& payload, int level, uint32_t size, std::vector<uint8_t>* out)
{
    std::vector<uint8_t> in(payload.size() + BUFFER_SLACK, 0);
    std::copy(payload.begin(), payload.end(), in.begin());
    out->assign(size + size_t{BUFFER_SLACK}, 0);
    BlockCall job{};
    job.method = 3, job.level = static_cast<uint8_t>(level);
    job.in = in.data(), job.in_size = static_cast<uint32_t>(payload.size());
    job.out = out->data(), job.out_limit = size;
    const uint32_t r = m3_decompress(job);
    out->resize(size);
    return r;
}

inline void expect_round_trip(const std::vector<uint8_t>& data, int level, int bits = -1)
{
    const auto packed = compress(data, level, bits);
    if (data.empty()) {
        EXPECT_TRUE(packed.empty());
        return;
    }
    ASSERT_FALSE(packed.empty()) << "size " << data.size() << " level " << level;
    std::vector<uint8_t> back;
    ASSERT_EQ(decompress(packed, level, static_cast<uint32_t>(data.size()), &back), data.size())
        << "size " << data.size() << " level " << level;
    ASSERT_TRUE(back == data) << "size " << data.size() << " level " << level;
}

struct Segment {
    uint32_t offset;
    bool partial;
    uint32_t count;
    uint32_t next_link;        // the segment's next-link slot as written
    std::vector<uint8_t> raw;  // raw bit field
};

// One stream of a block read apart: its segments and all its symbols.
struct StreamView {
    uint32_t first_link = 0;
    std::vector<Segment> segments;
    std::vector<uint8_t> symbols;
    std::vector<uint8_t> raw_literals;  // literal-run extension: from the last segment's raw runs to the block end
};

inline StreamView read_stream(const std::vector<uint8_t>& block, int k)
{
    StreamView v;
    v.first_link = load_le32(block.data() + 4 * k);
    uint32_t link = v.first_link;
    while (link != 0) {
        Segment s;
        s.offset = link & ~M3_PARTIAL;
        s.partial = (link & M3_PARTIAL) != 0;
        s.next_link = load_le32(block.data() + s.offset);
        const uint8_t* p = block.data() + s.offset + 4;
        s.count = M3_SHAPE[k].capacity;
        if (s.partial)
            p = prefix_varint_get(p, &s.count);
        const uint8_t* ans = p + 4 * M3_SHAPE[k].fields;
        const uint8_t* raw_lits = nullptr;
        if (M3_SHAPE[k].fields != 0) {
            const uint8_t* last = p + 4 * (M3_SHAPE[k].fields - 1);
            s.raw.assign(ans, last + load_le32(last));
            ans = last + load_le32(last);
            if (k == M3_RUN_EXT)
                raw_lits = p + load_le32(p);
        }
        AnscContext ctx;
        const uint8_t* end = block.data() + block.size();
        EXPECT_TRUE(ansc_read_header(ctx, &ans, end));
        const size_t at = v.symbols.size();
        v.symbols.resize(at + s.count);
        for (uint32_t done = 0; done < s.count; done += M3_SHAPE[k].chunk) {
            const uint32_t n = std::min(M3_SHAPE[k].chunk, s.count - done);
            ans = ansc_decode_scalar(ctx, ans, end, n, v.symbols.data() + at + done);
            if (ans == nullptr) {
                ADD_FAILURE() << "damaged stream " << k;
                return v;
            }
        }
        if (raw_lits) {
            EXPECT_EQ(raw_lits, ans);  // raw literal runs follow the ANS segment directly
            v.raw_literals.assign(raw_lits, block.data() + block.size());
        }
        v.segments.push_back(s);
        link = s.next_link;
    }
    return v;
}

// The values of an extension or offset stream: bucket symbols with their
// extra bits from each segment's raw field.
inline std::vector<uint32_t> stream_values(const StreamView& v)
{
    std::vector<uint32_t> out;
    size_t at = 0;
    for (const Segment& s : v.segments) {
        size_t bit = 0;
        auto take = [&](uint32_t k) {
            uint32_t x = 0;
            for (uint32_t i = 0; i < k; ++i, ++bit) {
                const uint8_t byte = bit / 8 < s.raw.size() ? s.raw[bit / 8] : 0;
                x = x << 1 | ((byte >> (7 - bit % 8)) & 1);
            }
            return x;
        };
        for (uint32_t i = 0; i < s.count; ++i) {
            const uint32_t b = v.symbols[at++];
            if (b < 16) {
                out.push_back(b);
                continue;
            }
            const uint32_t k = (b >> 3) - 1;
            out.push_back(((8 + (b & 7)) << k) + take(k));
        }
        EXPECT_EQ((bit + 7) / 8, s.raw.size());  // the field ends at the byte after its last bit
    }
    return out;
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

} // namespace qrn::m3test
