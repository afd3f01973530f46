// Everything quarnix needs of the operating system: files, directories,
// threads, memory and system figures. Nothing outside this folder includes a
// system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qrn {

// What an output takes over from its input: permission bits, owner, times.
struct FileMeta {
    bool known = false;
    uint32_t mode = 0;            // permission bits only
    uint32_t uid = 0, gid = 0;
    int64_t atime_sec = 0, atime_nsec = 0;
    int64_t mtime_sec = 0, mtime_nsec = 0;
};

// An open file or one of the standard streams.
struct PlatformFile {
    int fd = -1;
    void* handle = nullptr;       // Windows: the file's handle (fd is unused there)
    bool is_std = false;          // standard input or output: never closed or removed
    bool is_output = false;       // created by file_create_output: removed if interrupted
    std::string path;
    FileMeta meta;                // an input's status, taken when it was opened
    int64_t size = -1;            // an input's size when it is a regular file
    uint32_t created_mode = 0;    // an output's permission bits as created
    uint32_t created_uid = 0, created_gid = 0;
    int dir_fd = -1;              // an output made in a directory by handle: that directory (owned)
    std::string name;             // an output's name within dir_fd (its path when dir_fd is -1)
};

// The separator the system's paths use between components. On Windows "/"
// is taken as one too: names are turned to "\" where the program reads them.
#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
#else
constexpr char PATH_SEPARATOR = '/';
#endif
inline bool is_path_separator(char c) { return c == PATH_SEPARATOR || c == '/'; }

// The program's arguments as UTF-8. On Windows they are read again from the
// wide command line, with `*` and `?` patterns in their last component
// expanded to the names they match (the shell there leaves that to the
// program; a pattern that matches nothing stays as written), and the
// standard streams are put in binary mode. Elsewhere nothing changes.
void program_arguments(int* argc, char*** argv);

struct DirHandle;
// Where a file lies: `name` within the open directory `dir`, or, when `dir`
// is null, the path `name`. `path` names the file in full, for messages only
// (it may be longer than the system accepts as a path).
struct FilePlace {
    const DirHandle* dir = nullptr;
    std::string name;
    std::string path;
};
inline FilePlace place_of_path(const char* path) { return FilePlace{nullptr, path, path}; }

// Opens an existing file for reading. Null on failure (errno set).
PlatformFile* file_open_input(const char* path);
// Creates an output file, readable by no more users than `like` says (0600
// when `like` is null or unknown). Without `replace` an existing file makes it
// fail; with it, an existing file (not a directory) is removed first, so the
// new one never inherits wider permissions. Until it is closed or removed,
// the file is on the list of outputs that an interruption removes. Null on
// failure (errno set).
PlatformFile* file_create_output(const char* path, bool replace, const FileMeta* like);
// The same, at a place: a name within a directory handle. Neither follows a
// symbolic link in that last name when the place has a directory.
PlatformFile* file_open_input_at(const FilePlace& at);
PlatformFile* file_create_output_at(const FilePlace& at, bool replace, const FileMeta* like);
// Closes an output; when `discard`, or when closing fails, the file is removed
// too (before it is closed, when discarded). Standard output is never removed.
// 0, or -1 (errno set) when closing failed.
int file_close_output(PlatformFile* f, bool discard);
// Gives a finished output its input's owner (where allowed), permission bits
// and times. 0, or -1 when mode or times could not be set.
int file_apply_meta(PlatformFile* f, const FileMeta& meta);
// Where a header written next would start, when the file can be written
// again at that place later (a regular file not opened for appending); -1
// otherwise (pipes, terminals).
int64_t file_rewrite_offset(PlatformFile* f);
// Writes `a` and then `b` in full, in one call where the system allows:
// na + nb, or -1.
int64_t file_write_two(PlatformFile* f, const void* a, int64_t na, const void* b, int64_t nb);
// Writes `count` bytes at `offset` without moving the file position: `count`,
// or -1.
int64_t file_write_at(PlatformFile* f, const void* buf, int64_t count, int64_t offset);
// Skips `count` bytes of input: the bytes skipped (fewer at the end), or -1.
int64_t file_skip(PlatformFile* f, int64_t count);
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
bool file_is_same_at(PlatformFile* in, const FilePlace& out);
// Removes a file (and takes it off the list of outputs an interruption removes).
int file_remove(const char* path);
// From now on SIGINT, SIGTERM and SIGHUP remove every output still being
// written and end the process with status 128 + the signal's number. Call
// before any other thread starts: the signals are blocked in this thread and
// in every thread it starts, and one thread of its own waits for them.
void interrupt_guard_start();
// Says that a status line of `columns` columns stands on standard error (0:
// none), so that an interruption or a message clears it first.
void status_line_shown(int columns);
// Clears that line, if one stands.
void status_line_clear();
bool stream_is_terminal(int std_fd);

enum class PathKind { Missing, Regular, Directory, Other };
// What an Other is.
enum class OtherKind { None, Link, Fifo, Socket, Device };
struct PathStatus {
    PathKind kind = PathKind::Missing;
    OtherKind other = OtherKind::None;
    int64_t size = 0;
    uint64_t device = 0, inode = 0;   // identity: equal for every spelling of one file
};
// True when `a` and `b` are the same file.
inline bool same_file(const PathStatus& a, const PathStatus& b)
{
    return a.kind != PathKind::Missing && a.device == b.device && a.inode == b.inode;
}
// Status of a path; `follow_links` false reports a symbolic link as Other.
// Returns 0, or -1 with errno set.
int path_status(const char* path, PathStatus* st, bool follow_links);
// Creates one directory. 0 on success or when a directory already exists there.
int make_directory(const char* path);

DirHandle* dir_open(const char* path);
// Status of `name` within `dir` (null: `name` is a path), with its owner,
// permission bits and times in `meta` when that is not null. As path_status.
int path_status_at(const DirHandle* dir, const char* name, PathStatus* st, bool follow_links, FileMeta* meta);
// Opens the directory `name` within `dir` (null: `name` is a path, followed
// if a link); a symbolic link within `dir` is not followed. Null on failure.
DirHandle* dir_open_at(const DirHandle* dir, const char* name);
// Creates the directory `name` within `dir` (null: a path) with permission
// bits `mode` (less the creation mask): 0 when made, 1 when a directory was
// there already, -1 on failure (errno set).
int make_directory_at(const DirHandle* dir, const char* name, uint32_t mode);
// Gives an open directory the owner (where allowed), permission bits and
// times of `meta`. 0, or -1 when mode or times could not be set.
int dir_apply_meta(DirHandle* d, const FileMeta& meta);
// The next name in the directory (including "." and ".."), or null at the end.
const char* dir_next(DirHandle* d);
void dir_close(DirHandle* d);

struct PlatformThread;
using ThreadBody = int (*)(void* arg);
// Starts a thread with at least `stack_bytes` of stack. Null on failure.
PlatformThread* thread_create(ThreadBody body, void* arg, size_t stack_bytes);
int thread_join(PlatformThread* t);
constexpr size_t CODEC_THREAD_STACK = 16u << 20;

// Processor level 0..8 from the identification instruction and extended
// control register 0 (AVX only where the system saves its registers): 8 is
// AVX2. Cached after the first call.
int cpu_feature_level();

int processor_count();
// The memory this process may use, which the level-9 rules plan with: the
// smallest of the machine's physical memory, the memory limit of the
// process's cgroup (v2 memory.max, v1 memory.limit_in_bytes, of its own group
// or any group above it) and the address-space and data-size limits where
// they are set. Read once and kept.
uint64_t physical_memory();
// Whether that figure is a limit below the machine's memory: the system then
// refuses or kills at it, where the machine's memory leaves paging room.
bool memory_is_limited();
// The process's address-space limit (RLIMIT_AS); 0 when there is none.
uint64_t address_space_limit();
// The cgroup part alone: the smallest limit on the process's path from its
// own group up to the root; 0 when there is none.
uint64_t memory_cgroup_limit();
// Tests: cgroup trees are looked for under `root` (instead of /sys/fs/cgroup,
// with v1's memory controller in root/memory) for the groups listed in
// `self_cgroup` (instead of /proc/self/cgroup); null keeps the usual path.
// Forgets the kept figure.
void memory_set_cgroup_paths(const char* root, const char* self_cgroup);

// Heap memory aligned to `alignment` (a power of two dividing `bytes`), given
// back with memory_aligned_free. Null when none is left.
void* memory_aligned_alloc(size_t alignment, size_t bytes);
void memory_aligned_free(void* p);

// Large buffers straight from the system, with huge pages where possible.
void* memory_map(size_t bytes);
void memory_unmap(void* p, size_t bytes);

// Address space for large pools: reserved without memory behind it, then
// made read-write piece by piece (pages arrive as they are first touched,
// beyond the first `small_pages` bytes as huge pages where the system allows)
// and given back to the system.
void* address_reserve(size_t bytes);          // null on failure
bool address_commit(void* p, size_t bytes, size_t small_pages);
void address_decommit(void* p, size_t bytes); // stays reserved
// Has the system back committed pages now, as a first write would, without
// changing what they hold (where the system cannot, nothing happens).
void address_prefault(void* p, size_t bytes);
void address_release(void* p, size_t bytes);

// Removes every output still being written, prints `message` on standard
// error and ends the process with `status`, from any thread.
[[noreturn]] void fatal_exit(const char* message, int status);

const char* error_text(int err);
int last_error();
// True when `err` says that a name or path is longer than the system takes.
bool error_is_name_too_long(int err);

} // namespace qrn
