#include "pipeline/startup.h"

#include "container/checksum.h"
#include "platform/platform.h"

namespace qrn {

void startup_prepare(bool probe, const CodecPlan& plan)
{
    const int processor_level = probe ? cpu_feature_level() : 0;
    codecs_prepare(processor_level, plan);
    content_hash_select(processor_level);
}

void startup_release() { codecs_release(); }

} // namespace qrn
