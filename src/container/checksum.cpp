#include "container/checksum.h"

#include <new>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace qrn {

struct ContentHash {
    XXH3_state_t state;
};

void ContentHashFree::operator()(ContentHash* h) const { delete h; }

ContentHashPtr content_hash_new()
{
    ContentHashPtr h(new (std::nothrow) ContentHash);
    if (h)
        XXH3_64bits_reset(&h->state);
    return h;
}

void content_hash_update(ContentHash* h, const void* data, size_t bytes)
{
    XXH3_64bits_update(&h->state, data, bytes);
}

uint32_t content_hash_low32(const ContentHash* h) { return static_cast<uint32_t>(XXH3_64bits_digest(&h->state)); }

uint32_t content_hash_of(const void* data, size_t bytes) { return static_cast<uint32_t>(XXH3_64bits(data, bytes)); }

} // namespace qrn
