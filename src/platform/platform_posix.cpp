#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qrn {

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

} // namespace

PlatformFile* file_open_input(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return wrap_fd(fd, path);
}

PlatformFile* file_create_output(const char* path, bool replace)
{
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    int fd = ::open(path, flags, 0666);
    if (fd < 0)
        return nullptr;
    return wrap_fd(fd, path);
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
    if (count <= 0)
        return count;
    auto* p = static_cast<const char*>(buf);
    int64_t done = 0;
    while (done < count) {
        size_t want = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
        ssize_t r = ::write(f->fd, p + done, want);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        done += r;
    }
    return done;
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
    delete f;
    return rc;
}

int64_t file_size(PlatformFile* f)
{
    struct stat st;
    if (::fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

bool file_is_same(PlatformFile* in, const char* out_path)
{
    struct stat a, b;
    if (::fstat(in->fd, &a) != 0 || ::stat(out_path, &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int file_remove(const char* path) { return ::unlink(path); }

bool stream_is_terminal(int std_fd) { return ::isatty(std_fd) != 0; }

int path_status(const char* path, PathStatus* st, bool follow_links)
{
    struct stat s;
    int r = follow_links ? ::stat(path, &s) : ::lstat(path, &s);
    if (r != 0) {
        st->kind = PathKind::Missing;
        st->size = 0;
        return -1;
    }
    st->kind = S_ISREG(s.st_mode) ? PathKind::Regular
               : S_ISDIR(s.st_mode) ? PathKind::Directory
                                    : PathKind::Other;
    st->size = s.st_size;
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

struct DirHandle {
    DIR* dir;
};

DirHandle* dir_open(const char* path)
{
    DIR* d = ::opendir(path);
    if (!d)
        return nullptr;
    return new DirHandle{d};
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

struct PlatformThread {
    pthread_t id;
    ThreadBody body;
    void* arg;
    int result;
};

static void* thread_trampoline(void* p)
{
    auto* t = static_cast<PlatformThread*>(p);
    t->result = t->body(t->arg);
    return nullptr;
}

PlatformThread* thread_create(ThreadBody body, void* arg, size_t stack_bytes)
{
    auto* t = new PlatformThread{{}, body, arg, 0};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete t;
        return nullptr;
    }
    pthread_attr_setstacksize(&attr, stack_bytes);
    int r = pthread_create(&t->id, &attr, thread_trampoline, t);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int thread_join(PlatformThread* t)
{
    pthread_join(t->id, nullptr);
    int r = t->result;
    delete t;
    return r;
}

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

uint64_t physical_memory()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

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

const char* error_text(int err) { return std::strerror(err); }
int last_error() { return errno; }

} // namespace qrn
