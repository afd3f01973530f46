#include "platform/platform_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace qrn {

struct DirHandle {
    DIR* dir;
};

namespace {

PlatformFile* wrap_fd(int fd, const char* path)
{
    auto* f = new PlatformFile;
    f->fd = fd;
    f->path = path;
    return f;
}

PlatformFile* std_file(int fd, const char* name)
{
    auto* f = new PlatformFile;
    f->fd = fd;
    f->is_std = true;
    f->path = name;
    return f;
}

// Where an output being written lies.
struct OutputPlace {
    int dir_fd;                   // -1: `name` is a path
    std::string name;
};

using OpenOutputs = OutputList<OutputPlace>;
OpenOutputs& open_outputs() { return output_list<OutputPlace>(); }

// Who creates the outputs, and the creation mask, read at the first one
// (under the list's lock).
struct Creator {
    bool known = false;
    mode_t umask = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};
Creator creator;

// Takes an output off the list: the one of `file`, or when that is null the
// one created at the path `path`.
void forget_output(const PlatformFile* file, const std::string& path)
{
    output_list_forget(open_outputs(), file,
                       [&](const OutputPlace& at) { return at.dir_fd < 0 && at.name == path; });
}

// The descriptor that system calls taking a directory want for `d` (null:
// the working directory).
int at_fd(const DirHandle* d) { return d ? ::dirfd(d->dir) : AT_FDCWD; }

sigset_t interrupt_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void* interrupt_guard(void*)
{
    const sigset_t set = interrupt_signals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    interrupted_exit(sig);
}

// Writes all `count` bytes at the file position, or at `offset` when it is
// not negative (leaving the position alone): `count`, or -1 when a write
// fails or stalls.
int64_t write_all(int fd, const void* buf, int64_t count, int64_t offset)
{
    if (count <= 0)
        return count;
    auto* p = static_cast<const char*>(buf);
    int64_t done = 0;
    while (done < count) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
        const ssize_t r = offset < 0 ? ::write(fd, p + done, want) : ::pwrite(fd, p + done, want, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        done += r;
    }
    return done;
}

FileMeta meta_of(const struct stat& st)
{
    FileMeta m;
    m.known = true;
    m.mode = st.st_mode & 07777;
    m.uid = st.st_uid;
    m.gid = st.st_gid;
    m.atime_sec = static_cast<int64_t>(st.st_atim.tv_sec);
    m.atime_nsec = st.st_atim.tv_nsec;
    m.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
    m.mtime_nsec = st.st_mtim.tv_nsec;
    return m;
}

} // namespace

PlatformFile* file_open_input_at(const FilePlace& at)
{
    const int nofollow = at.dir ? O_NOFOLLOW : 0;
    int fd = ::openat(at_fd(at.dir), at.name.c_str(), O_RDONLY | O_CLOEXEC | nofollow);
    if (fd < 0)
        return nullptr;
    struct stat st;
    const bool known = ::fstat(fd, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    // Read-ahead advice pays only for files read in many calls.
    if (!known || st.st_size >= (1 << 20))
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    PlatformFile* f = wrap_fd(fd, at.path.c_str());
    if (known) {
        f->meta = meta_of(st);
        f->size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
    }
    return f;
}

PlatformFile* file_create_output_at(const FilePlace& at, bool replace, const FileMeta* like)
{
    const int dir = at_fd(at.dir);
    const char* name = at.name.c_str();
    const mode_t mode = like && like->known ? static_cast<mode_t>(like->mode & 0777) : 0600;
    OpenOutputs& o = open_outputs();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (!creator.known) {
        // The creation mask can only be read by setting it; every creation
        // holds this lock, so none sees the moment it is 0.
        creator.umask = ::umask(0);
        ::umask(creator.umask);
        creator.uid = ::geteuid();
        creator.gid = ::getegid();
        creator.known = true;
    }
    int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST && replace) {
        struct stat st;
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            errno = EISDIR;
        else if (::unlinkat(dir, name, 0) == 0)
            fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    if (fd < 0)
        return nullptr;
    // The output keeps its own handle on its directory, so that it can be
    // removed by name there after the walk has closed that directory.
    int own_dir = -1;
    if (at.dir && (own_dir = ::fcntl(dir, F_DUPFD_CLOEXEC, 0)) < 0) {
        const int err = errno;
        ::unlinkat(dir, name, 0);
        ::close(fd);
        errno = err;
        return nullptr;
    }
    PlatformFile* f = wrap_fd(fd, at.path.c_str());
    f->dir_fd = own_dir;
    f->name = at.name;
    o.outputs.push_back({f, {own_dir, at.name}});
    f->is_output = true;
    f->created_mode = mode & ~creator.umask;
    f->created_uid = creator.uid;
    f->created_gid = creator.gid;
    return f;
}

namespace {

// Gives an open file or directory the access and modification times of `meta`.
int set_times(int fd, const FileMeta& meta)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(meta.atime_sec);
    times[0].tv_nsec = static_cast<long>(meta.atime_nsec);
    times[1].tv_sec = static_cast<time_t>(meta.mtime_sec);
    times[1].tv_nsec = static_cast<long>(meta.mtime_nsec);
    return ::futimens(fd, times);
}

} // namespace

int file_apply_meta(PlatformFile* f, const FileMeta& meta)
{
    if (!meta.known || f->is_std)
        return 0;
    // The owner first: changing it may clear set-id bits, which the mode then
    // restores where the owner could have set them. Each call is made only
    // when the output differs from its input there.
    const bool owner_differs = meta.uid != f->created_uid || meta.gid != f->created_gid;
    if (owner_differs)
        (void)!::fchown(f->fd, meta.uid, meta.gid);
    int rc = 0;
    if ((owner_differs || (meta.mode & 07777) != f->created_mode) &&
        ::fchmod(f->fd, static_cast<mode_t>(meta.mode & 07777)) != 0 &&
        ::fchmod(f->fd, static_cast<mode_t>(meta.mode & 0777)) != 0)
        rc = -1;
    if (set_times(f->fd, meta) != 0)
        rc = -1;
    return rc;
}

int64_t file_rewrite_offset(PlatformFile* f)
{
    if (f->is_output)
        return 0;  // created here: empty and not for appending
    struct stat st;
    if (::fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    const int flags = ::fcntl(f->fd, F_GETFL);
    if (flags < 0 || (flags & O_APPEND))
        return -1;
    const off_t at = ::lseek(f->fd, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<int64_t>(at);
}

int64_t file_write_two(PlatformFile* f, const void* a, int64_t na, const void* b, int64_t nb)
{
    struct iovec parts[2] = {{const_cast<void*>(a), static_cast<size_t>(na)}, {const_cast<void*>(b), static_cast<size_t>(nb)}};
    ssize_t r;
    do
        r = ::writev(f->fd, parts, 2);
    while (r < 0 && errno == EINTR);
    if (r <= 0)
        return -1;
    // What the call left is written the ordinary way.
    return write_two_rest(f, a, na, b, nb, r);
}

int64_t file_write_at(PlatformFile* f, const void* buf, int64_t count, int64_t offset)
{
    return write_all(f->fd, buf, count, offset);
}

int64_t file_skip(PlatformFile* f, int64_t count)
{
    struct stat st;
    if (count > 0 && ::fstat(f->fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t at = ::lseek(f->fd, 0, SEEK_CUR);
        if (at >= 0) {
            const int64_t left = st.st_size > at ? static_cast<int64_t>(st.st_size - at) : 0;
            const int64_t step = std::min(count, left);
            if (::lseek(f->fd, static_cast<off_t>(step), SEEK_CUR) < 0)
                return -1;
            return step;
        }
    }
    return skip_by_reading(f, count);
}

PlatformFile* file_stdin() { return std_file(STDIN_FILENO, "stdin"); }
PlatformFile* file_stdout() { return std_file(STDOUT_FILENO, "stdout"); }

int64_t file_read_fully(PlatformFile* f, void* buf, int64_t count)
{
    if (count <= 0)
        return count;
    auto* p = static_cast<char*>(buf);
    int64_t done = 0;
    while (done < count) {
        size_t want = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
        ssize_t r = ::read(f->fd, p + done, want);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        done += r;
    }
    return done;
}

int64_t file_write_fully(PlatformFile* f, const void* buf, int64_t count)
{
    return write_all(f->fd, buf, count, -1);
}

int file_close(PlatformFile* f)
{
    if (!f)
        return 0;
    int rc = 0;
    if (!f->is_std) {
        if (::close(f->fd) != 0)
            rc = -1;
    }
    if (f->is_output) {
        OpenOutputs& o = open_outputs();
        std::lock_guard<std::mutex> lock(o.mutex);
        forget_output(f, f->path);
        if (f->dir_fd >= 0)
            ::close(f->dir_fd);
    }
    delete f;
    return rc;
}

int file_close_output(PlatformFile* f, bool discard)
{
    if (!f)
        return 0;
    const bool removable = f->is_output && !f->is_std;
    if (discard && removable) {
        // Off the list and gone before it is closed, so that an interruption
        // in between finds nothing to leave behind.
        OpenOutputs& o = open_outputs();
        std::lock_guard<std::mutex> lock(o.mutex);
        forget_output(f, f->path);
        ::unlinkat(f->dir_fd >= 0 ? f->dir_fd : AT_FDCWD, f->name.c_str(), 0);
    }
    int rc = 0;
    if (!f->is_std && ::close(f->fd) != 0) {
        rc = -1;
        const int err = errno;
        if (!discard && removable)
            ::unlinkat(f->dir_fd >= 0 ? f->dir_fd : AT_FDCWD, f->name.c_str(), 0);
        errno = err;
    }
    return release_closed(f, rc);
}

int64_t file_size(PlatformFile* f)
{
    if (f->size >= 0)
        return f->size;
    struct stat st;
    if (::fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

bool file_is_same_at(PlatformFile* in, const FilePlace& out)
{
    struct stat a, b;
    if (::fstat(in->fd, &a) != 0 || ::fstatat(at_fd(out.dir), out.name.c_str(), &b, 0) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int file_remove(const char* path)
{
    OpenOutputs& o = open_outputs();
    std::lock_guard<std::mutex> lock(o.mutex);
    forget_output(nullptr, path);
    return ::unlink(path);
}

void interrupt_guard_start()
{
    const sigset_t set = interrupt_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t id;
    if (pthread_create(&id, nullptr, interrupt_guard, nullptr) == 0)
        pthread_detach(id);
    else
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void program_arguments(int*, char***) {}

bool stream_is_terminal(int std_fd) { return ::isatty(std_fd) != 0; }

int path_status_at(const DirHandle* dir, const char* name, PathStatus* st, bool follow_links, FileMeta* meta)
{
    struct stat s;
    if (::fstatat(at_fd(dir), name, &s, follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return status_missing(st);
    st->kind = S_ISREG(s.st_mode) ? PathKind::Regular
               : S_ISDIR(s.st_mode) ? PathKind::Directory
                                    : PathKind::Other;
    st->other = S_ISLNK(s.st_mode)                           ? OtherKind::Link
                : S_ISFIFO(s.st_mode)                        ? OtherKind::Fifo
                : S_ISSOCK(s.st_mode)                        ? OtherKind::Socket
                : S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode) ? OtherKind::Device
                                                             : OtherKind::None;
    st->size = s.st_size;
    st->device = s.st_dev;
    st->inode = s.st_ino;
    if (meta)
        *meta = meta_of(s);
    return 0;
}

int make_directory(const char* path)
{
    if (::mkdir(path, 0777) == 0)
        return 0;
    int err = errno;
    struct stat s;
    if (err == EEXIST && ::stat(path, &s) == 0 && S_ISDIR(s.st_mode))
        return 0;
    errno = err;
    return -1;
}

DirHandle* dir_open_at(const DirHandle* dir, const char* name)
{
    const int nofollow = dir ? O_NOFOLLOW : 0;
    const int fd = ::openat(at_fd(dir), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow);
    if (fd < 0)
        return nullptr;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    return new DirHandle{d};
}

int make_directory_at(const DirHandle* dir, const char* name, uint32_t mode)
{
    if (::mkdirat(at_fd(dir), name, static_cast<mode_t>(mode)) == 0)
        return 0;
    const int err = errno;
    struct stat s;
    if (err == EEXIST && ::fstatat(at_fd(dir), name, &s, 0) == 0 && S_ISDIR(s.st_mode))
        return 1;
    errno = err;
    return -1;
}

int dir_apply_meta(DirHandle* d, const FileMeta& meta)
{
    if (!meta.known)
        return 0;
    const int fd = at_fd(d);
    struct stat now;
    if (::fstat(fd, &now) != 0)
        return -1;
    if (meta.uid != now.st_uid || meta.gid != now.st_gid)
        (void)!::fchown(fd, meta.uid, meta.gid);
    int rc = 0;
    if (::fchmod(fd, static_cast<mode_t>(meta.mode & 07777)) != 0 &&
        ::fchmod(fd, static_cast<mode_t>(meta.mode & 0777)) != 0)
        rc = -1;
    if (set_times(fd, meta) != 0)
        rc = -1;
    return rc;
}

const char* dir_next(DirHandle* d)
{
    struct dirent* e = ::readdir(d->dir);
    return e ? e->d_name : nullptr;
}

void dir_close(DirHandle* d)
{
    if (!d)
        return;
    ::closedir(d->dir);
    delete d;
}

static void* thread_trampoline(void* p)
{
    thread_run(static_cast<PlatformThread*>(p));
    return nullptr;
}

bool thread_start(PlatformThread* t, size_t stack_bytes)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setstacksize(&attr, stack_bytes);
    const int r = pthread_create(&t->id, &attr, thread_trampoline, t);
    pthread_attr_destroy(&attr);
    return r == 0;
}

void thread_wait(PlatformThread* t) { pthread_join(t->id, nullptr); }

int processor_count()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

namespace {

struct CgroupPaths {
    std::mutex lock;
    std::string root = "/sys/fs/cgroup";
    std::string self = "/proc/self/cgroup";
};

CgroupPaths& cgroup_paths()
{
    static CgroupPaths paths;
    return paths;
}

// A small file's text (cgroup and proc files report no size), empty when
// it cannot be read.
std::string read_small_file(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    for (ssize_t n; text.size() < 65536 && (n = ::read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

// A limit file's value: a decimal number of bytes; "max" (v2) or anything
// unreadable is no limit (0).
uint64_t read_limit(const std::string& path)
{
    const std::string text = read_small_file(path);
    uint64_t v = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10)
            return 0;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return i > 0 && (i == text.size() || text[i] == '\n') ? v : 0;
}

// The smallest `file` in the group `group` under `tree` and in every group above it.
uint64_t limit_on_path(const std::string& tree, std::string group, const char* file)
{
    while (!group.empty() && group.back() == '/')
        group.pop_back();
    uint64_t best = 0;
    for (;;) {
        best = smaller_limit(best, read_limit(tree + group + "/" + file));
        if (group.empty())
            return best;
        group.resize(group.rfind('/'));
    }
}

} // namespace

uint64_t memory_cgroup_limit()
{
    std::string root, self;
    {
        CgroupPaths& p = cgroup_paths();
        std::lock_guard<std::mutex> guard(p.lock);
        root = p.root;
        self = p.self;
    }
    // Lines of "hierarchy:controllers:path"; v2's is "0::path", v1's memory
    // controller is named among its hierarchy's controllers.
    const std::string text = read_small_file(self);
    uint64_t best = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t c1 = line.find(':');
        const size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos)
            continue;
        std::string controllers(1, ',');
        controllers.append(line, c1 + 1, c2 - c1 - 1).push_back(',');
        const std::string group = line.substr(c2 + 1);
        if (c2 == c1 + 1)
            best = smaller_limit(best, limit_on_path(root, group, "memory.max"));
        else if (controllers.find(",memory,") != std::string::npos)
            best = smaller_limit(best, limit_on_path(root + "/memory", group, "memory.limit_in_bytes"));
    }
    return best;
}

void memory_set_cgroup_paths(const char* root, const char* self_cgroup)
{
    CgroupPaths& p = cgroup_paths();
    std::lock_guard<std::mutex> guard(p.lock);
    p.root = root ? root : "/sys/fs/cgroup";
    p.self = self_cgroup ? self_cgroup : "/proc/self/cgroup";
    memory_forget();
}

uint64_t memory_measure(uint64_t* machine)
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0)
        *machine = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
    uint64_t memory = smaller_limit(*machine, memory_cgroup_limit());
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit rl;
        if (::getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
            memory = smaller_limit(memory, static_cast<uint64_t>(rl.rlim_cur));
    }
    return memory;
}

uint64_t address_space_limit()
{
    struct rlimit rl;
    if (::getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<uint64_t>(rl.rlim_cur);
}

void* memory_aligned_alloc(size_t alignment, size_t bytes) { return std::aligned_alloc(alignment, bytes); }
void memory_aligned_free(void* p) { std::free(p); }

void* memory_map(size_t bytes)
{
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    ::madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}

void memory_unmap(void* p, size_t bytes)
{
    if (p)
        ::munmap(p, bytes);
}

void* address_reserve(size_t bytes)
{
    void* p = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool address_commit(void* p, size_t bytes, size_t small_pages)
{
    if (::mprotect(p, bytes, PROT_READ | PROT_WRITE) != 0)
        return false;
    if (small_pages < bytes)
        ::madvise(static_cast<uint8_t*>(p) + small_pages, bytes - small_pages, MADV_HUGEPAGE);
    return true;
}

void address_prefault(void* p, size_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    (void)::madvise(p, bytes, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)bytes;
#endif
}

void address_decommit(void* p, size_t bytes)
{
    // A fresh mapping over the range drops its pages at once.
    (void)::mmap(p, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
}

void address_release(void* p, size_t bytes)
{
    if (p)
        ::munmap(p, bytes);
}

void write_stderr_raw(const char* text, size_t n) { (void)!::write(STDERR_FILENO, text, n); }

void outputs_remove_for_exit()
{
    OpenOutputs& o = open_outputs();
    o.mutex.lock();   // held until the end: no output is created or finished after this
    for (const OpenOutputs::Entry& out : o.outputs)
        ::unlinkat(out.place.dir_fd >= 0 ? out.place.dir_fd : AT_FDCWD, out.place.name.c_str(), 0);
}

void process_end(int status) { ::_exit(status); }

} // namespace qrn
