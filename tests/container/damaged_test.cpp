// Damaged containers: every one gives a clear message and status 1, without a
// crash, a hang or a leftover output, with and without worker threads; and
// the unusual containers that are valid restore.
#include <gtest/gtest.h>

#include "container/filters.h"
#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

std::string le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

std::string header(uint16_t code, uint8_t method = 1, uint8_t level = 1, uint8_t filter = 0)
{
    std::string h(32, '\0');
    h.replace(1, 3, "QR0");
    h[16] = char(code & 0xFF), h[17] = char(code >> 8), h[18] = char(method), h[19] = char(level), h[20] = char(filter);
    return h;
}

constexpr uint16_t KIB4 = 2 * 4 + 1;
const std::string BLOCK = std::string(4096, 'a');

struct Case {
    const char* what;
    std::string container;
    const char* message;   // a part of what must be printed; null where it restores
    std::string restored = "";
};

// Raw 4 KiB records of delta-coded bytes, in a container naming the delta
// filter: each block is filtered on its own.
std::string delta_container(const std::string& data)
{
    std::string c = header(KIB4, 1, 1, 2);
    for (size_t at = 0; at < data.size(); at += 4096) {
        std::string block = data.substr(at, 4096);
        delta3_encode(reinterpret_cast<uint8_t*>(block.data()), block.size());
        c += '\0' + block;
    }
    return c;
}

TEST(Damaged, EveryDamageIsReportedAndLeavesNothingBehind)
{
    ScratchDir d;
    const std::string raw2 = header(KIB4) + '\0' + BLOCK + '\0' + "tail";
    const std::string delta_data = random_bytes(10000, 3);
    const Case cases[] = {
        {"empty file", "", "Error: 103 read error"},
        {"header cut", header(KIB4).substr(0, 31), "Error: 103 read error"},
        {"wrong magic", std::string("\0QR1", 4) + header(KIB4).substr(4), "'bad.qrn' not qrn file"},
        {"method 0", header(KIB4, 0), "Error: 105 file is corrupted"},
        {"method 7", header(KIB4, 7), "Error: 105 file is corrupted"},
        {"block code 0xFFFF", header(0xFFFF) + '\0' + "x", "Error: 105 file is corrupted"},
        {"block code 0xFFFE", header(0xFFFE) + '\0' + "x", "Error: 105 file is corrupted"},
        {"block code 0 MiB", header(0), "Error: 105 file is corrupted"},
        {"record in an empty file", header(1) + '\0' + "x", "Error: 105 file is corrupted"},
        {"flag byte alone", header(KIB4) + '\0', "Error: 105 file is corrupted"},
        {"length field cut", header(KIB4) + '\1' + "ab", "Decompression error.rc=2"},
        {"U above block size", header(KIB4) + '\3' + le32(10) + le32(4097) + std::string(10, 'x'),
         "Error: 105 file is corrupted"},
        {"P above block size", header(KIB4) + '\1' + le32(4097) + std::string(5000, 'x'), "Error: 105"},
        {"P above U", header(KIB4) + '\3' + le32(11) + le32(10) + std::string(11, 'x'), "Error: 105"},
        {"P of 2^31 and more", header(KIB4) + '\1' + le32(0x80000000u) + "xyz", "Error: 105"},
        {"P all ones", header(KIB4) + '\1' + le32(0xFFFFFFFFu) + "xyz", "Error: 105"},
        {"payload cut", header(KIB4) + '\1' + le32(100) + std::string(40, 'x'), "RD ERR100,40 "},
        {"payload garbage", header(KIB4) + '\1' + le32(100) + std::string(100, '\xFF'), "Error: 105"},
        {"record after a short compressed one", raw2.substr(0, 32) + '\3' + le32(3) + le32(10) + "abc" + '\0' + "x",
         "Error: 105"},
        {"header alone", header(KIB4), nullptr, ""},
        {"header alone, no block size", header(1), nullptr, ""},
        {"lead byte not zero", "\x7FQR0" + header(KIB4).substr(4) + '\0' + "abc", nullptr, "abc"},
        {"flag 2 is raw", header(KIB4) + '\2' + BLOCK + '\0' + "end", nullptr, BLOCK + "end"},
        {"raw last record shorter", raw2, nullptr, BLOCK + "tail"},
        {"delta filter", delta_container(delta_data), nullptr, delta_data},
    };
    for (const Case& c : cases) {
        write_file(d / "bad.qrn", c.container);
        for (const char* threads : {"-p0", "-p1", "-p3"}) {
            fs::remove(d / "restored");
            RunResult r = run_quarnix(d.path, std::string("-d ") + threads + " bad.qrn restored");
            const std::string said = r.out + r.err;
            if (!c.message) {
                EXPECT_EQ(r.status, 0) << c.what << " " << threads << ": " << said;
                EXPECT_TRUE(fs::is_regular_file(d / "restored")) << c.what << " " << threads;
                EXPECT_TRUE(read_file(d / "restored") == c.restored) << c.what << " " << threads;
                continue;
            }
            EXPECT_EQ(r.status, 1) << c.what << " " << threads;
            EXPECT_NE(said.find(c.message), std::string::npos) << c.what << " " << threads << ": " << said;
            EXPECT_FALSE(fs::exists(d / "restored")) << c.what << " " << threads;
        }
    }
}

} // namespace
} // namespace qrn
