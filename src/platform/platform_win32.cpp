// The platform layer on Windows: files through handles, names converted
// between UTF-8 (everywhere inside the program) and UTF-16 (the system's) at
// this boundary, errors reported as errno values so that the messages read
// as they do elsewhere.
#include "platform/platform_internal.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cxxabi.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <mutex>
#include <process.h>
#include <vector>

namespace qrn {

struct DirHandle {
    std::string path;             // as given: names within it are joined to it
    HANDLE find = INVALID_HANDLE_VALUE;
    bool first = true;            // `found` holds an entry not yet returned
    WIN32_FIND_DATAW found;
    std::string name;             // the last name returned, in UTF-8
};

namespace {

// ---- names and errors ----

std::wstring to_wide(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string to_utf8(const wchar_t* w, int len = -1)
{
    if (len < 0)
        len = static_cast<int>(std::wcslen(w));
    if (len == 0)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, len, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, len, s.data(), n, nullptr, nullptr);
    return s;
}

// The system's form of a path: "/" turned into "\", and a path too long for
// the plain calls made absolute under the "\\?\" prefix, which lifts their
// length limit.
std::wstring system_path(const std::string& path)
{
    std::wstring w = to_wide(path);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    if (w.size() < 240 || w.rfind(L"\\\\?\\", 0) == 0)
        return w;
    const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return w;
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n)
        return w;
    full.resize(got);
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string join(const DirHandle* dir, const std::string& name)
{
    if (!dir)
        return name;
    const std::string& d = dir->path;
    if (d.empty() || d.back() == '\\' || d.back() == '/' || d.back() == ':')
        return d + name;
    return d + '\\' + name;
}

std::wstring system_path_at(const DirHandle* dir, const std::string& name) { return system_path(join(dir, name)); }

int errno_of(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return EPIPE;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    default: return EIO;
    }
}

// Sets errno from the system's last error; returns -1 for the callers' use.
int fail_with_last_error()
{
    errno = errno_of(GetLastError());
    return -1;
}

// ---- times and status ----

constexpr int64_t EPOCH_TICKS = 116444736000000000;   // 1601-01-01 to 1970-01-01 in 100 ns

void time_from_filetime(const FILETIME& ft, int64_t* sec, int64_t* nsec)
{
    const int64_t ticks = static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) - EPOCH_TICKS;
    int64_t s = ticks / 10000000, rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --s;
    }
    *sec = s;
    *nsec = rest * 100;
}

LARGE_INTEGER ticks_of(int64_t sec, int64_t nsec)
{
    LARGE_INTEGER t;
    t.QuadPart = sec * 10000000 + nsec / 100 + EPOCH_TICKS;
    return t;
}

// What a file's attributes say in the terms of permission bits: read-only
// means no one may write.
uint32_t mode_of(DWORD attributes)
{
    const bool dir = attributes & FILE_ATTRIBUTE_DIRECTORY;
    const uint32_t all = dir ? 0777 : 0666;
    return (attributes & FILE_ATTRIBUTE_READONLY) && !dir ? all & ~0222u : all;
}

FileMeta meta_of(const BY_HANDLE_FILE_INFORMATION& info)
{
    FileMeta m;
    m.known = true;
    m.mode = mode_of(info.dwFileAttributes);
    time_from_filetime(info.ftLastAccessTime, &m.atime_sec, &m.atime_nsec);
    time_from_filetime(info.ftLastWriteTime, &m.mtime_sec, &m.mtime_nsec);
    return m;
}

bool is_link(DWORD attributes, DWORD reparse_tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (reparse_tag == IO_REPARSE_TAG_SYMLINK || reparse_tag == IO_REPARSE_TAG_MOUNT_POINT);
}

// The status of the file at `path` through a handle on it (a link itself when
// not `follow_links`). 0, or -1 with errno set.
int status_of_path(const std::wstring& path, bool follow_links, PathStatus* st, FileMeta* meta)
{
    WIN32_FILE_ATTRIBUTE_DATA attr;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attr))
        return fail_with_last_error();
    DWORD tag = 0;
    if (attr.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        WIN32_FIND_DATAW fd;
        const HANDLE h = FindFirstFileW(path.c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            tag = fd.dwReserved0;
            FindClose(h);
        }
    }
    const bool link = is_link(attr.dwFileAttributes, tag);
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (link && !follow_links ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, flags, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        const int rc = fail_with_last_error();
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return rc;
    }
    CloseHandle(h);
    if (link && !follow_links) {
        st->kind = PathKind::Other;
        st->other = OtherKind::Link;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        st->kind = PathKind::Directory;
        st->other = OtherKind::None;
    } else {
        st->kind = PathKind::Regular;
        st->other = OtherKind::None;
    }
    st->size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    st->device = info.dwVolumeSerialNumber;
    st->inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    if (meta)
        *meta = meta_of(info);
    return 0;
}

// ---- outputs being written ----

HANDLE handle_of(const PlatformFile* f) { return static_cast<HANDLE>(f->handle); }

PlatformFile* wrap_handle(HANDLE h, const std::string& path)
{
    auto* f = new PlatformFile;
    f->handle = h;
    f->path = path;
    return f;
}

// Where an output being written lies: its handle and its path.
struct OutputPlace {
    HANDLE handle;
    std::wstring path;
};

using OpenOutputs = OutputList<OutputPlace>;
OpenOutputs& open_outputs() { return output_list<OutputPlace>(); }

void forget_output(const PlatformFile* file, const std::wstring& path)
{
    output_list_forget(open_outputs(), file, [&](const OutputPlace& at) { return at.path == path; });
}

// Marks an open output for deletion when its last handle closes; by name
// when the handle refuses.
void delete_open(HANDLE h, const std::wstring& path)
{
    FILE_DISPOSITION_INFO d;
    d.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d))
        DeleteFileW(path.c_str());
}

// Removes a file by name, clearing a read-only attribute first (which would
// refuse it where a POSIX directory would not).
BOOL delete_path(const std::wstring& path)
{
    if (DeleteFileW(path.c_str()))
        return TRUE;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return FALSE;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(path.c_str());
}

// Writes all `count` bytes at the file position: `count`, or -1.
int64_t write_all(HANDLE h, const void* buf, int64_t count)
{
    auto* p = static_cast<const char*>(buf);
    int64_t done = 0;
    while (done < count) {
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
        DWORD wrote = 0;
        if (!WriteFile(h, p + done, want, &wrote, nullptr) || wrote == 0)
            return fail_with_last_error();
        done += wrote;
    }
    return done;
}

int64_t position_of(HANDLE h)
{
    LARGE_INTEGER zero, at;
    zero.QuadPart = 0;
    return SetFilePointerEx(h, zero, &at, FILE_CURRENT) ? at.QuadPart : -1;
}

bool seek_to(HANDLE h, int64_t at, DWORD from)
{
    LARGE_INTEGER to;
    to.QuadPart = at;
    return SetFilePointerEx(h, to, nullptr, from) != 0;
}

bool std_streams_binary = false;

// Standard streams carry bytes: no newline or end-of-file translation.
void make_std_streams_binary()
{
    if (std_streams_binary)
        return;
    std_streams_binary = true;
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

PlatformFile* std_file(int fd, const char* name)
{
    make_std_streams_binary();
    auto* f = new PlatformFile;
    f->handle = reinterpret_cast<void*>(_get_osfhandle(fd));
    f->is_std = true;
    f->path = name;
    return f;
}

} // namespace

void write_stderr_raw(const char* text, size_t n)
{
    DWORD wrote;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(n), &wrote, nullptr);
}

// ---- files ----

PlatformFile* file_open_input_at(const FilePlace& at)
{
    const std::wstring path = system_path_at(at.dir, at.name);
    // Within a walked directory a link is not followed: it is opened as
    // itself and refused.
    const DWORD nofollow = at.dir ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | nofollow, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        errno = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : errno_of(err);
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && nofollow) {
        CloseHandle(h);
        errno = ELOOP;
        return nullptr;
    }
    PlatformFile* f = wrap_handle(h, at.path);
    if (known) {
        f->meta = meta_of(info);
        f->size = GetFileType(h) == FILE_TYPE_DISK
                      ? static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow)
                      : -1;
    }
    return f;
}

PlatformFile* file_create_output_at(const FilePlace& at, bool replace, const FileMeta* like)
{
    const std::wstring path = system_path_at(at.dir, at.name);
    OpenOutputs& o = open_outputs();
    std::lock_guard<std::mutex> lock(o.mutex);
    // Made new, never opened over an existing file: one in the way is
    // removed first when replacing, so that nothing of it carries over.
    const DWORD access = GENERIC_WRITE | GENERIC_READ | DELETE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if ((err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) && replace) {
            const DWORD attributes = GetFileAttributesW(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                errno = EISDIR;
                return nullptr;
            }
            if (!delete_path(path)) {
                fail_with_last_error();
                return nullptr;
            }
            h = CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                fail_with_last_error();
                return nullptr;
            }
        } else {
            errno = errno_of(err);
            return nullptr;
        }
    }
    PlatformFile* f = wrap_handle(h, at.path);
    f->name = at.name;
    o.outputs.push_back({f, {h, path}});
    f->is_output = true;
    f->created_mode = 0666;
    (void)like;
    return f;
}

namespace {

// Gives an open file or directory `meta`'s times, and the read-only
// attribute when `meta` says no one may write (never to a directory, where
// the attribute means something else).
int set_meta(HANDLE h, const FileMeta& meta, bool directory)
{
    FILE_BASIC_INFO b;
    std::memset(&b, 0, sizeof b);   // zero: left as they are
    const LARGE_INTEGER atime = ticks_of(meta.atime_sec, meta.atime_nsec);
    const LARGE_INTEGER mtime = ticks_of(meta.mtime_sec, meta.mtime_nsec);
    b.LastAccessTime = atime;
    b.LastWriteTime = mtime;
    if (!directory && !(meta.mode & 0222)) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info))
            b.FileAttributes = (info.dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
    }
    return SetFileInformationByHandle(h, FileBasicInfo, &b, sizeof b) ? 0 : fail_with_last_error();
}

} // namespace

int file_apply_meta(PlatformFile* f, const FileMeta& meta)
{
    if (!meta.known || f->is_std)
        return 0;
    return set_meta(handle_of(f), meta, false);
}

int64_t file_rewrite_offset(PlatformFile* f)
{
    if (f->is_output)
        return 0;  // created here: empty and not for appending
    const HANDLE h = handle_of(f);
    if (GetFileType(h) != FILE_TYPE_DISK)
        return -1;
    return position_of(h);
}

int64_t file_write_two(PlatformFile* f, const void* a, int64_t na, const void* b, int64_t nb)
{
    return write_two_rest(f, a, na, b, nb, 0);
}

int64_t file_write_at(PlatformFile* f, const void* buf, int64_t count, int64_t offset)
{
    // A write at an offset moves a synchronous handle's position, so the
    // position is put back afterwards.
    const HANDLE h = handle_of(f);
    const int64_t was = position_of(h);
    if (was < 0 || !seek_to(h, offset, FILE_BEGIN))
        return fail_with_last_error();
    const int64_t r = write_all(h, buf, count);
    const int err = errno;
    if (!seek_to(h, was, FILE_BEGIN))
        return fail_with_last_error();
    errno = err;
    return r;
}

int64_t file_skip(PlatformFile* f, int64_t count)
{
    const HANDLE h = handle_of(f);
    if (count > 0 && GetFileType(h) == FILE_TYPE_DISK) {
        LARGE_INTEGER size;
        const int64_t at = position_of(h);
        if (at >= 0 && GetFileSizeEx(h, &size)) {
            const int64_t left = size.QuadPart > at ? size.QuadPart - at : 0;
            const int64_t step = std::min(count, left);
            if (!seek_to(h, step, FILE_CURRENT))
                return fail_with_last_error();
            return step;
        }
    }
    return skip_by_reading(f, count);
}

PlatformFile* file_stdin() { return std_file(0, "stdin"); }
PlatformFile* file_stdout() { return std_file(1, "stdout"); }

int64_t file_read_fully(PlatformFile* f, void* buf, int64_t count)
{
    if (count <= 0)
        return count;
    auto* p = static_cast<char*>(buf);
    int64_t done = 0;
    while (done < count) {
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
        DWORD got = 0;
        if (!ReadFile(handle_of(f), p + done, want, &got, nullptr)) {
            // A pipe whose writer has gone has simply ended.
            if (GetLastError() == ERROR_BROKEN_PIPE)
                break;
            return fail_with_last_error();
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

int64_t file_write_fully(PlatformFile* f, const void* buf, int64_t count)
{
    return count <= 0 ? count : write_all(handle_of(f), buf, count);
}

int file_close(PlatformFile* f)
{
    if (!f)
        return 0;
    int rc = 0;
    if (f->is_output) {
        OpenOutputs& o = open_outputs();
        std::lock_guard<std::mutex> lock(o.mutex);
        forget_output(f, std::wstring());
    }
    if (!f->is_std) {
        if (!CloseHandle(handle_of(f)))
            rc = fail_with_last_error();
    }
    delete f;
    return rc;
}

int file_close_output(PlatformFile* f, bool discard)
{
    if (!f)
        return 0;
    const bool removable = f->is_output && !f->is_std;
    const HANDLE h = handle_of(f);
    if (removable) {
        // Off the list (and, when discarded, marked for deletion) before it
        // is closed, so that an interruption in between finds nothing to
        // leave behind.
        OpenOutputs& o = open_outputs();
        std::lock_guard<std::mutex> lock(o.mutex);
        std::wstring path;
        for (const OpenOutputs::Entry& out : o.outputs)
            if (out.file == f)
                path = out.place.path;
        forget_output(f, std::wstring());
        if (discard)
            delete_open(h, path);
        f->is_output = false;
        f->name = to_utf8(path.c_str(), static_cast<int>(path.size()));   // for a removal after a failed close
    }
    int rc = 0;
    if (!f->is_std && !CloseHandle(h)) {
        rc = fail_with_last_error();
        const int err = errno;
        if (!discard && removable)
            delete_path(to_wide(f->name));
        errno = err;
    }
    return release_closed(f, rc);
}

int64_t file_size(PlatformFile* f)
{
    if (f->size >= 0)
        return f->size;
    const HANDLE h = handle_of(f);
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size))
        return -1;
    return size.QuadPart;
}

bool file_is_same_at(PlatformFile* in, const FilePlace& out)
{
    BY_HANDLE_FILE_INFORMATION a;
    PathStatus b;
    if (!GetFileInformationByHandle(handle_of(in), &a) ||
        status_of_path(system_path_at(out.dir, out.name), true, &b, nullptr) != 0)
        return false;
    return a.dwVolumeSerialNumber == b.device && ((uint64_t{a.nFileIndexHigh} << 32) | a.nFileIndexLow) == b.inode;
}

int file_remove(const char* path)
{
    const std::wstring w = system_path(path);
    OpenOutputs& o = open_outputs();
    std::lock_guard<std::mutex> lock(o.mutex);
    forget_output(nullptr, w);
    return delete_path(w) ? 0 : fail_with_last_error();
}

// ---- interruption ----

namespace {

// Ctrl-C, Ctrl-Break and the console's closing end the run as SIGINT, the
// break signal and SIGHUP do elsewhere: the outputs being written go first.
BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: interrupted_exit(2);
    case CTRL_BREAK_EVENT: interrupted_exit(21);
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: interrupted_exit(1);
    default: return FALSE;
    }
}

} // namespace

void interrupt_guard_start() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool stream_is_terminal(int std_fd)
{
    // The CRT calls any character device a terminal (the NUL device too);
    // only a console is one.
    DWORD mode;
    return _isatty(std_fd) && GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(std_fd)), &mode);
}

// ---- paths and directories ----

int path_status_at(const DirHandle* dir, const char* name, PathStatus* st, bool follow_links, FileMeta* meta)
{
    if (status_of_path(system_path_at(dir, name), follow_links, st, meta) != 0)
        return status_missing(st);
    return 0;
}

int make_directory(const char* path)
{
    const int r = make_directory_at(nullptr, path, 0777);
    return r < 0 ? -1 : 0;
}

DirHandle* dir_open_at(const DirHandle* dir, const char* name)
{
    const std::string path = join(dir, name);
    const std::wstring w = system_path(path);
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        fail_with_last_error();
        return nullptr;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOTDIR;
        return nullptr;
    }
    if (dir && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        errno = ELOOP;
        return nullptr;
    }
    std::wstring pattern = w;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L':')
        pattern += L'\\';
    pattern += L'*';
    auto* d = new DirHandle;
    d->path = path;
    d->find = FindFirstFileW(pattern.c_str(), &d->found);
    if (d->find == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_NO_MORE_FILES) {
            delete d;
            errno = errno_of(err);
            return nullptr;
        }
        d->first = false;   // empty (not even "." listed, as at a drive's root)
    }
    return d;
}

int make_directory_at(const DirHandle* dir, const char* name, uint32_t mode)
{
    (void)mode;
    const std::wstring w = system_path_at(dir, name);
    if (CreateDirectoryW(w.c_str(), nullptr))
        return 0;
    const DWORD err = GetLastError();
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (err == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 1;
    errno = errno_of(err);
    return -1;
}

int dir_apply_meta(DirHandle* d, const FileMeta& meta)
{
    if (!meta.known)
        return 0;
    const HANDLE h = CreateFileW(system_path(d->path).c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail_with_last_error();
    const int rc = set_meta(h, meta, true);
    CloseHandle(h);
    return rc;
}

const char* dir_next(DirHandle* d)
{
    if (d->find == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!d->first && !FindNextFileW(d->find, &d->found))
        return nullptr;
    d->first = false;
    d->name = to_utf8(d->found.cFileName);
    return d->name.c_str();
}

void dir_close(DirHandle* d)
{
    if (!d)
        return;
    if (d->find != INVALID_HANDLE_VALUE)
        FindClose(d->find);
    delete d;
}

// ---- threads ----

// A thread's `thread_local` objects live in blocks that GCC's emulated TLS
// frees from a thread-key destructor; their destructors run from another key
// (the C++ runtime's), and winpthreads calls key destructors in the order the
// keys were made. The TLS key is made at the first use of any thread-local
// object, so, left alone, it comes first and the objects' destructors then
// read freed memory (the codecs' kept buffers: they released wild pointers).
// Registering one thread-exit call before anything uses thread-local
// storage makes the runtime's key first: the destructors run while their
// objects still exist.
namespace {

void nothing_at_thread_exit(void*) {}

__attribute__((constructor(101))) void order_thread_exit_keys()
{
    static int anchor;
    __cxxabiv1::__cxa_thread_atexit(nothing_at_thread_exit, &anchor, nullptr);
}

} // namespace

static unsigned __stdcall thread_trampoline(void* p)
{
    thread_run(static_cast<PlatformThread*>(p));
    return 0;
}

bool thread_start(PlatformThread* t, size_t stack_bytes)
{
    const uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), thread_trampoline, t,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    t->id = reinterpret_cast<HANDLE>(h);
    return h != 0;
}

void thread_wait(PlatformThread* t)
{
    WaitForSingleObject(t->id, INFINITE);
    CloseHandle(t->id);
}

// ---- processors and memory ----

int processor_count()
{
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
        return __builtin_popcountll(static_cast<unsigned long long>(process));
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

namespace {

// The memory limit of the job the process runs in, per process or for the
// whole job; 0 when there is none.
uint64_t job_memory_limit()
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &info, sizeof info, nullptr))
        return 0;
    uint64_t limit = 0;
    if (info.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
        limit = smaller_limit(limit, info.ProcessMemoryLimit);
    if (info.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY)
        limit = smaller_limit(limit, info.JobMemoryLimit);
    return limit;
}

} // namespace

// Windows has no control groups.
uint64_t memory_cgroup_limit() { return 0; }

void memory_set_cgroup_paths(const char*, const char*) { memory_forget(); }

uint64_t memory_measure(uint64_t* machine)
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    *machine = GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
    return smaller_limit(*machine, job_memory_limit());
}

uint64_t address_space_limit() { return 0; }

// The C library here has no aligned_alloc; its own pair does the same.
void* memory_aligned_alloc(size_t alignment, size_t bytes) { return _aligned_malloc(bytes, alignment); }
void memory_aligned_free(void* p) { _aligned_free(p); }

void* memory_map(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void memory_unmap(void* p, size_t)
{
    if (p)
        VirtualFree(p, 0, MEM_RELEASE);
}

void* address_reserve(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS); }

bool address_commit(void* p, size_t bytes, size_t)
{
    return VirtualAlloc(p, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

// Windows backs committed pages on their first touch and has no call that
// does it ahead without writing; the pages are faulted in as they are used.
void address_prefault(void*, size_t) {}

void address_decommit(void* p, size_t bytes) { VirtualFree(p, bytes, MEM_DECOMMIT); }

void address_release(void* p, size_t)
{
    if (p)
        VirtualFree(p, 0, MEM_RELEASE);
}

// ---- the status line, the end, errors ----

void outputs_remove_for_exit()
{
    OpenOutputs& o = open_outputs();
    o.mutex.lock();   // held until the end: no output is created or finished after this
    // Nor does any other thread print (a write failing on a handle closed
    // below would say so).
    _lock_file(stdout);
    _lock_file(stderr);
    // Closed here, not left to the end of the process, so that they are gone
    // before anyone sees it end (Wine closes a dead process's handles later).
    for (const OpenOutputs::Entry& out : o.outputs) {
        delete_open(out.place.handle, out.place.path);
        CloseHandle(out.place.handle);
    }
}

void process_end(int status)
{
    // Ends every thread at once, as _exit does.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}

// ---- the command line ----

namespace {

bool has_wildcard(const std::wstring& s) { return s.find_first_of(L"*?") != std::wstring::npos; }

// The names a `*`/`?` pattern in its last component matches, joined to the
// directory part as written, sorted; none when nothing matches.
std::vector<std::string> expand_pattern(const std::wstring& pattern)
{
    std::vector<std::string> names;
    const size_t cut = pattern.find_last_of(L"\\/:");
    const std::wstring dir = cut == std::wstring::npos ? std::wstring() : pattern.substr(0, cut + 1);
    if (has_wildcard(dir))
        return names;   // only the last component is a pattern
    const bool dot_asked = pattern[dir.size()] == L'.';
    WIN32_FIND_DATAW found;
    const HANDLE h = FindFirstFileW(pattern.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || (name[0] == L'.' && !dot_asked))
            continue;
        names.push_back(to_utf8((dir + name).c_str()));
    } while (FindNextFileW(h, &found));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

void program_arguments(int* argc, char*** argv)
{
    make_std_streams_binary();
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide)
        return;
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    for (int i = 0; i < n; ++i) {
        const std::wstring arg = wide[i];
        // The shell leaves patterns to the program; one that matches nothing
        // stays as written.
        std::vector<std::string> matches;
        if (i > 0 && has_wildcard(arg))
            matches = expand_pattern(arg);
        if (matches.empty())
            args.push_back(to_utf8(arg.c_str(), static_cast<int>(arg.size())));
        else
            args.insert(args.end(), matches.begin(), matches.end());
    }
    LocalFree(wide);
    for (std::string& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    *argc = static_cast<int>(args.size());
    *argv = pointers.data();
}

} // namespace qrn
