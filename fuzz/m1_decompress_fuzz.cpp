// Method 1 decoder on arbitrary payloads and expected sizes. Buffers have
// exactly the documented slack (16 bytes past the payload and past the
// expected size), each its own allocation, so AddressSanitizer sees any
// access beyond it. Checks:
//  - the result is the expected size exactly when a plain byte-at-a-time
//    decoder accepts the stream, and the output then agrees;
//  - slack contents never change the result or the output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/common/prefix_varint.h"
#include "codecs/m1/m1.h"
#include "fuzz_job.h"

namespace {

constexpr size_t SLACK = 16;

// Straight from the stream format, every step checked; true when the stream
// fills `out` exactly and ends with its last byte.
bool reference_decode(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size)
{
    size_t ip = 0, op = 0;
    auto extension = [&](size_t* v) {
        if (ip >= in_size)
            return false;
        const size_t b = in[ip++];
        if (b < 255) {
            *v = b;
            return true;
        }
        if (ip >= in_size || in_size - ip < qrn::prefix_varint_width(in[ip]))
            return false;
        uint8_t tmp[8] = {};
        std::memcpy(tmp, in + ip, qrn::prefix_varint_width(in[ip]));
        uint32_t x;
        ip += static_cast<size_t>(qrn::prefix_varint_get(tmp, &x) - tmp);
        *v = size_t(x) + 255;
        return true;
    };
    for (;;) {
        if (in_size - ip < 3)
            return false;
        const unsigned token = in[ip];
        const size_t distance = in[ip + 1] | size_t(in[ip + 2]) << 8;
        ip += 3;
        size_t length = token & 15, literals = token >> 4;
        if (length == 15 && !extension(&length))
            return false;
        if (literals == 15 && !extension(&literals))
            return false;
        if (literals > in_size - ip || literals > out_size - op)
            return false;
        for (size_t i = 0; i < literals; ++i)
            out[op++] = in[ip++];
        if (distance == 0)
            return op == out_size && ip == in_size;
        length += 4;
        if (distance > op || length > out_size - op)
            return false;
        for (size_t i = 0; i < length; ++i, ++op)
            out[op] = out[op - distance];
    }
}

struct Run {
    uint32_t result;
    std::vector<uint8_t> out; // the expected size's worth, when decoded to it
};

Run run(const uint8_t* payload, size_t size, uint32_t expected, uint8_t filler)
{
    uint8_t* in = static_cast<uint8_t*>(std::malloc(size + SLACK));
    uint8_t* out = static_cast<uint8_t*>(std::malloc(expected + SLACK));
    if (size)
        std::memcpy(in, payload, size);
    std::memset(in + size, filler, SLACK);
    Run r{qrn::m1_decompress(fuzz_job(1, 0, in, static_cast<uint32_t>(size), out, expected)), {}};
    if (r.result == expected)
        r.out.assign(out, out + expected);
    std::free(in);
    std::free(out);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    // Expected size from the first three bytes: below 64 KiB, or for one
    // input in eight up to 256 KiB (past 64 KiB the decoder stops checking
    // offsets against the output start).
    const uint32_t high = (data[2] & 7) == 7 ? (data[2] >> 3) & 3 : 0;
    const uint32_t expected = data[0] | uint32_t(data[1]) << 8 | high << 16;
    data += 3;
    size -= 3;

    const Run a = run(data, size, expected, 0x00);
    const Run b = run(data, size, expected, 0xFF);
    if (a.result != b.result)
        std::abort();
    std::vector<uint8_t> ref(expected);
    const bool ok = reference_decode(data, size, ref.data(), expected);
    if (ok != (a.result == expected))
        std::abort();
    if (ok && (a.out != ref || b.out != ref))
        std::abort();
    return 0;
}
