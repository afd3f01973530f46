// One ANS segment: arbitrary bytes through the header reader and the chunk
// decoder (which must stay inside the segment and report damage), and
// arbitrary symbol strings through an encode/decode round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ans/ans.h"
#include "common/bytes.h"

namespace {

constexpr uint32_t CHUNKS[] = {12288, 14336, 16384, 1, 7, 8, 100, 65535};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qrn;
    if (size < 3)
        return 0;
    const uint32_t chunk = CHUNKS[data[0] & 7];
    const bool round_trip = (data[0] & 8) != 0;
    const uint32_t count = 1 + (qrn::load_le16(data + 1) % 40000);
    data += 3;
    size -= 3;

    if (!round_trip) {
        // The segment in a buffer of exactly its size: any read past it shows.
        std::unique_ptr<uint8_t[]> seg(new uint8_t[size ? size : 1]);
        if (size)
            std::memcpy(seg.get(), data, size);
        std::vector<uint8_t> out(count);
        AnscContext ctx;
        const uint8_t* pos = seg.get();
        const uint8_t* end = pos + size;
        if (!ansc_read_header(ctx, &pos, end))
            return 0;
        for (uint32_t done = 0; done < count && pos != nullptr; done += chunk) {
            const uint32_t n = count - done < chunk ? count - done : chunk;
            pos = ansc_decode_scalar(ctx, pos, end, n, out.data() + done);
        }
        return 0;
    }

    if (size == 0)
        return 0;
    AnscContext enc;
    ansc_reset(enc);
    const uint32_t n = static_cast<uint32_t>(size);
    std::vector<uint8_t> buf(ansc_bound(n, chunk));
    uint8_t* end = ansc_encode_scalar(enc, data, n, chunk, buf.data(), buf.data() + buf.size());
    const size_t seg_size = static_cast<size_t>(end - buf.data());
    std::unique_ptr<uint8_t[]> seg(new uint8_t[seg_size]);
    std::memcpy(seg.get(), buf.data(), seg_size);
    AnscContext dec;
    const uint8_t* pos = seg.get();
    if (!ansc_read_header(dec, &pos, seg.get() + seg_size))
        std::abort();
    std::vector<uint8_t> back(n);
    for (uint32_t done = 0; done < n; done += chunk) {
        const uint32_t m = n - done < chunk ? n - done : chunk;
        pos = ansc_decode_scalar(dec, pos, seg.get() + seg_size, m, back.data() + done);
        if (pos == nullptr)
            std::abort();
    }
    if (pos != seg.get() + seg_size || std::memcmp(back.data(), data, n) != 0)
        std::abort();
    return 0;
}
