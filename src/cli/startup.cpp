#include "cli/startup.h"

#include "ans/ans.h"
#include "container/checksum.h"

namespace qrn {

int startup_processor_level(bool probe) { return probe ? cpu_feature_level() : 0; }

void startup_prepare_decoders(int processor_level)
{
    ansc_select_decoder(processor_level);
    content_hash_select(processor_level);
}

void startup_prepare_encoders(int processor_level, int method, int level)
{
    (void)level;
    content_hash_select(processor_level);
    if (method == 3)
        ansc_select_encoder(processor_level);
}

void startup_pool_init() {}

void startup_pool_close() {}

} // namespace qrn
