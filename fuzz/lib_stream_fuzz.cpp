// The library's stream reader against its one-call reader: arbitrary bytes,
// fed in pieces whose sizes the input's first four bytes choose, into small
// output buffers. Both must fail, or both restore the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quarnix.h"

namespace {

constexpr size_t CAPACITY = size_t{1} << 20;

// Whether the header names blocks beyond 1 MiB, which a few bytes of
// payload can fill with runs (slow, and not what this target is after).
bool large_blocks(const uint8_t* data, size_t size)
{
    if (size < 18)
        return false;
    const unsigned code = data[16] | unsigned(data[17]) << 8;
    const unsigned count = code >> 1;
    return (code & 1) ? false : count > 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const size_t pieces[2] = {size_t{data[0]} + 1, size_t{data[1]} * 31 + 1};
    const size_t rooms[2] = {size_t{data[2]} + 1, size_t{data[3]} * 67 + 1};
    data += 4;
    size -= 4;
    if (large_blocks(data, size))
        return 0;

    std::vector<uint8_t> whole(CAPACITY), streamed(CAPACITY);
    const size_t expected = qrn_decompress(whole.data(), CAPACITY, data, size);

    qrn_dctx* d = qrn_dctx_create();
    size_t given = 0, written = 0, result = 1;
    for (int k = 0; result != 0 && !qrn_is_error(result); ++k) {
        const size_t chunk = std::min(pieces[k % 2], size - given);
        const bool last = given + chunk == size;
        qrn_in_buffer in = {data + given, chunk, 0};
        for (int j = 0;; ++j) {
            qrn_out_buffer out = {streamed.data() + written, std::min(rooms[j % 2], CAPACITY - written), 0};
            result = qrn_decompress_stream(d, &out, &in, last ? QRN_E_END : QRN_E_CONTINUE);
            written += out.pos;
            if (qrn_is_error(result) || result == 0)
                break;
            if (!last && in.pos == in.size)
                break;
            if (out.size == 0) {
                result = size_t(0) - QRN_ERROR_DST_TOO_SMALL;
                break;
            }
        }
        // A container that ends before its input does is no single container.
        if (result == 0 && (!last || in.pos != in.size))
            result = size_t(0) - QRN_ERROR_LENGTH;
        given += in.pos;
    }
    qrn_dctx_free(d);

    if (qrn_is_error(expected) != qrn_is_error(result))
        std::abort();
    if (!qrn_is_error(expected) && (expected != written || std::memcmp(whole.data(), streamed.data(), written) != 0))
        std::abort();
    return 0;
}
