// A block as the pipelines queue it for a worker: its place in the write
// order, the file it belongs to (whose header holds the file's settings) and
// its bytes.
#pragma once

#include <cstdint>

namespace qrn {

struct OutputFile;

struct QueuedBlock {
    uint32_t seq = 0;            // place in the run-wide write order
    OutputFile* out = nullptr;   // the file's state and output; codecs never see it
    uint8_t flags = 0;           // the record's flag byte (decompression)
    uint8_t* in = nullptr;       // compression: the block at offset 1; decompression: the
                                 // record's payload; null: the block only ends its file
    uint32_t in_size = 0;
    uint32_t out_size = 0;       // decompression: the exact restored size
    bool ends_file = false;      // the file's output is finished after this block
    uint8_t helpers = 0;         // compression: threads the codec may start beside the worker's
                                 // (queued as 1 for a file's last block as far as is known)
    bool stop = false;           // ends the worker that takes it
};

} // namespace qrn
