// The five stream writers of method 3's compressors: they gather symbols,
// extra bits and raw runs, and write a stream's segment as soon as it is full
// (and the partial ones at the end of the block).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ans/ans.h"
#include "codecs/codec_call.h"
#include "codecs/m3/m3_format.h"

namespace qrn {

struct M3RawRun {
    uint32_t start;
    uint32_t length;
};

struct M3StreamWriter {
    uint8_t* symbols = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;   // a full segment
    uint32_t link_slot = 0;  // output offset of the link word to fill next
    // Extra bits of the pending symbols, most significant bit first: whole
    // bytes in `bits`, the rest in `bit_acc`.
    uint8_t* bits = nullptr;
    uint8_t* bits_end = nullptr;
    uint64_t bit_acc = 0;
    uint32_t bit_count = 0;
    // Runs of the pending literal-run extension symbols that go raw.
    M3RawRun* runs = nullptr;
    uint32_t run_count = 0;
    AnscContext ctx;
};

struct M3Writers {
    M3StreamWriter w[M3_STREAMS];
    const uint8_t* in = nullptr;
    uint8_t* out = nullptr;
    uint8_t* pos = nullptr;        // next output byte
    uint8_t* end = nullptr;        // end of the output area
    uint32_t min_match = 4;
    uint32_t raw_threshold = 256;  // literal runs longer than this are stored raw
    bool failed = false;           // the output area was too small
    void* memory = nullptr;
    size_t memory_size = 0;
};

// Sets up the writers for one block of `job` (its input, output area and
// level). False when the working memory cannot be had.
bool m3w_open(M3Writers& m, const BlockCall& job);
void m3w_close(M3Writers& m);

// One sequence: the literal run [run_start, run_start + run_length) of the
// input, then a match of `match_length` (>= the minimum) with `offset_value`
// (0-3 a repeat, else distance + 4). The buffers are sized for a parse of the
// block: runs inside the input, and no more sequences than input bytes.
void m3w_sequence(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t match_length,
                  uint32_t offset_value);

// The last run and the end marker, then the partial segments in stream
// order. Returns the payload size, or CODEC_FAIL when the output area was too
// small.
uint32_t m3w_finish(M3Writers& m, uint32_t run_start, uint32_t run_length);

} // namespace qrn
