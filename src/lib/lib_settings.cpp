// The one place where the library turns its parameters into a container's
// settings, by the same plan the program follows.
#include "codecs/codec_plan.h"
#include "lib/lib_internal.h"
#include "platform/platform.h"

namespace qrn {

qrn_error_code lib_settings(const LibParams& p, int64_t input_bytes, ContainerHeader* h)
{
    const CodecPlan plan = codec_plan(p.method, p.level);
    if (!plan.exists)
        return QRN_ERROR_UNSUPPORTED;
    h->method = static_cast<uint8_t>(p.method);
    h->level = static_cast<uint8_t>(p.level);
    h->filter = static_cast<uint8_t>(p.filter);
    h->hash_bits = codec_plan_hash_bits(plan, p.hash_bits);
    const uint64_t figure = physical_memory();
    const bool limited = p.memory_limit != 0 || memory_is_limited();
    const uint64_t memory = p.memory_limit != 0 && (figure == 0 || p.memory_limit < figure) ? p.memory_limit : figure;
    // As the program's --memory: a block asked for must fit the limit set.
    if (p.memory_limit != 0 && codec_plan_block_memory(plan, p.block_size) > p.memory_limit)
        return QRN_ERROR_PARAMETER_RANGE;
    h->bsize_code = bsize_encode(codec_plan_block_size(plan, p.block_size, p.threads, input_bytes, memory, limited));
    return QRN_OK;
}

} // namespace qrn
