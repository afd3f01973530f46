// One block of a container, coded or restored: the content filter, the
// method's codec and the record's front, the same for every caller.
#pragma once

#include <cstdint>

#include "codecs/codec_call.h"
#include "container/container_format.h"

namespace qrn {

// A record made from one block.
struct EncodedRecord {
    uint8_t* data;     // the record's first byte (its flag)
    uint32_t length;   // front and payload
    uint8_t* buffer;   // which of the two buffers holds it
    uint32_t coded;    // what the codec returned: the payload's bytes, or CODEC_FAIL
};

// Filters and compresses the `in_size` bytes at `in_buffer` + 1 (slack
// cleared behind them). The record is the payload in `out_buffer` (of
// `capacity` bytes plus slack) behind its front, or, when the payload is not
// smaller than the block, the filtered bytes behind a raw flag in `in_buffer`.
// `progress` (may be null) hears how far a long parse has come; the codec may
// start `helpers` threads of its own.
EncodedRecord block_encode(const ContainerHeader& h, uint8_t* in_buffer, uint32_t in_size, uint8_t* out_buffer,
                           uint64_t capacity, BlockProgress* progress = nullptr, uint8_t helpers = 0);

// Restores a compressed record's payload (`payload` bytes at `in`, slack
// behind) into `out` (`decoded` bytes plus slack) and undoes the filter.
// False when the block does not decode to exactly its size.
bool block_decode(const ContainerHeader& h, uint8_t* in, uint32_t payload, uint8_t* out, uint32_t decoded);

// Undoes the filter of a raw record's bytes.
void block_unfilter_raw(const ContainerHeader& h, uint8_t* data, uint32_t size);

} // namespace qrn
