// What the library's entry points share: results, the once-only preparation,
// the settings rule, worker threads and the block jobs they run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "container/container_format.h"
#include "platform/platform.h"
#include "quarnix.h"

namespace qrn {

constexpr int LIB_MAX_THREADS = 32;

inline size_t lib_error(qrn_error_code code) { return size_t{0} - static_cast<size_t>(code); }

// Process-wide tables and choices, each made once whatever the number of
// contexts and threads: the processor probe, the checksum build and a silent
// segment pool (lib_once.cpp).
void lib_prepare_decoding();
void lib_prepare_encoding(int method, int level);

// A compression context's parameters as set.
struct LibParams {
    int method = QRN_METHOD_DEFAULT;
    int level = QRN_LEVEL_DEFAULT;
    int threads = 0;
    int filter = 0;
    int hash_bits = 0;             // 0: the level's own
    uint64_t block_size = 0;       // 0: by the level and the input size
    uint64_t memory_limit = 0;     // 0: the machine's memory
    int64_t pledged = -1;
};

// Header fields of a container for `input_bytes` of input (negative:
// unknown), by the program's rules; QRN_OK or why the parameters cannot be.
qrn_error_code lib_settings(const LibParams& p, int64_t input_bytes, ContainerHeader* h);

// A piece of work for a context's workers.
struct WorkItem {
    void (*run)(WorkItem* self) = nullptr;
    bool done = false;   // guarded by the workers' mutex
    uint8_t helpers = 0; // threads it may start beside its worker's (set as it starts)
};

// A context's worker threads; with none, work runs on the caller's thread
// as it is submitted.
struct Workers {
    std::mutex mutex;
    std::condition_variable wake, finished;
    std::vector<WorkItem*> queue;
    std::vector<PlatformThread*> threads;
    int running = 0;     // items being run
    bool stopping = false;
};
// Starts `count` threads unless that many run already (others are joined
// first). False when a thread could not be started.
bool workers_start(Workers& w, int count);
void workers_stop(Workers& w);
void workers_submit(Workers& w, WorkItem* item);
bool workers_done(Workers& w, WorkItem* item);
void workers_wait(Workers& w, WorkItem* item);

// One block, compressed or restored by a worker.
struct BlockJob : WorkItem {
    ContainerHeader h;
    uint8_t* in = nullptr;         // compressing: the block, data at +1; restoring: the record's bytes
    uint32_t in_size = 0;          // content bytes, or the record's payload (raw: its bytes)
    uint8_t flags = 0;             // restoring: the record's flag byte
    uint32_t decoded = 0;          // restoring: bytes the record restores to
    uint8_t* direct = nullptr;     // restoring: decode here (decoded + slack bytes) instead
    uint64_t record_bytes = 0;     // restoring: container bytes of the record (for progress)
    // Results.
    const uint8_t* data = nullptr; // the record (compressing) or the restored bytes
    uint32_t length = 0;
    uint8_t* buffer = nullptr;     // released with the job
    qrn_error_code error = QRN_OK;
};
void block_job_compress(WorkItem* item);
void block_job_restore(WorkItem* item);
// Releases the job's buffers and the job.
void block_job_free(BlockJob* job);

// Blocks in flight, oldest first, and the one going out (may be null):
// waits for all and frees them.
void jobs_drop(Workers& w, std::vector<BlockJob*>& jobs, BlockJob*& draining);

} // namespace qrn
