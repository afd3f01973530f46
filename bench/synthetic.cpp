// Generated inputs with a fixed seed: a text with a skewed vocabulary, and a
// ".tar" of machine-code-like records so that the x86 filter is exercised.
#include "bench.h"

namespace qrn::bench {

namespace {

struct Rng {
    uint64_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 32);
    }
};

std::vector<uint8_t> make_text(size_t bytes, Rng& rng)
{
    std::vector<std::string> words;
    for (int i = 0; i < 600; ++i) {
        std::string w;
        const int len = 2 + static_cast<int>(rng.next() % 9);
        for (int k = 0; k < len; ++k)
            w += static_cast<char>('a' + rng.next() % 26);
        words.push_back(w);
    }
    std::vector<uint8_t> out;
    out.reserve(bytes);
    while (out.size() < bytes) {
        // Skewed pick: small indices are far more common.
        const uint32_t a = rng.next() % 600, b = rng.next() % 600;
        const std::string& w = words[a < b ? a * (a + 1) % 600 / 4 : b];
        out.insert(out.end(), w.begin(), w.end());
        const uint32_t r = rng.next() % 16;
        out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
        if (r == 2) {
            const std::string num = std::to_string(rng.next() % 100000);
            out.insert(out.end(), num.begin(), num.end());
            out.push_back(' ');
        }
    }
    out.resize(bytes);
    return out;
}

std::vector<uint8_t> make_code(size_t bytes, Rng& rng)
{
    static const uint8_t snippets[][8] = {
        {0x55, 0x48, 0x89, 0xe5, 0x48, 0x83, 0xec, 0x20},
        {0x48, 0x8b, 0x45, 0xf8, 0x48, 0x89, 0xc7, 0x90},
        {0x31, 0xc0, 0x5d, 0xc3, 0x0f, 0x1f, 0x40, 0x00},
        {0x89, 0x7d, 0xfc, 0x8b, 0x45, 0xfc, 0x01, 0xc0},
    };
    std::vector<uint8_t> out;
    out.reserve(bytes + 16);
    while (out.size() < bytes) {
        const uint32_t r = rng.next() % 8;
        if (r < 3) {
            // A call to one of a few functions: the same absolute target gives
            // different relative fields, which the filter evens out.
            const uint32_t fn = 0x400 * (rng.next() % 32);
            const uint32_t rel = fn - static_cast<uint32_t>(out.size()) - 5;
            out.push_back(0xE8);
            for (int k = 0; k < 4; ++k)
                out.push_back(static_cast<uint8_t>(rel >> (8 * k)));
        } else if (r < 7) {
            const uint8_t* s = snippets[rng.next() % 4];
            out.insert(out.end(), s, s + 8);
        } else {
            for (int k = 0; k < 4; ++k)
                out.push_back(static_cast<uint8_t>(rng.next() >> 24 & (k < 2 ? 0xFF : 0x0F)));
        }
    }
    out.resize(bytes);
    return out;
}

} // namespace

std::vector<InputFile> synthetic_inputs(size_t bytes)
{
    Rng rng{0x9E3779B97F4A7C15ull};
    std::vector<InputFile> files;
    files.push_back({"synthetic.txt", make_text(bytes - bytes / 2, rng)});
    files.push_back({"synthetic.tar", make_code(bytes / 2, rng)});
    return files;
}

} // namespace qrn::bench
