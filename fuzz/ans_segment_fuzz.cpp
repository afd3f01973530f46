// One ANS segment: arbitrary bytes through the header reader and each chunk
// decoder build this processor runs (which must stay inside the segment,
// report damage, and agree with each other), and arbitrary symbol strings
// through every encoder build (same bytes) and back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ans/ans.h"
#include "common/bytes.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t CHUNKS[] = {12288, 14336, 16384, 1, 7, 8, 100, 65535};

// Decodes `count` symbols of the segment into `out`; the position after the
// last chunk, or null on reported damage.
const uint8_t* decode_all(qrn::AnscDecodeFn decode, const uint8_t* seg, size_t size, uint32_t count,
                          uint32_t chunk, uint8_t* out)
{
    qrn::AnscContext ctx;
    const uint8_t* pos = seg;
    if (!qrn::ansc_read_header(ctx, &pos, seg + size))
        return nullptr;
    for (uint32_t done = 0; done < count && pos != nullptr; done += chunk)
        pos = decode(ctx, pos, seg + size, count - done < chunk ? count - done : chunk, out + done);
    return pos;
}

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
        std::vector<uint8_t> first(count), out(count);
        const uint8_t* first_end = decode_all(ansc_decode_scalar, seg.get(), size, count, chunk, first.data());
        for (const AnscBuild& b : ansc_builds()) {
            if (b.level > cpu_feature_level() || b.decode == ansc_decode_scalar)
                continue;
            const uint8_t* end = decode_all(b.decode, seg.get(), size, count, chunk, out.data());
            if (end != first_end || (end != nullptr && out != first))
                std::abort();
        }
        return 0;
    }

    if (size == 0)
        return 0;
    const uint32_t n = static_cast<uint32_t>(size);
    std::vector<uint8_t> reference;
    for (const AnscBuild& b : ansc_builds()) {
        if (b.level > cpu_feature_level())
            continue;
        AnscContext enc;
        ansc_reset(enc);
        std::vector<uint8_t> buf(ansc_bound(n, chunk));
        buf.resize(static_cast<size_t>(b.encode(enc, data, n, chunk, buf.data(), buf.data() + buf.size()) - buf.data()));
        if (reference.empty())
            reference = buf;
        else if (buf != reference)
            std::abort();
        std::unique_ptr<uint8_t[]> seg(new uint8_t[buf.size()]);
        std::memcpy(seg.get(), buf.data(), buf.size());
        std::vector<uint8_t> back(n);
        if (decode_all(b.decode, seg.get(), buf.size(), n, chunk, back.data()) != seg.get() + buf.size() ||
            std::memcmp(back.data(), data, n) != 0)
            std::abort();
    }
    return 0;
}
