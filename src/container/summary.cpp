#include "container/summary.h"

namespace qrn {

namespace {

// Notes why the records cannot be followed, and counts the `read` bytes of
// the record where that was found and every byte behind it in `compressed`.
int damaged(PlatformFile* in, ContainerSummary* s, const char* why, int64_t read)
{
    s->damage = why;
    const int64_t rest = file_skip(in, INT64_MAX);
    s->compressed += static_cast<uint64_t>(read) + static_cast<uint64_t>(rest > 0 ? rest : 0);
    return 0;
}

} // namespace

int container_summarize(PlatformFile* in, ContainerSummary* s)
{
    uint8_t header[HEADER_SIZE];
    ContainerHeader h;
    if (file_read_fully(in, header, HEADER_SIZE) != HEADER_SIZE ||
        container_header_decode(header, &h) == HeaderCheck::NotContainer)
        return -1;
    s->method = h.method;
    s->level = h.level;
    s->filter = h.filter & 15;
    s->fields = h.fields;
    s->compressed = HEADER_SIZE;
    // The records are followed whatever the integrity fields say.
    if (!container_header_settings_ok(h)) {
        return damaged(in, s, "damaged header", 0);
    }
    s->block_size = bsize_decode(h.bsize_code);
    bool short_seen = false;
    for (;;) {
        uint8_t front[RECORD_FRONT_SHORT];
        const int64_t got = file_read_fully(in, front, 1);
        if (got == 0)
            return 0;
        if (got < 0) {
            s->damage = "read error";
            return 0;
        }
        if (s->block_size == 0 || short_seen)
            return damaged(in, s, "damaged records", 1);
        const int64_t field_bytes = record_field_bytes(front[0]);
        const int64_t fields = field_bytes > 0 ? file_read_fully(in, front + 1, field_bytes) : 0;
        if (fields < 0) {
            s->damage = "read error";
            return 0;
        }
        if (fields != field_bytes)
            return damaged(in, s, "truncated", 1 + fields);
        RecordFront r;
        if (record_front_decode(front, static_cast<uint32_t>(s->block_size), &r))
            return damaged(in, s, "damaged records", 1 + fields);
        const int64_t skipped = file_skip(in, static_cast<int64_t>(r.payload));
        if (skipped < 0) {
            s->damage = "read error";
            return 0;
        }
        if (skipped < static_cast<int64_t>(r.payload) && ((r.flags & BLOCK_COMPRESSED) || skipped == 0))
            return damaged(in, s, "truncated", 1 + fields + skipped);
        if (!(r.flags & BLOCK_COMPRESSED))
            r.decoded = static_cast<uint32_t>(skipped);
        short_seen = r.decoded < s->block_size;
        s->compressed += 1 + static_cast<uint64_t>(field_bytes) + static_cast<uint64_t>(skipped);
        s->original += r.decoded;
        ++s->records;
    }
}

} // namespace qrn
