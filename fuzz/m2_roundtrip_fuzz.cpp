// Method 2 compressors on arbitrary data: every level must produce a stream
// that decodes back to the data. First byte: level (0, 1, 2, 9) and hash
// bits; the rest is the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/codec_call.h"
#include "codecs/m2/m2.h"
#include "fuzz_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static constexpr int LEVELS[4] = {0, 1, 2, 9};
    const int level = LEVELS[data[0] % 4];
    const int hash_bits = level == 0 ? 10 + (data[0] >> 2) % 7 : 10 + (data[0] >> 2) % 11;
    const uint32_t n = uint32_t(size - 1);

    std::vector<uint8_t> in(n + qrn::BUFFER_SLACK, 0);
    if (n)
        std::memcpy(in.data(), data + 1, n);
    const uint64_t capacity = qrn::compress_capacity(n);
    std::vector<uint8_t> packed(capacity + qrn::BUFFER_SLACK);
    const uint32_t c = qrn::m2_compress(fuzz_job(2, level, in.data(), n, packed.data(), uint32_t(capacity), hash_bits));
    if (c == qrn::CODEC_FAIL || c > n + n / 10 + 32)
        std::abort();
    if (n == 0) {
        if (c != 0)
            std::abort();
        return 0;
    }

    std::vector<uint8_t> stream(packed.begin(), packed.begin() + c);
    stream.resize(c + qrn::BUFFER_SLACK, 0);
    std::vector<uint8_t> back(n + qrn::BUFFER_SLACK);
    if (qrn::m2_decompress(fuzz_job(2, level, stream.data(), c, back.data(), n)) != n || std::memcmp(back.data(), data + 1, n) != 0)
        std::abort();
    return 0;
}
