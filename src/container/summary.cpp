#include "container/summary.h"

#include "codecs/codec_table.h"

namespace qrn {

int container_summarize(PlatformFile* in, ContainerSummary* s)
{
    uint8_t header[HEADER_SIZE];
    if (file_read_fully(in, header, HEADER_SIZE) != HEADER_SIZE || !header_magic_ok(header))
        return -1;
    CodecJob job{};
    header_decode(header, &job);
    s->method = job.method;
    s->level = job.level;
    s->filter = job.filter & 15;
    s->fields = integrity_decode(header);
    s->compressed = HEADER_SIZE;
    if (!decoder_for(job.method) || !bsize_code_valid(job.bsize_code)) {
        s->damage = "damaged header";
        return 0;
    }
    s->block_size = bsize_decode(job.bsize_code);
    bool short_seen = false;
    for (;;) {
        uint8_t fields[9];
        const int64_t got = file_read_fully(in, fields, 1);
        if (got == 0)
            return 0;
        if (got < 0 || s->block_size == 0 || short_seen) {
            s->damage = got < 0 ? "read error" : "damaged records";
            return 0;
        }
        const auto block_size = static_cast<uint32_t>(s->block_size);
        uint32_t length = block_size, decoded = block_size;
        const int64_t field_bytes = record_field_bytes(fields[0]);
        if (field_bytes > 0) {
            if (file_read_fully(in, fields + 1, field_bytes) != field_bytes) {
                s->damage = "truncated";
                return 0;
            }
            if (record_lengths(fields[0], fields + 1, block_size, &length, &decoded)) {
                s->damage = "damaged records";
                return 0;
            }
        }
        const int64_t skipped = file_skip(in, static_cast<int64_t>(length));
        if (skipped < 0 || (skipped < static_cast<int64_t>(length) && ((fields[0] & BLOCK_COMPRESSED) || skipped == 0))) {
            s->damage = skipped < 0 ? "read error" : "truncated";
            return 0;
        }
        if (!(fields[0] & BLOCK_COMPRESSED))
            decoded = static_cast<uint32_t>(skipped);
        short_seen = decoded < s->block_size;
        s->compressed += 1 + static_cast<uint64_t>(field_bytes) + static_cast<uint64_t>(skipped);
        s->original += decoded;
        ++s->records;
    }
}

} // namespace qrn
