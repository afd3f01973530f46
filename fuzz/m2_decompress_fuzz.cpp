// The method 2 decoder on arbitrary streams, both dialects. First byte:
// bits 0-1 pick the level (0, 1, 2, 9); bit 2 asks for the size the reference
// decoder reaches as the expected size (so that good streams are common),
// else bytes 1-2 give it. The rest is the stream.
//
// Checks: no access outside the buffers (exact sizes, under the sanitizers);
// the same result from both decoding loops, whatever the slack behind the
// stream holds; a stream taken as good decodes exactly as the byte-at-a-time
// reference does, and one the reference refuses is never taken as good.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../tests/codecs/m2/m2_reference.h"
#include "fuzz_job.h"

namespace {

using qrn::m2test::Bytes;

uint32_t run(const uint8_t* stream, size_t size, int level, uint32_t expected, uint8_t slack_fill, bool far,
             Bytes* out)
{
    std::unique_ptr<uint8_t[]> in(new uint8_t[size + qrn::BUFFER_SLACK]);
    if (size)
        std::memcpy(in.get(), stream, size);
    std::memset(in.get() + size, slack_fill, qrn::BUFFER_SLACK);
    out->assign(size_t(expected) + qrn::BUFFER_SLACK, 0);
    return qrn::m2_decode(fuzz_job(2, level, in.get(), uint32_t(size), out->data(), expected), far);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const int level = (const int[]){0, 1, 2, 9}[data[0] & 3];
    const Bytes stream(data + 3, data + size);
    Bytes ref;
    const bool ref_good = qrn::m2test::reference_decode(stream, level, &ref, nullptr, 1u << 20);
    const uint32_t expected = (data[0] & 4) && ref_good ? uint32_t(ref.size()) : uint32_t(data[1] | data[2] << 8);

    // Both loops, with zero and with other slack behind the stream.
    Bytes out[4];
    uint32_t r[4];
    for (int k = 0; k < 4; ++k)
        r[k] = run(stream.data(), stream.size(), level, expected, k & 1 ? 0xA5 : 0, k >= 2, &out[k]);
    for (int k = 1; k < 4; ++k)
        if (r[k] != r[0])
            std::abort();  // depends on the loop or on bytes beyond the stream
    if (r[0] == expected) {
        if (!ref_good || ref.size() != expected)
            std::abort();  // taken as good although damaged
        for (int k = 0; k < 4; ++k)
            if (expected != 0 && std::memcmp(out[k].data(), ref.data(), expected) != 0)
                std::abort();
    } else if (ref_good && ref.size() == expected) {
        std::abort();  // a good stream refused
    }
    return 0;
}
