// The progress line: one line on standard error, redrawn at most five times
// a second by a thread of its own from the pipeline's count of coded input
// bytes, and cleared whenever anything else is printed and at the end.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "pipeline/pipeline.h"

namespace qrn {

// Starts the line for a run of `file_count` inputs (0: not known, a walk);
// its first drawing comes about a second later.
void progress_start(const Pipeline& p, int file_count);
// The pipeline takes input `name` (of `size` bytes; 0 or less: not known);
// its bytes follow `start`, the pipeline's read_bytes when it begins.
void progress_file(const std::string& name, int64_t size, uint64_t start);
// Stops the thread and clears the line.
void progress_stop();
// Clears the line and keeps it away while the lock is held: taken by
// everything that prints during a run (a no-op without a line).
std::unique_lock<std::mutex> progress_hold();

// What the line says (exposed for tests): `done` of `size` bytes (size 0 or
// less: not known) at `rate` bytes a second (0: not known yet), for file
// `index` of `count` (0: not known; 1: no file number shown).
std::string progress_text(const std::string& name, int index, int count, uint64_t done, int64_t size, double rate);

} // namespace qrn
