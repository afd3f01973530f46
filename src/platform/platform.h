// Everything quarnix needs of the operating system: files, directories,
// threads, memory and system figures. Nothing outside this folder includes a
// system header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qrn {

// An open file or one of the standard streams. Outputs also carry what the
// pipelines need to finish them: their path (to remove a failed output) and a
// failure mark set by whoever fails to produce one of its blocks.
struct PlatformFile {
    int fd = -1;
    bool is_std = false;          // standard input or output: never closed or removed
    std::string path;
    std::atomic<bool> failed{false};
};

// Opens an existing file for reading. Null on failure (errno set).
PlatformFile* file_open_input(const char* path);
// Creates an output file. Without `replace` an existing file makes it fail;
// with it, the file is truncated. Null on failure (errno set).
PlatformFile* file_create_output(const char* path, bool replace);
PlatformFile* file_stdin();
PlatformFile* file_stdout();
// Reads until `count` bytes are in or the input ends: the bytes read, or -1
// when a read call fails.
int64_t file_read_fully(PlatformFile* f, void* buf, int64_t count);
// Writes all `count` bytes: `count`, or -1 when a write fails or stalls.
int64_t file_write_fully(PlatformFile* f, const void* buf, int64_t count);
// Closes and releases the file (standard streams are flushed and kept open).
// Returns 0, or -1 when the system reports a failure for a written file.
int file_close(PlatformFile* f);
// Size of a regular file, or -1 when it has none (pipes, terminals).
int64_t file_size(PlatformFile* f);
// True when `out_path` names the same existing file that `in` has open.
bool file_is_same(PlatformFile* in, const char* out_path);
int file_remove(const char* path);
bool stream_is_terminal(int std_fd);

enum class PathKind { Missing, Regular, Directory, Other };
struct PathStatus {
    PathKind kind = PathKind::Missing;
    int64_t size = 0;
};
// Status of a path; `follow_links` false reports a symbolic link as Other.
// Returns 0, or -1 with errno set.
int path_status(const char* path, PathStatus* st, bool follow_links);
// Creates one directory. 0 on success or when a directory already exists there.
int make_directory(const char* path);

struct DirHandle;
DirHandle* dir_open(const char* path);
// The next name in the directory (including "." and ".."), or null at the end.
const char* dir_next(DirHandle* d);
void dir_close(DirHandle* d);

struct PlatformThread;
using ThreadBody = int (*)(void* arg);
// Starts a thread with at least `stack_bytes` of stack. Null on failure.
PlatformThread* thread_create(ThreadBody body, void* arg, size_t stack_bytes);
int thread_join(PlatformThread* t);
constexpr size_t CODEC_THREAD_STACK = 16u << 20;

int processor_count();
uint64_t physical_memory();

// Large buffers straight from the system, with huge pages where possible.
void* memory_map(size_t bytes);
void memory_unmap(void* p, size_t bytes);

const char* error_text(int err);
int last_error();

} // namespace qrn
