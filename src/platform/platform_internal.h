// What the platform files share: the parts of the layer that are the same on
// every system (platform_common.cpp), the hooks through which they reach the
// system (each system's file), and the list of outputs being written.
#pragma once

#include "platform/platform.h"

#include <mutex>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace qrn {

// ---- hooks each system's file provides ----

// Writes `n` bytes to standard error in one call, ignoring failure: safe
// while the process is being ended (no allocation, no lock).
void write_stderr_raw(const char* text, size_t n);
// Removes every output still being written and keeps the list locked, so
// that none is created or finished after this.
void outputs_remove_for_exit();
// Ends every thread of the process at once with `status`.
[[noreturn]] void process_end(int status);
// The machine's physical memory in `*machine`; returns the smallest of it
// and the limits the system sets on this process.
uint64_t memory_measure(uint64_t* machine);

// A started thread: what it runs, what that returned, and the system's
// handle on it.
struct PlatformThread {
#ifdef _WIN32
    void* id;                     // the thread's HANDLE
#else
    pthread_t id;
#endif
    ThreadBody body;
    void* arg;
    int result;
};
// Starts `t` running thread_run with at least `stack_bytes` of stack: false
// when it could not.
bool thread_start(PlatformThread* t, size_t stack_bytes);
// Waits for `t` to end and lets go of the system's handle on it.
void thread_wait(PlatformThread* t);

// ---- shared by the system files ----

// What a started thread runs.
inline void thread_run(PlatformThread* t) { t->result = t->body(t->arg); }

// The smaller of two limits, where 0 is none.
inline uint64_t smaller_limit(uint64_t a, uint64_t b) { return a == 0 || (b != 0 && b < a) ? b : a; }
// Forgets the kept memory figure: physical_memory reads it again.
void memory_forget();

// An interruption's end: the outputs removed, the status 128 + `signal`.
[[noreturn]] void interrupted_exit(int signal);

// Skips up to `count` bytes by reading them: the bytes skipped, or -1.
int64_t skip_by_reading(PlatformFile* f, int64_t count);
// Writes what is left of `a` then `b` after the first `done` bytes of the two
// were written: na + nb, or -1.
int64_t write_two_rest(PlatformFile* f, const void* a, int64_t na, const void* b, int64_t nb, int64_t done);
// Releases an output closed already, keeping errno: returns `rc`.
int release_closed(PlatformFile* f, int rc);
// Says that nothing is at a path: `st` as for a missing file; returns -1.
int status_missing(PathStatus* st);

// Outputs being written, removed by the interruption guard. The lock is also
// held while an output is created, so that none is left between its
// creation and its entry here. `Place` says where one lies in the system's
// terms.
template <typename Place>
struct OutputList {
    struct Entry {
        const PlatformFile* file;
        Place place;
    };
    std::mutex mutex;
    std::vector<Entry> outputs;
};

template <typename Place>
OutputList<Place>& output_list()
{
    static auto* list = new OutputList<Place>;  // never destroyed: the guard may use it during exit
    return *list;
}

// Takes an entry off the list (its lock held): the one of `file`, or when
// that is null the first whose place `matches`.
template <typename Place, typename Match>
void output_list_forget(OutputList<Place>& o, const PlatformFile* file, Match matches)
{
    std::vector<typename OutputList<Place>::Entry>& list = o.outputs;
    for (size_t i = 0; i < list.size(); ++i) {
        if (file ? list[i].file == file : matches(list[i].place)) {
            list[i] = std::move(list.back());
            list.pop_back();
            return;
        }
    }
}

} // namespace qrn
