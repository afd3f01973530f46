// The parts of the platform layer that are the same on every system; what
// they need of the system they reach through the hooks in platform_internal.h.
#include "platform/platform_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace qrn {

// ---- files and paths ----

PlatformFile* file_open_input(const char* path) { return file_open_input_at(place_of_path(path)); }

PlatformFile* file_create_output(const char* path, bool replace, const FileMeta* like)
{
    return file_create_output_at(place_of_path(path), replace, like);
}

bool file_is_same(PlatformFile* in, const char* out_path) { return file_is_same_at(in, place_of_path(out_path)); }

int64_t skip_by_reading(PlatformFile* f, int64_t count)
{
    char scrap[65536];
    int64_t done = 0;
    while (done < count) {
        const int64_t got = file_read_fully(f, scrap, std::min<int64_t>(count - done, sizeof scrap));
        if (got < 0)
            return -1;
        done += got;
        if (got == 0)
            break;
    }
    return done;
}

int64_t write_two_rest(PlatformFile* f, const void* a, int64_t na, const void* b, int64_t nb, int64_t done)
{
    if (done < na && file_write_fully(f, static_cast<const char*>(a) + done, na - done) < 0)
        return -1;
    const int64_t in_b = done > na ? done - na : 0;
    if (file_write_fully(f, static_cast<const char*>(b) + in_b, nb - in_b) < 0)
        return -1;
    return na + nb;
}

int release_closed(PlatformFile* f, int rc)
{
    f->is_std = true;   // closed already: file_close only releases it
    f->fd = -1;
    const int err = errno;
    file_close(f);
    errno = err;
    return rc;
}

int path_status(const char* path, PathStatus* st, bool follow_links)
{
    return path_status_at(nullptr, path, st, follow_links, nullptr);
}

int status_missing(PathStatus* st)
{
    st->kind = PathKind::Missing;
    st->other = OtherKind::None;
    st->size = 0;
    return -1;
}

DirHandle* dir_open(const char* path) { return dir_open_at(nullptr, path); }

// ---- threads ----

PlatformThread* thread_create(ThreadBody body, void* arg, size_t stack_bytes)
{
    auto* t = new PlatformThread{{}, body, arg, 0};
    if (!thread_start(t, stack_bytes)) {
        delete t;
        return nullptr;
    }
    return t;
}

int thread_join(PlatformThread* t)
{
    thread_wait(t);
    const int r = t->result;
    delete t;
    return r;
}

// ---- memory ----

namespace {
std::atomic<uint64_t> kept_memory{0};
std::atomic<bool> kept_limited{false};
} // namespace

void memory_forget() { kept_memory.store(0); }

uint64_t physical_memory()
{
    if (const uint64_t kept = kept_memory.load())
        return kept;
    uint64_t machine = 0;
    const uint64_t memory = memory_measure(&machine);
    kept_limited.store(memory != machine);
    kept_memory.store(memory);
    return memory;
}

bool memory_is_limited()
{
    physical_memory();
    return kept_limited.load();
}

// ---- the status line, the end, errors ----

namespace {
std::atomic<int> status_columns{0};
} // namespace

void status_line_shown(int columns) { status_columns.store(columns); }

void status_line_clear()
{
    // Safe in a signal's aftermath: one write, no allocation.
    const int columns = status_columns.exchange(0);
    if (columns <= 0)
        return;
    char blank[256];
    const int n = std::min<int>(columns, static_cast<int>(sizeof blank) - 2);
    blank[0] = '\r';
    std::memset(blank + 1, ' ', static_cast<size_t>(n));
    blank[n + 1] = '\r';
    write_stderr_raw(blank, static_cast<size_t>(n) + 2);
}

void fatal_exit(const char* message, int status)
{
    outputs_remove_for_exit();
    status_line_clear();
    write_stderr_raw(message, std::strlen(message));
    process_end(status);
}

void interrupted_exit(int signal) { fatal_exit("quarnix: interrupted\n", 128 + signal); }

const char* error_text(int err) { return std::strerror(err); }
int last_error() { return errno; }
bool error_is_name_too_long(int err) { return err == ENAMETOOLONG; }

} // namespace qrn
