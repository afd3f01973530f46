// Method 1 round trip at levels 0, 1, 2 and 9 with table sizes from the fuzzer.
// The compressor gets the input with the pipeline's zeroed slack and an
// output area with no slack behind it; the decoder gets exactly its
// documented 16 bytes of slack.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/m1/m1.h"
#include "fuzz_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    static constexpr int LEVELS[4] = {0, 1, 2, 9};
    const int level = LEVELS[data[0] % 4];
    // Level 0 takes 10..16 bits (13 and up add end insertion); levels 1 and 2
    // 10..19, which keeps their tables small enough to run fast.
    const int bits = 10 + data[1] % (level == 0 ? 7 : 10);
    data += 2;
    size -= 2;

    uint8_t* in = static_cast<uint8_t*>(std::malloc(size + 64));
    if (size)
        std::memcpy(in, data, size);
    std::memset(in + size, 0, 64);
    // Every block fits here: a token costs at most 1 byte more than the 259
    // or more input bytes it covers, or 2 more than 387 or more, and the end
    // token at most 9 bytes more than its literals.
    const size_t capacity = size + size / 128 + 32;
    uint8_t* packed = static_cast<uint8_t*>(std::malloc(capacity));

    const uint32_t packed_size = qrn::m1_compress(
        fuzz_job(1, level, in, static_cast<uint32_t>(size), packed, static_cast<uint32_t>(capacity), bits));
    if (packed_size == qrn::CODEC_FAIL || packed_size > capacity || (size == 0) != (packed_size == 0))
        std::abort();

    if (size) {
        uint8_t* stream = static_cast<uint8_t*>(std::malloc(packed_size + 16));
        std::memcpy(stream, packed, packed_size);
        std::memset(stream + packed_size, 0xEE, 16);
        uint8_t* back = static_cast<uint8_t*>(std::malloc(size + 16));
        if (qrn::m1_decompress(fuzz_job(1, level, stream, packed_size, back, static_cast<uint32_t>(size))) != size || std::memcmp(back, data, size) != 0)
            std::abort();
        std::free(stream);
        std::free(back);
    }
    std::free(in);
    std::free(packed);
    return 0;
}
