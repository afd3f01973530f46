// Method 4: every input compresses to a payload that decodes back to it
// exactly, and the payload does not depend on what the output buffer held.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/m4/m4.h"
#include "fuzz_job.h"

namespace {

uint32_t compress(const std::vector<uint8_t>& in, uint32_t n, uint8_t fill, std::vector<uint8_t>& out)
{
    // Far more than any payload needs, without the pipeline's 1 MiB margin.
    const uint64_t capacity = 2 * uint64_t{n} + 65536;
    out.assign(capacity + qrn::BUFFER_SLACK, fill);
    return qrn::m4_compress(fuzz_job(4, 9, in.data(), n, out.data(), static_cast<uint32_t>(capacity)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint32_t n = static_cast<uint32_t>(size);
    std::vector<uint8_t> in(n + qrn::BUFFER_SLACK, 0);
    if (n)
        std::memcpy(in.data(), data, n);

    std::vector<uint8_t> packed, other;
    const uint32_t p = compress(in, n, 0x00, packed);
    if (p == qrn::CODEC_FAIL || (n == 0) != (p == 0) || p % 4 != 0)
        std::abort();
    if (compress(in, n, 0xA5, other) != p || std::memcmp(packed.data(), other.data(), p) != 0)
        std::abort();
    if (n == 0)
        return 0;

    if (!decodes_to(qrn::m4_decompress, 4, 9, packed, p, data, n))
        std::abort();
    return 0;
}
