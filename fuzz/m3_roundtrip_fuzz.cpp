// Method 3 levels 0-2 (small hash tables so that runs stay fast) and 9: every
// input compresses to a payload that decodes back to it exactly, and the
// payload does not depend on what the output buffer held.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/m3/m3.h"
#include "fuzz_job.h"

namespace {

uint32_t compress(const std::vector<uint8_t>& in, uint32_t n, uint8_t level, int bits, uint8_t fill,
                  std::vector<uint8_t>& out)
{
    // Far more than any payload needs, without the pipeline's 1 MiB margin
    // (which would make each run slow).
    const uint64_t capacity = 2 * uint64_t{n} + 65536;
    out.assign(capacity + qrn::BUFFER_SLACK, fill);
    return qrn::m3_compress(fuzz_job(3, level, in.data(), n, out.data(), static_cast<uint32_t>(capacity), bits));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static constexpr uint8_t LEVELS[4] = {0, 1, 2, 9};
    const uint8_t level = LEVELS[data[0] % 4];
    const int bits = 10 + (data[0] / 4) % 7;  // 10 to 16
    const uint32_t n = static_cast<uint32_t>(size - 1);
    std::vector<uint8_t> in(n + qrn::BUFFER_SLACK, 0);
    std::memcpy(in.data(), data + 1, n);

    std::vector<uint8_t> packed, other;
    const uint32_t p = compress(in, n, level, bits, 0x00, packed);
    if (p == qrn::CODEC_FAIL || (n == 0) != (p == 0))
        std::abort();
    if (compress(in, n, level, bits, 0xA5, other) != p || std::memcmp(packed.data(), other.data(), p) != 0)
        std::abort();
    if (n == 0)
        return 0;

    if (!decodes_to(qrn::m3_decompress, 3, level, packed, p, data + 1, n))
        std::abort();
    return 0;
}
