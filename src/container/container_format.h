// The container: a 32-byte header, then one record per block.
#pragma once

#include <cstdint>

#include "container/codec_job.h"

namespace qrn {

constexpr int HEADER_SIZE = 32;
constexpr uint8_t BLOCK_RAW = 0;
constexpr uint8_t BLOCK_COMPRESSED = 1;   // flag bit 0
constexpr uint8_t BLOCK_HAS_SIZE = 2;     // flag bit 1: the record carries U
constexpr int RECORD_FRONT_FULL = 5;      // flag + P
constexpr int RECORD_FRONT_SHORT = 9;     // flag + P + U

constexpr uint32_t KIB = 1024;
constexpr uint32_t MIB = 1024 * 1024;
constexpr uint32_t MAX_UNIT_COUNT = 1024;

// Header bytes for a job's first six fields (magic "QR0", zero padding).
void header_encode(const CodecJob& job, uint8_t out[HEADER_SIZE]);
// True when bytes 1..3 hold the magic.
bool header_magic_ok(const uint8_t in[HEADER_SIZE]);
// Takes bytes 16..31 back into the job's first six fields.
void header_decode(const uint8_t in[HEADER_SIZE], CodecJob* job);

// Bytes of the length fields behind a record's flag byte: none for a raw
// record, P for a compressed one, and U too when it carries its size.
inline int64_t record_field_bytes(uint8_t flag)
{
    return !(flag & BLOCK_COMPRESSED) ? 0 : (flag & BLOCK_HAS_SIZE) ? 8 : 4;
}
// Takes a compressed record's payload length P and decoded length (U, or the
// block size) from its length fields. Null, or why the record is damaged.
const char* record_lengths(uint8_t flag, const uint8_t* fields, uint32_t block_size, uint32_t* payload,
                           uint32_t* decoded);

// Integrity fields: an extension that readers of the plain format skip (they
// ignore header bytes 4..15 and 28..31). Bytes 4..6 hold the mark "IX1",
// byte 7 the state, bytes 8..15 the original length, bytes 28..31 the low 32
// bits of the content checksum. A header without the mark has no fields.
constexpr uint8_t INTEGRITY_NONE = 0;
constexpr uint8_t INTEGRITY_PENDING = 1;    // the compression has not finished
constexpr uint8_t INTEGRITY_COMPLETE = 2;
constexpr uint8_t INTEGRITY_LENGTH = 3;     // length recorded, no checksum (a stream of pledged size)
struct IntegrityFields {
    uint8_t state = INTEGRITY_NONE;   // with the mark, whatever byte 7 holds
    uint64_t length = 0;
    uint32_t checksum = 0;
};
// Writes the fields into a header (nothing for INTEGRITY_NONE).
void integrity_encode(const IntegrityFields& f, uint8_t header[HEADER_SIZE]);
IntegrityFields integrity_decode(const uint8_t header[HEADER_SIZE]);

// The whole header as one record: what every writer puts in and every reader
// (pipelines, --list, the library, the benchmark) takes out.
struct ContainerHeader {
    uint16_t bsize_code = 0;
    uint8_t method = 0;
    uint8_t level = 0;
    uint8_t filter = 0;
    int32_t hash_bits = 0;
    IntegrityFields fields;
};

// What a header says of itself.
enum class HeaderCheck {
    Ok,
    NotContainer,    // no magic
    Incomplete,      // integrity fields say the compression did not finish
    UnknownState,    // integrity mark with a state no writer produces
    Damaged,         // no such method, or a block-size code no writer produces
};

// Writes all 32 bytes: magic, integrity fields (when any), settings.
void container_header_encode(const ContainerHeader& h, uint8_t out[HEADER_SIZE]);
// Reads all 32 bytes and says whether a reader may go on.
HeaderCheck container_header_decode(const uint8_t in[HEADER_SIZE], ContainerHeader* h);

// The front of a record: its flag byte and, for a compressed record, the
// payload length P and the decoded length U (the block size when absent).
struct RecordFront {
    uint8_t flags = 0;
    uint32_t payload = 0;   // bytes that follow the front (P; the block's bytes when raw)
    uint32_t decoded = 0;   // bytes the record restores to (raw: up to the block size)
};
// Bytes of a front with this flag byte: 1, 5 or 9.
inline int record_front_bytes(uint8_t flags) { return 1 + static_cast<int>(record_field_bytes(flags)); }
// Writes a front; returns its bytes. A raw record's front is its flag alone.
int record_front_encode(const RecordFront& r, uint8_t* out);
// Reads a front whose flag byte and length fields are at `in` (as many bytes
// as record_front_bytes(in[0]) says). Null, or why it is damaged.
const char* record_front_decode(const uint8_t* in, uint32_t block_size, RecordFront* r);

// The smallest code whose block size holds `size` bytes: KiB units below
// 1 MiB, MiB units up to 1 GiB, 1024 MiB above.
uint16_t bsize_encode(uint64_t size);
// Block size of a code, in bytes (may exceed what a writer produces).
uint64_t bsize_decode(uint16_t code);
// True for the codes a writer produces: 0..1024 KiB units, 1..1024 MiB units.
bool bsize_code_valid(uint16_t code);

// True when `name` is longer than 3 characters and ends in ".qrn", in any
// letter case.
bool has_container_extension(const char* name);

// The header fields of a queued job.
inline ContainerHeader job_header(const CodecJob& job)
{
    ContainerHeader h;
    h.bsize_code = job.bsize_code;
    h.method = job.method;
    h.level = job.level;
    h.filter = job.filter;
    h.hash_bits = job.hash_bits;
    return h;
}

// Block size of a header whose code is valid.
inline uint32_t header_block_size(const ContainerHeader& h)
{
    return static_cast<uint32_t>(bsize_decode(h.bsize_code));
}

} // namespace qrn
