// The one place where the library turns its parameters into a container's
// settings, by the program's rules (method and level pairs, hash bits, block
// size).
#include "codecs/codec_table.h"
#include "container/pipeline.h"
#include "lib/lib_internal.h"

namespace qrn {

namespace {

bool pair_exists(int method, int level)
{
    if (method < 1 || method > METHOD_COUNT)
        return false;
    if (level == 9)
        return true;
    return method != 4 && level >= 0 && level <= 2;
}

// The level-9 share of memory per thread, from a given memory size instead
// of the machine's, cut to the input as the program's rule does.
uint64_t block_size_for_memory(uint64_t memory, int threads, int64_t input_bytes)
{
    constexpr uint64_t STRONG_BLOCK_MIN = 32 * MIB;
    uint64_t size = memory / 14 / static_cast<uint64_t>(threads > 0 ? threads : 1);
    if (size < STRONG_BLOCK_MIN)
        size = STRONG_BLOCK_MIN;
    if (input_bytes >= 0 && static_cast<uint64_t>(input_bytes) < size)
        size = static_cast<uint64_t>(input_bytes);
    return size;
}

} // namespace

qrn_error_code lib_settings(const LibParams& p, int64_t input_bytes, ContainerHeader* h)
{
    if (!pair_exists(p.method, p.level))
        return QRN_ERROR_UNSUPPORTED;
    h->method = static_cast<uint8_t>(p.method);
    h->level = static_cast<uint8_t>(p.level);
    h->filter = static_cast<uint8_t>(p.filter);
    h->hash_bits = effective_hash_bits(p.hash_bits, p.method, p.level);
    uint64_t size;
    if (p.block_size == 0 && p.level == 9 && p.memory_limit != 0)
        size = block_size_for_memory(p.memory_limit, p.threads, input_bytes);
    else
        size = choose_block_size(static_cast<uint32_t>(p.block_size), h->level, p.threads, input_bytes);
    h->bsize_code = bsize_encode(size);
    return QRN_OK;
}

} // namespace qrn
