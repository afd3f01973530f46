#include "cli/startup.h"

#include "codecs/codec_table.h"
#include "container/checksum.h"
#include "platform/platform.h"

namespace qrn {

void startup_prepare(bool probe, int method, int level)
{
    const int processor_level = probe ? cpu_feature_level() : 0;
    codecs_prepare(processor_level, method, level);
    content_hash_select(processor_level);
}

void startup_release() { codecs_release(); }

} // namespace qrn
