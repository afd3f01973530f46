// Process-wide preparation for the library. Each table or choice is made
// once, by whichever context needs it first; contexts that come later (in
// any thread) wait for it and then only read.
#include <mutex>

#include "codecs/codec_plan.h"
#include "container/checksum.h"
#include "lib/lib_internal.h"
#include "platform/platform.h"

namespace qrn {

namespace {

std::once_flag probe_once;
int processor_level = 0;

void probe()
{
    std::call_once(probe_once, [] {
        processor_level = cpu_feature_level();
        content_hash_select(processor_level);
        // A library says nothing and never ends the process.
        codecs_quiet_pool();
    });
}

} // namespace

void lib_prepare_decoding()
{
    probe();
    codecs_prepare_shared(processor_level, codec_plan_decode());
}

void lib_prepare_encoding(int method, int level)
{
    probe();
    codecs_prepare_shared(processor_level, codec_plan(method, level));
}

} // namespace qrn
