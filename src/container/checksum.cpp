#include "container/checksum.h"

#include <new>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace qrn {

struct ContentHash {
    XXH3_state_t state;
};

#if QRN_CHECKSUM_AVX2
// checksum_avx2.cpp: the same update compiled for AVX2.
void content_hash_update_avx2(void* state, const void* data, size_t bytes);
#endif

namespace {

void update_baseline(void* state, const void* data, size_t bytes)
{
    XXH3_64bits_update(static_cast<XXH3_state_t*>(state), data, bytes);
}

void (*update_build)(void*, const void*, size_t) = update_baseline;

} // namespace

void content_hash_select(int processor_level)
{
    update_build = update_baseline;
#if QRN_CHECKSUM_AVX2
    if (processor_level >= 8)
        update_build = content_hash_update_avx2;
#endif
}

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
    update_build(&h->state, data, bytes);
}

uint32_t content_hash_low32(const ContentHash* h) { return static_cast<uint32_t>(XXH3_64bits_digest(&h->state)); }

uint32_t content_hash_of(const void* data, size_t bytes) { return static_cast<uint32_t>(XXH3_64bits(data, bytes)); }

} // namespace qrn
