#include "container/block_coding.h"

#include "codecs/codec_table.h"
#include "container/filters.h"

namespace qrn {

EncodedRecord block_encode(const ContainerHeader& h, uint8_t* in_buffer, uint32_t in_size, uint8_t* out_buffer,
                           uint64_t capacity, BlockProgress* progress, uint8_t helpers)
{
    const uint32_t block_size = header_block_size(h);
    RecordFront front;
    front.flags = in_size < block_size ? (BLOCK_COMPRESSED | BLOCK_HAS_SIZE) : BLOCK_COMPRESSED;
    front.decoded = in_size;
    const int front_bytes = record_front_bytes(front.flags);
    const BlockCall call{h.method, h.level, h.hash_bits, in_buffer + 1, in_size, out_buffer + front_bytes,
                         static_cast<uint32_t>(capacity - static_cast<uint64_t>(front_bytes)), progress, helpers};
    filter_apply(h.filter, call.in, in_size, true);
    front.payload = encoder_for(h.method)(call);
    if (front.payload < in_size) {
        record_front_encode(front, out_buffer);
        return {out_buffer, front.payload + static_cast<uint32_t>(front_bytes), out_buffer, front.payload};
    }
    in_buffer[0] = BLOCK_RAW;
    return {in_buffer, in_size + 1, in_buffer, front.payload};
}

bool block_decode(const ContainerHeader& h, uint8_t* in, uint32_t payload, uint8_t* out, uint32_t decoded)
{
    const BlockCall call{h.method, h.level, h.hash_bits, in, payload, out, decoded};
    if (decoder_for(h.method)(call) != decoded)
        return false;
    filter_apply(h.filter, out, decoded, false);
    return true;
}

void block_unfilter_raw(const ContainerHeader& h, uint8_t* data, uint32_t size)
{
    filter_apply(h.filter, data, size, false);
}

} // namespace qrn
