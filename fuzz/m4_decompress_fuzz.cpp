// The method 4 decoder on arbitrary payloads. It must stay inside its
// buffers, and its result may not depend on the slack bytes behind the
// payload or the output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "codecs/m4/m4.h"
#include "fuzz_job.h"

namespace {

uint32_t run(const uint8_t* payload, size_t size, uint32_t out_size, uint8_t fill, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> in(size + qrn::BUFFER_SLACK, fill);
    if (size)
        std::memcpy(in.data(), payload, size);
    out.assign(out_size + size_t{qrn::BUFFER_SLACK}, fill);
    return qrn::m4_decompress(fuzz_job(4, 9, in.data(), static_cast<uint32_t>(size), out.data(), out_size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t out_size = qrn::load_le32(data) >> 12;  // up to 1 MiB
    data += 4;
    size -= 4;
    std::vector<uint8_t> a, b;
    const uint32_t ra = run(data, size, out_size, 0x00, a);
    const uint32_t rb = run(data, size, out_size, 0xFF, b);
    if ((ra == out_size) != (rb == out_size))
        std::abort();
    if (ra == out_size && std::memcmp(a.data(), b.data(), out_size) != 0)
        std::abort();
    return 0;
}
