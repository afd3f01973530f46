#include "container/container_format.h"

#include <cstring>

#include "codecs/codec_table.h"
#include "common/bytes.h"

namespace qrn {

void header_encode(const CodecJob& job, uint8_t out[HEADER_SIZE])
{
    std::memset(out, 0, HEADER_SIZE);
    out[1] = 'Q';
    out[2] = 'R';
    out[3] = '0';
    store_le16(out + 16, job.bsize_code);
    out[18] = job.method;
    out[19] = job.level;
    out[20] = job.filter;
    store_le32(out + 24, static_cast<uint32_t>(job.hash_bits));
    store_le32(out + 28, job.seq);
}

void container_header_encode(const ContainerHeader& h, uint8_t out[HEADER_SIZE])
{
    std::memset(out, 0, HEADER_SIZE);
    out[1] = 'Q';
    out[2] = 'R';
    out[3] = '0';
    store_le16(out + 16, h.bsize_code);
    out[18] = h.method;
    out[19] = h.level;
    out[20] = h.filter;
    store_le32(out + 24, static_cast<uint32_t>(h.hash_bits));
    integrity_encode(h.fields, out);
}

HeaderCheck container_header_decode(const uint8_t in[HEADER_SIZE], ContainerHeader* h)
{
    if (!header_magic_ok(in))
        return HeaderCheck::NotContainer;
    h->bsize_code = load_le16(in + 16);
    h->method = in[18];
    h->level = in[19];
    h->filter = in[20];
    h->hash_bits = static_cast<int32_t>(load_le32(in + 24));
    h->fields = integrity_decode(in);
    if (h->fields.state == INTEGRITY_PENDING)
        return HeaderCheck::Incomplete;
    if (h->fields.state != INTEGRITY_NONE && h->fields.state != INTEGRITY_COMPLETE &&
        h->fields.state != INTEGRITY_LENGTH)
        return HeaderCheck::UnknownState;
    if (!decoder_for(h->method) || !bsize_code_valid(h->bsize_code))
        return HeaderCheck::Damaged;
    return HeaderCheck::Ok;
}

int record_front_encode(const RecordFront& r, uint8_t* out)
{
    out[0] = r.flags;
    if (!(r.flags & BLOCK_COMPRESSED))
        return 1;
    store_le32(out + 1, r.payload);
    if (!(r.flags & BLOCK_HAS_SIZE))
        return RECORD_FRONT_FULL;
    store_le32(out + 5, r.decoded);
    return RECORD_FRONT_SHORT;
}

const char* record_front_decode(const uint8_t* in, uint32_t block_size, RecordFront* r)
{
    r->flags = in[0];
    r->payload = r->decoded = block_size;
    if (!(r->flags & BLOCK_COMPRESSED))
        return nullptr;
    return record_lengths(r->flags, in + 1, block_size, &r->payload, &r->decoded);
}

bool header_magic_ok(const uint8_t in[HEADER_SIZE])
{
    return in[1] == 'Q' && in[2] == 'R' && in[3] == '0';
}

void header_decode(const uint8_t in[HEADER_SIZE], CodecJob* job)
{
    job->bsize_code = load_le16(in + 16);
    job->method = in[18];
    job->level = in[19];
    job->filter = in[20];
    job->hash_bits = static_cast<int32_t>(load_le32(in + 24));
    job->seq = load_le32(in + 28);
}

const char* record_lengths(uint8_t flag, const uint8_t* fields, uint32_t block_size, uint32_t* payload,
                           uint32_t* decoded)
{
    *payload = load_le32(fields);
    *decoded = (flag & BLOCK_HAS_SIZE) ? load_le32(fields + 4) : block_size;
    if (*decoded > block_size)
        return "damaged: a record longer than the block size";
    if (*payload > *decoded)
        return "damaged: a record's payload longer than its content";
    return nullptr;
}

void integrity_encode(const IntegrityFields& f, uint8_t header[HEADER_SIZE])
{
    if (f.state == INTEGRITY_NONE)
        return;
    std::memcpy(header + 4, "IX1", 3);
    header[7] = f.state;
    store_le64(header + 8, f.length);
    store_le32(header + 28, f.checksum);
}

IntegrityFields integrity_decode(const uint8_t header[HEADER_SIZE])
{
    IntegrityFields f;
    if (std::memcmp(header + 4, "IX1", 3) != 0)
        return f;
    // The mark with a zero state byte is no state a writer produces.
    f.state = header[7] == INTEGRITY_NONE ? 0xFF : header[7];
    f.length = load_le64(header + 8);
    f.checksum = load_le32(header + 28);
    return f;
}

uint16_t bsize_encode(uint64_t size)
{
    if (size > uint64_t(MAX_UNIT_COUNT) * MIB)
        return static_cast<uint16_t>(MAX_UNIT_COUNT * 2);
    if (size >= MIB)
        return static_cast<uint16_t>((size + MIB - 1) / MIB * 2);
    return static_cast<uint16_t>((size + KIB - 1) / KIB * 2 + 1);
}

uint64_t bsize_decode(uint16_t code)
{
    uint64_t count = code >> 1;
    return count * ((code & 1) ? KIB : MIB);
}

bool bsize_code_valid(uint16_t code)
{
    uint32_t count = code >> 1;
    if (code & 1)
        return count <= MAX_UNIT_COUNT;
    return count >= 1 && count <= MAX_UNIT_COUNT;
}

bool has_container_extension(const char* name)
{
    const size_t len = std::strlen(name);
    if (len <= 3)
        return false;
    const char* ext = name + len - 4;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return ext[0] == '.' && lower(ext[1]) == 'q' && lower(ext[2]) == 'r' && lower(ext[3]) == 'n';
}

} // namespace qrn
