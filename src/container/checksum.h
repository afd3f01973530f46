// The checksum a container keeps of its file's original content: XXH3-64
// with seed 0, of which the header holds the low 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qrn {

struct ContentHash;
struct ContentHashFree {
    void operator()(ContentHash* h) const;
};
using ContentHashPtr = std::unique_ptr<ContentHash, ContentHashFree>;

// Chooses the build that computes the checksum from the processor level of
// the start-up probe (8 and above: AVX2); the default is the baseline build.
// Call before any worker starts. Every build gives the same checksum.
void content_hash_select(int processor_level);

// A fresh running checksum, or null when memory is short.
ContentHashPtr content_hash_new();
void content_hash_update(ContentHash* h, const void* data, size_t bytes);
// The low 32 bits of the checksum of everything given so far.
uint32_t content_hash_low32(const ContentHash* h);
// The low 32 bits of the checksum of one buffer.
uint32_t content_hash_of(const void* data, size_t bytes);

} // namespace qrn
