#include "cli/startup.h"

namespace qrn {

int startup_processor_level(bool probe)
{
    (void)probe;
    return 0;
}

void startup_prepare_decoders(int processor_level) { (void)processor_level; }

void startup_prepare_encoders(int processor_level, int method, int level)
{
    (void)processor_level;
    (void)method;
    (void)level;
}

void startup_pool_init() {}

void startup_pool_close() {}

} // namespace qrn
