// Container layout: block-size codes, header and record fronts, the record
// sequence for files around the block size, thread-count independence.
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
    h.bsize_code = 201;
    h.method = 3;
    h.level = 2;
    h.filter = 1;
    h.hash_bits = -7;
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
    ContainerHeader back;
    EXPECT_EQ(container_header_decode(b, &back), HeaderCheck::Ok);
    EXPECT_EQ(back.bsize_code, 201);
    EXPECT_EQ(back.method, 3);
    EXPECT_EQ(back.level, 2);
    EXPECT_EQ(back.filter, 1);
    EXPECT_EQ(back.hash_bits, -7);
    EXPECT_EQ(back.fields.state, INTEGRITY_COMPLETE);
    EXPECT_EQ(back.fields.length, 0x0102030405060708ull);
    EXPECT_EQ(back.fields.checksum, 0xA1B2C3D4u);

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

TEST(Container, RecordsAroundTheBlockSize)
{
    ScratchDir d;
    const uint32_t S = 4096;
    const struct {
        size_t size;
        size_t records;
    } cases[] = {{0, 0}, {1, 1}, {S - 1, 1}, {S, 1}, {S + 1, 2}, {3 * S, 3}, {3 * S + 5, 4}};
    for (const auto& c : cases) {
        // Random bytes do not compress: every record is stored raw, S + 1 bytes.
        const std::string data = random_bytes(c.size, static_cast<uint32_t>(c.size));
        write_file(d / "in", data);
        for (const char* threads : {"-p0", "-p2"}) {
            fs::remove(d / "in.qrn");
            RunResult r = run_quarnix(d.path, std::string("-12 -b4K ") + threads + " in in.qrn");
            ASSERT_EQ(r.status, 0) << r.err;
            bool consistent = false;
            const auto recs = records_of(read_file(d / "in.qrn"), &consistent);
            EXPECT_TRUE(consistent);
            ASSERT_EQ(recs.size(), c.records) << c.size;
            for (size_t i = 0; i < recs.size(); ++i) {
                EXPECT_EQ(recs[i].flag, 0);
                EXPECT_EQ(recs[i].decoded, i + 1 < recs.size() ? S : c.size - i * S);
            }
            fs::remove(d / "back");
            ASSERT_EQ(run_quarnix(d.path, std::string("-d ") + threads + " in.qrn back").status, 0);
            EXPECT_TRUE(fs::is_regular_file(d / "back"));
            EXPECT_TRUE(read_file(d / "back") == data);
        }
    }
}

TEST(Container, SameBytesWhateverTheThreadCount)
{
    ScratchDir d;
    // 100 blocks of 4 KiB, compressible and incompressible stretches mixed.
    std::string data;
    for (int i = 0; i < 25; ++i)
        data += text_bytes(12000, static_cast<uint32_t>(i)) + random_bytes(4000, static_cast<uint32_t>(i));
    data.resize(100 * 4096 - 123);
    write_file(d / "in", data);
    for (const char* method : {"-10", "-12", "-22", "-32"}) {
        std::string first;
        for (const char* threads : {"-p0", "-p1", "-p8"}) {
            fs::remove(d / "in.qrn");
            ASSERT_EQ(run_quarnix(d.path, std::string(method) + " -b4K " + threads + " in in.qrn").status, 0);
            const std::string c = read_file(d / "in.qrn");
            bool consistent = false;
            EXPECT_EQ(records_of(c, &consistent).size(), 100u);
            EXPECT_TRUE(consistent);
            if (first.empty())
                first = c;
            else
                EXPECT_TRUE(c == first) << method << " " << threads;
        }
        fs::remove(d / "back");
        ASSERT_EQ(run_quarnix(d.path, "-d -p3 in.qrn back").status, 0);
        EXPECT_TRUE(read_file(d / "back") == data) << method;
    }
}

} // namespace
} // namespace qrn
