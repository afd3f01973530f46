#include "container/container_format.h"

#include <cstring>

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
