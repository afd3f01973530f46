// Process-wide preparation before the first file, and its release at the
// end of the run.
#pragma once

#include "codecs/codec_plan.h"

namespace qrn {

// Probes the processor (unless `probe` is false) and prepares the codecs
// (what `plan` asks for) and the checksum for the run.
void startup_prepare(bool probe, const CodecPlan& plan);
void startup_release();

} // namespace qrn
