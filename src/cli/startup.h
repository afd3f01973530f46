// Process-wide preparation before the first file, and its release at the
// end of the run.
#pragma once

namespace qrn {

// Probes the processor (unless `probe` is false) and prepares the codecs and
// the checksum for the run: `method` 0 decodes, else compresses with
// `method` at `level`.
void startup_prepare(bool probe, int method, int level);
void startup_release();

} // namespace qrn
