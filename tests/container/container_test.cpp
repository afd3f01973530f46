// Container layout: block-size codes, header and record fronts, the record
// sequence for files around the block size, the same bytes whatever the
// thread count.
#include <gtest/gtest.h>

#include <cstring>

#include "codecs/codec_table.h"
#include "container/checksum.h"
#include "container/container_format.h"
#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

TEST(BlockSizeCode, WriterCodesAndTheirSizes)
{
    const std::pair<uint64_t, int> codes[] = {{2 * MIB, 4},      {100 * KIB, 201},     {0, 1},
                                              {1000, 3},         {MIB - 1, 2049},      {MIB, 2},
                                              {3 * MIB + 1, 8},  {1024ull * MIB, 2048}, {4096ull * MIB, 2048}};
    for (const auto& [size, code] : codes)
        EXPECT_EQ(bsize_encode(size), code) << size;
    EXPECT_EQ(bsize_decode(201), 100 * KIB);
    EXPECT_EQ(bsize_decode(4), 2 * MIB);
    for (int code : {1, 2049, 2048})
        EXPECT_TRUE(bsize_code_valid(code)) << code;
    // 0 MiB, 1025 MiB, 1025 KiB and beyond.
    for (int code : {0, 2050, 2051, 0xFFFF, 0xFFFE})
        EXPECT_FALSE(bsize_code_valid(code)) << code;
}

TEST(Header, FieldsIntegrityAndMagic)
{
    ContainerHeader h;
    h.bsize_code = 201, h.method = 3, h.level = 2, h.filter = 1, h.hash_bits = -7;
    uint8_t b[HEADER_SIZE];
    container_header_encode(h, b);
    const uint8_t plain[HEADER_SIZE] = {0, 'Q', 'R', '0', 0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0,
                                        201, 0, 3, 2, 1, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(b, plain, HEADER_SIZE));
    h.fields = {INTEGRITY_COMPLETE, 0x0102030405060708ull, 0xA1B2C3D4u};
    container_header_encode(h, b);
    const uint8_t marked[HEADER_SIZE] = {0, 'Q', 'R', '0', 'I', 'X', '1', 2, 8, 7, 6, 5, 4, 3, 2, 1,
                                         201, 0, 3, 2, 1, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF, 0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(0, std::memcmp(b, marked, HEADER_SIZE));
    // Read back, every field encodes to the same bytes.
    ContainerHeader back;
    EXPECT_EQ(container_header_decode(b, &back), HeaderCheck::Ok);
    uint8_t again[HEADER_SIZE];
    container_header_encode(back, again);
    EXPECT_EQ(0, std::memcmp(again, marked, HEADER_SIZE));

    // One byte changed, and what the reader says of it.
    const struct {
        int at;
        uint8_t value;
        HeaderCheck check;
    } cases[] = {
        {0, 0x77, HeaderCheck::Ok},                   // only bytes 1..3 are the magic
        {3, '1', HeaderCheck::NotContainer},
        {7, INTEGRITY_PENDING, HeaderCheck::Incomplete},
        {7, 0, HeaderCheck::UnknownState},           // the mark with no state
        {7, 9, HeaderCheck::UnknownState},
        {4, 'J', HeaderCheck::Ok},                    // no mark: no fields
        {18, 0, HeaderCheck::Damaged},                // no method 0
        {18, 5, HeaderCheck::Damaged},
        {17, 0xFF, HeaderCheck::Damaged},             // no writer's block-size code
    };
    for (const auto& c : cases) {
        uint8_t changed[HEADER_SIZE];
        std::memcpy(changed, b, HEADER_SIZE);
        changed[c.at] = c.value;
        ContainerHeader d;
        EXPECT_EQ(container_header_decode(changed, &d), c.check) << c.at << " " << int(c.value);
    }
    b[4] = 'J';
    ASSERT_EQ(container_header_decode(b, &back), HeaderCheck::Ok);
    EXPECT_EQ(back.fields.state, INTEGRITY_NONE);
}

TEST(Record, FrontsAndTheirChecks)
{
    const uint32_t S = 4096;
    const struct {
        RecordFront front;
        int bytes;
        const char* damage;   // null: reads back as written
    } cases[] = {
        {{BLOCK_RAW, S, S}, 1, nullptr},
        {{BLOCK_COMPRESSED, 100, S}, RECORD_FRONT_FULL, nullptr},
        {{BLOCK_COMPRESSED | BLOCK_HAS_SIZE, 10, 11}, RECORD_FRONT_SHORT, nullptr},
        {{BLOCK_COMPRESSED | BLOCK_HAS_SIZE, 10, S + 1}, RECORD_FRONT_SHORT, "longer than the block size"},
        {{BLOCK_COMPRESSED | BLOCK_HAS_SIZE, 11, 10}, RECORD_FRONT_SHORT, "payload longer"},
        {{BLOCK_COMPRESSED, S + 1, S}, RECORD_FRONT_FULL, "payload longer"},
    };
    for (const auto& c : cases) {
        uint8_t b[RECORD_FRONT_SHORT] = {};
        ASSERT_EQ(record_front_encode(c.front, b), c.bytes);
        EXPECT_EQ(record_front_bytes(b[0]), c.bytes);
        RecordFront back;
        const char* damage = record_front_decode(b, S, &back);
        if (c.damage) {
            ASSERT_NE(damage, nullptr);
            EXPECT_NE(std::string(damage).find(c.damage), std::string::npos) << damage;
            continue;
        }
        EXPECT_EQ(damage, nullptr);
        EXPECT_EQ(back.flags, c.front.flags);
        EXPECT_EQ(back.payload, c.front.payload);
        EXPECT_EQ(back.decoded, c.front.decoded);
    }
}

TEST(Header, ContentChecksum)
{
    // XXH3-64 of nothing is 2D06800538D394C2; streamed in pieces, the same.
    EXPECT_EQ(content_hash_of("", 0), 0x38D394C2u);
    const std::string text = text_bytes(100000, 3);
    ContentHashPtr running = content_hash_new();
    for (size_t at = 0; at < text.size(); at += 7777)
        content_hash_update(running.get(), text.data() + at, std::min<size_t>(7777, text.size() - at));
    EXPECT_EQ(content_hash_low32(running.get()), content_hash_of(text.data(), text.size()));
}

TEST(Container, RecordsAroundTheBlockSizeWhateverTheThreadCount)
{
    ScratchDir d;
    const uint32_t S = 4096;
    // 100 blocks of 4 KiB, compressible and incompressible stretches mixed.
    std::string mixed;
    for (int i = 0; i < 25; ++i)
        mixed += text_bytes(12000, static_cast<uint32_t>(i)) + random_bytes(4000, static_cast<uint32_t>(i));
    mixed.resize(100 * S - 123);
    const struct {
        const char* method;
        std::string data;
        size_t records;
    } cases[] = {
        // Random bytes do not compress: every record is stored raw, S + 1 bytes.
        {"-12", "", 0}, {"-12", random_bytes(1, 1), 1}, {"-12", random_bytes(S - 1, 2), 1},
        {"-12", random_bytes(S, 3), 1}, {"-12", random_bytes(S + 1, 4), 2}, {"-12", random_bytes(3 * S, 5), 3},
        {"-12", random_bytes(3 * S + 5, 6), 4},
        {"-10", mixed, 100}, {"-12", mixed, 100}, {"-22", mixed, 100}, {"-32", mixed, 100},
    };
    for (const auto& c : cases) {
        const std::string tag = std::string(c.method) + " " + std::to_string(c.data.size());
        write_file(d / "in", c.data);
        std::string first;
        for (const char* threads : {"-p0", "-p1", "-p8"}) {
            fs::remove(d / "in.qrn");
            ASSERT_EQ(run_quarnix(d.path, std::string(c.method) + " -b4K " + threads + " in in.qrn").status, 0);
            const std::string container = read_file(d / "in.qrn");
            EXPECT_TRUE(first.empty() || container == first) << tag << " " << threads;
            first = container;
        }
        bool consistent = false;
        const auto recs = records_of(first, &consistent);
        EXPECT_TRUE(consistent) << tag;
        ASSERT_EQ(recs.size(), c.records) << tag;
        for (size_t i = 0; i < recs.size() && c.data != mixed; ++i) {
            EXPECT_EQ(recs[i].flag, 0) << tag;
            EXPECT_EQ(recs[i].decoded, i + 1 < recs.size() ? S : c.data.size() - i * S) << tag;
        }
        fs::remove(d / "back");
        ASSERT_EQ(run_quarnix(d.path, "-d -p3 in.qrn back").status, 0) << tag;
        EXPECT_TRUE(fs::is_regular_file(d / "back")) << tag;
        EXPECT_TRUE(read_file(d / "back") == c.data) << tag;
    }
}

} // namespace
} // namespace qrn
