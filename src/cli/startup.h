// Process-wide preparation that the codecs need before the first file, and
// its release at the end of the run.
#pragma once

namespace qrn {

// The processor level that selects the coder variants (0 without probing).
int startup_processor_level(bool probe);
void startup_prepare_decoders(int processor_level);
void startup_prepare_encoders(int processor_level, int method, int level);
void startup_pool_init();
void startup_pool_close();

} // namespace qrn
