// The eight-lane rANS coder: a segment of byte symbols becomes a
// self-contained byte string, cut into chunks that each carry their own
// frequency table (sent as a difference from the next chunk's table).
//
// Segment layout: 32 bytes of final lane states (value k starts decoder lane
// 7 - k), a count byte (chunk 0's symbol count minus one), the initial table
// as a bit field, then per chunk a header bit field and the chunk's 16-bit
// words in consumption order.
#pragma once

#include <cstdint>
#include <span>

namespace qrn {

constexpr int ANSC_LANES = 8;
constexpr uint32_t ANSC_SCALE_BITS = 11;
constexpr uint32_t ANSC_SCALE = 1u << ANSC_SCALE_BITS;  // every chunk's frequencies sum to this
constexpr uint32_t ANSC_STATE_LOW = 1u << 15;           // lane states live in [2^15, 2^31)
constexpr uint32_t ANSC_MAX_CHUNK = 65535;

// Per stream and direction. The encoder keeps its lane states locally; the
// decoder carries them from chunk to chunk here. Entries of `freq` at or above
// the count are never cleared: both sides keep them identically.
struct AnscContext {
    uint32_t state[ANSC_LANES];
    uint32_t last_symbol;  // symbol count of the table below, minus one
    uint32_t freq[256];
};

// Division by a frequency f as a multiply and shift; `complement` is 2048 - f.
struct ReciprocalEntry {
    uint32_t rcp;
    uint16_t shift;
    uint16_t complement;
};

// Builds the shared reciprocal table; later calls do nothing.
void ansc_init_tables();
// Entry for frequency f (1..2048); valid after ansc_init_tables.
const ReciprocalEntry& ansc_reciprocal(uint32_t f);

// Last symbol 255 and every frequency 0; the states are left alone.
void ansc_reset(AnscContext& ctx);

// Encodes `count` (>= 1) symbols in chunks of `chunk_size` (1..65535) as one
// segment starting at `dest`. The space from `dest` to `scratch_end` is the
// working area: the data is built backwards from `scratch_end` and then moved
// down. Returns one past the last byte of the segment. Leaves chunk 0's table
// (and the leftovers above its count) in `ctx`. Null when the working area
// is too small (callers size it so that this cannot happen; the block is then
// stored raw rather than the process ended).
using AnscEncodeFn = uint8_t* (*)(AnscContext& ctx, const uint8_t* symbols, uint32_t count,
                                  uint32_t chunk_size, uint8_t* dest, uint8_t* scratch_end);

// Decodes one chunk of `n` symbols (1..65535) into `dest` (n bytes written),
// reading its header and words from `pos`; no byte at or beyond `end` is
// used. Returns the position after the chunk, or null when the data is
// damaged (a table with more than 256 symbols or frequencies not summing to
// 2048, a malformed header, words running past `end`).
using AnscDecodeFn = const uint8_t* (*)(AnscContext& ctx, const uint8_t* pos, const uint8_t* end,
                                        uint32_t n, uint8_t* dest);

// The builds in use, chosen at start-up (scalar until then).
extern AnscEncodeFn ansc_encode;
extern AnscDecodeFn ansc_decode;

uint8_t* ansc_encode_scalar(AnscContext& ctx, const uint8_t* symbols, uint32_t count,
                            uint32_t chunk_size, uint8_t* dest, uint8_t* scratch_end);
const uint8_t* ansc_decode_scalar(AnscContext& ctx, const uint8_t* pos, const uint8_t* end,
                                  uint32_t n, uint8_t* dest);

// One build of the coder and the lowest processor level that runs it. Every
// build reads and writes the same bytes.
struct AnscBuild {
    const char* name;
    int level;
    AnscEncodeFn encode;
    AnscDecodeFn decode;
};
// The builds in this program, lowest level first; the first is the scalar
// build, which runs everywhere.
std::span<const AnscBuild> ansc_builds();

// Reads a segment's lane states, count byte and initial table into `ctx` and
// advances `*pos` past them. False (with `*pos` unchanged) when the header is
// damaged or would use bytes at or beyond `end`.
bool ansc_read_header(AnscContext& ctx, const uint8_t** pos, const uint8_t* end);

// Worst-case size of a segment of `count` symbols, whatever their values: what
// a caller must leave between `dest` and `scratch_end`.
uint64_t ansc_bound(uint32_t count, uint32_t chunk_size);

// Build the reciprocal table and point ansc_encode / ansc_decode at the
// highest build that `level` runs.
void ansc_select_encoder(int level);
void ansc_select_decoder(int level);

} // namespace qrn
