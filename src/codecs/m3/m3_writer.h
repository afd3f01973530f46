// The five stream writers of method 3's compressors: they gather symbols,
// extra bits and raw runs, and write a stream's segment as soon as it is full
// (and the partial ones at the end of the block).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ans/ans.h"
#include "common/bytes.h"
#include "codecs/codec_call.h"
#include "codecs/common/copy.h"
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
    // Sequences that can still be added before any stream could fill its
    // segment: until then no segment is written, and m3w_sequence skips the
    // checks for a full one.
    uint32_t easy_sequences = 0;
    void* memory = nullptr;
    size_t memory_size = 0;
};

// Sets up the writers for one block of `job` (its input, output area and
// level). False when the working memory cannot be had.
bool m3w_open(M3Writers& m, const BlockCall& job);
void m3w_close(M3Writers& m);

// The general form of m3w_sequence: every symbol added on its own, a stream
// flushed as soon as it fills; then the count of easy sequences renewed.
void m3w_sequence_checked(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t match_length,
                          uint32_t offset_value);

// The token's extension values (match code 31, literal code 7) of a
// sequence that cannot fill a stream.
void m3w_extensions(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t code);

// One sequence: the literal run [run_start, run_start + run_length) of the
// input, then a match of `match_length` (>= the minimum) with `offset_value`
// (0-3 a repeat, else distance + 4). The buffers are sized for a parse of the
// block: runs inside the input, and no more sequences than input bytes.
inline void m3w_sequence(M3Writers& m, uint32_t run_start, uint32_t run_length, uint32_t match_length,
                         uint32_t offset_value)
{
    if (m.easy_sequences == 0) [[unlikely]] {
        m3w_sequence_checked(m, run_start, run_length, match_length, offset_value);
        return;
    }
    --m.easy_sequences;
    const uint32_t code = match_length - m.min_match;
    const uint32_t match_code = code < M3_MC_EXT ? code : M3_MC_EXT;
    const uint32_t lc = run_length < M3_LC_EXT ? run_length : M3_LC_EXT;
    {
        M3StreamWriter& w = m.w[M3_TOKENS];
        const uint32_t count = w.count;
        w.count = count + 1;
        w.symbols[count] = static_cast<uint8_t>(lc << 5 | match_code);
    }
    if (run_length <= m.raw_threshold) {
        M3StreamWriter& w = m.w[M3_LITERALS];
        const uint32_t count = w.count;
        w.count = count + run_length;
        uint8_t* const dst = w.symbols + count;
        const uint8_t* const run = m.in + run_start;
        // 16-byte moves: the symbol area has 16 bytes of tail, the input its slack.
        if (run_length <= 16)
            copy16(dst, run);
        else
            wild_copy16(dst, run, dst + run_length);
    }
    {
        M3StreamWriter& w = m.w[M3_OFFSETS];
        const uint32_t count = w.count;
        uint8_t* const symbols = w.symbols;
        uint32_t symbol = offset_value;
        if (offset_value >= 16) {
            // The value's top four bits, 1xxx, make its bucket code with
            // the count of bits below them; those go to the raw bits.
            const uint32_t extra = m3_bucket_extra_bits(offset_value);
            const uint32_t top = offset_value >> extra;
            symbol = 8 * extra + top;
            const uint64_t acc = ((w.bit_acc - top) << extra) + offset_value;
            uint32_t bits = w.bit_count + extra;
            if (bits >= 32) {
                bits -= 32;
                uint8_t* const end = w.bits_end;
                w.bits_end = end + 4;
                w.bit_acc = acc;
                w.bit_count = bits;
                store_le32(end, __builtin_bswap32(static_cast<uint32_t>(acc >> bits)));
            } else {
                w.bit_acc = acc;
                w.bit_count = bits;
            }
        }
        w.count = count + 1;
        symbols[count] = static_cast<uint8_t>(symbol);
    }
    if ((lc == M3_LC_EXT) | (match_code == M3_MC_EXT)) [[unlikely]]
        m3w_extensions(m, run_start, run_length, code);
}

// The last run and the end marker, then the partial segments in stream
// order. Returns the payload size, or CODEC_FAIL when the output area was too
// small.
uint32_t m3w_finish(M3Writers& m, uint32_t run_start, uint32_t run_length);

} // namespace qrn
