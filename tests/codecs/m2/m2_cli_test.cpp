// Method 2 through the built program: compress and restore files at -20,
// -21 and -22, inline and with two workers, in one and in many blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "codecs/m2/m2_reference.h"

namespace qrn {
namespace {

namespace fs = std::filesystem;
using m2test::Bytes;

void write_file(const fs::path& p, const Bytes& b)
{
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

Bytes read_file(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

int run(const std::string& args)
{
    const std::string cmd = std::string(QRN_QUARNIX_PATH) + " " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str());
}

TEST(M2Program, RoundTripsAtEveryFastLevel)
{
    const fs::path dir = fs::temp_directory_path() / ("qrn_m2_cli_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);

    std::mt19937 rng(3);
    std::string text;
    while (text.size() < 1500000)
        text += "record " + std::to_string(rng() % 5000) + " value " + std::to_string(rng() % 97) + "\n";
    Bytes noise(300000);
    for (auto& b : noise)
        b = uint8_t(rng());
    Bytes mixed(Bytes(text.begin(), text.begin() + 400000));
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), text.begin(), text.begin() + 400000);
    const std::pair<const char*, Bytes> files[] = {
        {"empty", {}}, {"tiny", {'x'}}, {"text", Bytes(text.begin(), text.end())}, {"noise", noise}, {"mixed", mixed}};

    for (const auto& [name, data] : files) {
        const fs::path in = dir / name;
        write_file(in, data);
        for (const char* level : {"-20", "-21", "-22"}) {
            for (const char* threads : {"-p0", "-p2"}) {
                for (const char* block : {"", "-b64k"}) {
                    const std::string what = std::string(name) + " " + level + " " + threads + " " + block;
                    const fs::path packed = dir / "packed.qrn";
                    const fs::path back = dir / "back";
                    fs::remove(packed);
                    fs::remove(back);
                    ASSERT_EQ(run(std::string(level) + " " + threads + " " + block + " " + in.string() + " " +
                                  packed.string()),
                              0)
                        << what;
                    ASSERT_EQ(run(std::string("-d ") + threads + " " + packed.string() + " " + back.string()), 0) << what;
                    EXPECT_TRUE(read_file(back) == data) << what;
                    if (std::string(name) == "text") {
                        EXPECT_LT(fs::file_size(packed), data.size() / 2) << what;
                    }
                }
            }
        }
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace qrn
