// The checksum's update step built for AVX2 (this file alone is compiled with
// -mavx2; it runs only where the processor probe found AVX2).
#if defined(__AVX2__)
#include <cstddef>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace qrn {

void content_hash_update_avx2(void* state, const void* data, size_t bytes)
{
    XXH3_64bits_update(static_cast<XXH3_state_t*>(state), data, bytes);
}

} // namespace qrn
#endif
