// What a container holds, read from its header and record fields without
// decoding any block.
#pragma once

#include <cstdint>

#include "container/container_format.h"
#include "platform/platform.h"

namespace qrn {

struct ContainerSummary {
    uint8_t method = 0, level = 0, filter = 0;
    uint64_t block_size = 0;
    IntegrityFields fields;
    uint64_t compressed = 0;       // container bytes read
    uint64_t original = 0;         // content bytes the records decode to
    uint64_t records = 0;
    const char* damage = nullptr;  // why the records could not be followed to the end
};

// Reads `in` to its end. 0, or -1 when it is not a container (too short or
// a wrong magic); damage past the header is reported in `s->damage`.
int container_summarize(PlatformFile* in, ContainerSummary* s);

} // namespace qrn
