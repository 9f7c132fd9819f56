// The operating system calls of the file layer, for POSIX systems (Linux,
// macOS, the BSDs) and for Windows.
#if defined(_WIN32)
#  define _CRT_RAND_S  // rand_s, before any standard header
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <aclapi.h>
#  include <sddl.h>
#  include <fcntl.h>
#  include <io.h>
#else
#  ifndef _FILE_OFFSET_BITS
#    define _FILE_OFFSET_BITS 64  // 64-bit off_t on 32-bit systems too
#  endif
#  include <fcntl.h>
#  include <sys/file.h>
#  include <sys/mman.h>
#  include <sys/stat.h>
#  include <unistd.h>
#  if defined(__linux__)
#    include <sched.h>
#  endif
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform.h"
#include "../codec/zebparallel.h"

namespace zeb::os {

namespace {

// Reads and writes go to the system in pieces of at most 1 GiB, which every
// system takes in one call (Windows' counts are 32-bit).
constexpr int64_t kPiece = int64_t(1) << 30;

int64_t piece(int64_t n) { return n < kPiece ? n : kPiece; }

}  // namespace

// Writes up to n bytes (at most 1 GiB) in one call, again after
// interruptions; returns the number written, or -1 with *err set.
int64_t write_some(int fd, const void *src, int64_t n, int *err);

// The same at offset at, the descriptor's offset left alone (POSIX); a read
// returns 0 at the end of the file.
int64_t read_some_at(int fd, void *dst, int64_t n, int64_t at, int *err);
int64_t write_some_at(int fd, const void *src, int64_t n, int64_t at, int *err);

// Flushes the file's data (not necessarily its metadata) to the device.
int sync_data(int fd);

#if defined(_WIN32)

namespace {

// The errno value nearest to a Windows error code.
int errno_of(DWORD e)
{
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    default: return EIO;
    }
}

// A UTF-8 path as UTF-16; false (EINVAL) when it is not valid UTF-8.
bool widen(const char *s, std::wstring *out)
{
    out->clear();
    if (!*s)
        return true;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0)
        return false;
    out->resize(size_t(n));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, out->data(), n) != n)
        return false;
    out->resize(size_t(n - 1));
    return true;
}

std::string narrow(const wchar_t *w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(size_t(n - 1));
    return s;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Opens with CreateFileW and wraps the handle in a binary-mode descriptor.
// Other processes may read, write, rename and delete the file meanwhile, as
// on POSIX systems (an atomic replace by another writer must not fail
// because this file is open).
int open_handle(const char *path, DWORD access, DWORD disposition, DWORD flags, int crt_flags, int *err)
{
    std::wstring w;
    if (!widen(path, &w)) {
        *err = EINVAL;
        return -1;
    }
    HANDLE h = CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = errno_of(GetLastError());
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags);
    if (fd < 0) {
        *err = EMFILE;
        CloseHandle(h);
        return -1;
    }
    _setmode(fd, _O_BINARY);
    return fd;
}

FileStatus status_from(const BY_HANDLE_FILE_INFORMATION &info)
{
    FileStatus s;
    const int64_t size = int64_t((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        s.kind = Kind::directory;
    } else {
        s.kind = Kind::regular;
        s.size = size;
    }
    // FILETIME counts 100 ns from 1601; Python's st_mtime_ns from 1970.
    const int64_t ticks =
        int64_t((uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
    s.id = zeb_file_id{int64_t(info.dwVolumeSerialNumber),
                       int64_t((uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow), size,
                       (ticks - 116444736000000000) * 100};
    s.links = int64_t(info.nNumberOfLinks);
    return s;
}

// Where an OVERLAPPED read or write starts.
OVERLAPPED at_offset(int64_t at)
{
    OVERLAPPED o{};
    o.Offset = DWORD(uint64_t(at) & 0xFFFFFFFFu);
    o.OffsetHigh = DWORD(uint64_t(at) >> 32);
    return o;
}

}  // namespace

int open_read(const char *path, int *err)
{
    // Directories open too (as on POSIX systems), so that callers can say
    // what the name is.
    return open_handle(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS,
                       _O_RDONLY, err);
}

int open_write(const char *path, bool exclusive, int *err)
{
    return open_handle(path, GENERIC_WRITE, exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0, err);
}

int open_private(const char *path, int *err)
{
    std::wstring w;
    if (!widen(path, &w)) {
        *err = EINVAL;
        return -1;
    }
    // A protected access list with one entry: all access for the file's owner.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1, &sd, nullptr)) {
        *err = errno_of(GetLastError());
        return -1;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD e = GetLastError();
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE) {
        *err = errno_of(e);
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0) {
        *err = EMFILE;
        CloseHandle(h);
        return -1;
    }
    _setmode(fd, _O_BINARY);
    return fd;
}

int open_read_write(const char *path, int *err)
{
    return open_handle(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDWR, err);
}

int64_t read_some(int fd, void *dst, int64_t n, int *err)
{
    int r = _read(fd, dst, static_cast<unsigned>(piece(n)));
    if (r < 0)
        *err = errno ? errno : EIO;
    return r;
}

int64_t write_some(int fd, const void *src, int64_t n, int *err)
{
    int w = _write(fd, src, static_cast<unsigned>(piece(n)));
    if (w < 0)
        *err = errno ? errno : EIO;
    return w;
}

bool skip_ahead(int fd, int64_t n) { return _lseeki64(fd, n, SEEK_CUR) >= 0; }

int sync(int fd) { return FlushFileBuffers(handle_of(fd)) ? 0 : errno_of(GetLastError()); }

int close(int fd) { return _close(fd) == 0 ? 0 : (errno ? errno : EIO); }

int preallocate(int fd, int64_t n)
{
    FILE_ALLOCATION_INFO a{};
    a.AllocationSize.QuadPart = n;
    if (SetFileInformationByHandle(handle_of(fd), FileAllocationInfo, &a, sizeof a))
        return 0;
    DWORD e = GetLastError();
    return e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL ? ENOSPC : 0;
}

// The cache manager writes back on its own schedule; FlushFileBuffers waits.
void start_writeback(int, int64_t, int64_t) {}

FileStatus status_of(const char *path, bool follow_links)
{
    FileStatus s;
    std::wstring w;
    if (!widen(path, &w)) {
        s.err = EINVAL;
        return s;
    }
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &a)) {
        s.err = errno_of(GetLastError());
        return s;
    }
    if (!follow_links && (a.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        s.kind = Kind::link;
        return s;
    }
    // The file behind any link.
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        s.err = errno_of(GetLastError());
        return s;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
    if (fd < 0) {
        CloseHandle(h);
        s.err = EMFILE;
        return s;
    }
    s = status_of(fd);
    _close(fd);
    return s;
}

FileStatus status_of(int fd)
{
    FileStatus s;
    HANDLE h = handle_of(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE) {
        s.err = EBADF;
        return s;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        s.kind = Kind::other;
        return s;
    }
    if (!GetFileInformationByHandle(h, &info)) {
        s.err = errno_of(GetLastError());
        return s;
    }
    return status_from(info);
}

int64_t read_some_at(int fd, void *dst, int64_t n, int64_t at, int *err)
{
    OVERLAPPED o = at_offset(at);
    DWORD r = 0;
    if (ReadFile(handle_of(fd), dst, DWORD(piece(n)), &r, &o))
        return r;
    DWORD e = GetLastError();
    if (e == ERROR_HANDLE_EOF)
        return 0;
    *err = errno_of(e);
    return -1;
}

int64_t write_some_at(int fd, const void *src, int64_t n, int64_t at, int *err)
{
    OVERLAPPED o = at_offset(at);
    DWORD w = 0;
    if (WriteFile(handle_of(fd), src, DWORD(piece(n)), &w, &o))
        return w;
    *err = errno_of(GetLastError());
    return -1;
}

int sync_data(int fd) { return sync(fd); }

int descriptor_named(const char *) { return -1; }

bool in_place_only(const char *path)
{
    return (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') && path[2] == '.' &&
           (path[3] == '\\' || path[3] == '/');
}

void take_over_owner_and_mode(int fd, const char *)
{
    // The owner-only list goes; the file takes what its directory passes on
    // to new files, as any new file does.
    ACL empty;
    if (InitializeAcl(&empty, sizeof empty, ACL_REVISION))
        SetSecurityInfo(handle_of(fd), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &empty, nullptr);
}

int set_modification_time(int fd, int64_t mtime_ns)
{
    const int64_t ticks = mtime_ns / 100 + 116444736000000000;
    FILETIME ft{DWORD(uint64_t(ticks) & 0xFFFFFFFFu), DWORD(uint64_t(ticks) >> 32)};
    return SetFileTime(handle_of(fd), nullptr, nullptr, &ft) ? 0 : errno_of(GetLastError());
}

namespace {

// The byte a lock stands on: far beyond the end of any file, so that the
// lock, which Windows enforces on reads and writes of its range, blocks none.
OVERLAPPED lock_place()
{
    OVERLAPPED o{};
    o.OffsetHigh = 0x7FFFFFFF;
    return o;
}

}  // namespace

int lock_exclusive(int fd)
{
    OVERLAPPED o = lock_place();
    return LockFileEx(handle_of(fd), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &o) ? 0 : errno_of(GetLastError());
}

void unlock(int fd)
{
    OVERLAPPED o = lock_place();
    UnlockFileEx(handle_of(fd), 0, 1, 0, &o);
}

int acquire_lock_file(const std::string &path, LockFile *out)
{
    std::wstring w;
    if (!widen(path.c_str(), &w))
        return EINVAL;
    // Deleted as its last handle closes.  Until then a new open fails (the
    // file is pending deletion) and is tried again: whoever holds a handle of
    // the old file takes its lock in turn, newcomers wait for the new one.
    HANDLE h = INVALID_HANDLE_VALUE;
    const ULONGLONG give_up = GetTickCount64() + 30000;  // a real refusal of access ends the wait
    while (GetTickCount64() < give_up) {
        h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            break;
        Sleep(1);
    }
    if (h == INVALID_HANDLE_VALUE)
        return errno_of(GetLastError());
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR);
    if (fd < 0) {
        CloseHandle(h);
        return EMFILE;
    }
    if (int err = lock_exclusive(fd)) {
        _close(fd);
        return err;
    }
    out->fd = fd;
    out->path = path;
    return 0;
}

void release_lock_file(LockFile &lock)
{
    if (lock.fd < 0)
        return;
    unlock(lock.fd);
    _close(lock.fd);  // the file goes with its last handle
    lock.fd = -1;
}

int64_t tell(std::FILE *f) { return _ftelli64(f); }

int descriptor_of(std::FILE *f) { return _fileno(f); }

std::string resolve_links(const char *path)
{
    std::wstring w;
    if (!widen(path, &w))
        return std::string();
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::wstring out(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, out.data(), DWORD(out.size()), FILE_NAME_NORMALIZED);
    if (n >= out.size()) {
        out.resize(n + 1);
        n = GetFinalPathNameByHandleW(h, out.data(), DWORD(out.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(h);
    if (n == 0 || n >= out.size())
        return std::string();
    out.resize(n);
    // "\\?\C:\..." and "\\?\UNC\server\..." as ordinary paths.
    if (out.rfind(L"\\\\?\\UNC\\", 0) == 0)
        out = L"\\\\" + out.substr(8);
    else if (out.rfind(L"\\\\?\\", 0) == 0)
        out = out.substr(4);
    return narrow(out.c_str());
}

int replace(const char *from, const char *to)
{
    std::wstring wf, wt;
    if (!widen(from, &wf) || !widen(to, &wt))
        return EINVAL;
    return MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : errno_of(GetLastError());
}

void remove_file(const char *path)
{
    std::wstring w;
    if (widen(path, &w))
        DeleteFileW(w.c_str());
}

// The rename was written through (MOVEFILE_WRITE_THROUGH); Windows has no
// directory to sync.
void sync_directory(const std::string &) {}

std::size_t last_separator(const std::string &path) { return path.find_last_of("/\\:"); }

bool random64(uint64_t *out)
{
    unsigned a = 0, b = 0;
    if (rand_s(&a) != 0 || rand_s(&b) != 0)
        return false;
    *out = (uint64_t(a) << 32) | b;
    return true;
}

uint64_t process_id() { return GetCurrentProcessId(); }

int core_count()
{
    DWORD n = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return n > 0 ? int(n) : 1;
}

void advise_huge_pages(void *, std::size_t) {}

#else  // POSIX

namespace {

FileStatus status_from(const struct stat &st)
{
    FileStatus s;
#if defined(__APPLE__)
    const struct timespec &m = st.st_mtimespec;
#else
    const struct timespec &m = st.st_mtim;
#endif
    s.id = zeb_file_id{int64_t(st.st_dev), int64_t(st.st_ino), int64_t(st.st_size),
                       int64_t(m.tv_sec) * 1000000000 + m.tv_nsec};
    s.links = int64_t(st.st_nlink);
    if (S_ISREG(st.st_mode)) {
        s.kind = Kind::regular;
        s.size = int64_t(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
        s.kind = Kind::directory;
    } else if (S_ISLNK(st.st_mode)) {
        s.kind = Kind::link;
    } else {
        s.kind = Kind::other;
    }
    return s;
}

}  // namespace

int open_read(const char *path, int *err)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        *err = errno;
    return fd;
}

int open_write(const char *path, bool exclusive, int *err)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC) | O_CLOEXEC, 0666);
    if (fd < 0)
        *err = errno;
    return fd;
}

int open_private(const char *path, int *err)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        *err = errno;
    return fd;
}

int open_read_write(const char *path, int *err)
{
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        *err = errno;
    return fd;
}

int64_t read_some(int fd, void *dst, int64_t n, int *err)
{
    for (;;) {
        ssize_t r = ::read(fd, dst, static_cast<size_t>(piece(n)));
        if (r >= 0)
            return r;
        if (errno != EINTR) {
            *err = errno;
            return -1;
        }
    }
}

int64_t write_some(int fd, const void *src, int64_t n, int *err)
{
    for (;;) {
        ssize_t w = ::write(fd, src, static_cast<size_t>(piece(n)));
        if (w >= 0)
            return w;
        if (errno != EINTR) {
            *err = errno ? errno : EIO;
            return -1;
        }
    }
}

bool skip_ahead(int fd, int64_t n)
{
    static_assert(sizeof(off_t) == 8, "64-bit file offsets");
    return ::lseek(fd, static_cast<off_t>(n), SEEK_CUR) >= 0;
}

int sync(int fd)
{
#if defined(F_FULLFSYNC)
    // macOS: fsync leaves the data in the drive's cache; this asks the drive
    // to write them.  File systems without it get the plain fsync.
    if (::fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
    return ::fsync(fd) == 0 ? 0 : errno;
}

int close(int fd)
{
    if (::close(fd) == 0 || errno == EINTR)
        return 0;
    return errno ? errno : EIO;
}

int preallocate(int fd, int64_t n)
{
#if defined(__linux__)
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(n)) != 0 && errno == ENOSPC)
        return ENOSPC;
#elif defined(F_PREALLOCATE)
    fstore_t st{};
    st.fst_flags = F_ALLOCATECONTIG | F_ALLOCATEALL;
    st.fst_posmode = F_PEOFPOSMODE;
    st.fst_length = static_cast<off_t>(n);
    if (::fcntl(fd, F_PREALLOCATE, &st) == -1) {
        st.fst_flags = F_ALLOCATEALL;  // contiguous room is only a wish
        if (::fcntl(fd, F_PREALLOCATE, &st) == -1 && errno == ENOSPC)
            return ENOSPC;
    }
#else
    (void)fd;
    (void)n;
#endif
    return 0;
}

void start_writeback(int fd, int64_t at, int64_t n)
{
#if defined(__linux__)
    ::sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)at;
    (void)n;
#endif
}

FileStatus status_of(const char *path, bool follow_links)
{
    struct stat st;
    if ((follow_links ? ::stat(path, &st) : ::lstat(path, &st)) != 0) {
        FileStatus s;
        s.err = errno;
        return s;
    }
    return status_from(st);
}

FileStatus status_of(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        FileStatus s;
        s.err = errno;
        return s;
    }
    return status_from(st);
}

int64_t read_some_at(int fd, void *dst, int64_t n, int64_t at, int *err)
{
    for (;;) {
        ssize_t r = ::pread(fd, dst, static_cast<size_t>(piece(n)), static_cast<off_t>(at));
        if (r >= 0)
            return r;
        if (errno != EINTR) {
            *err = errno;
            return -1;
        }
    }
}

int64_t write_some_at(int fd, const void *src, int64_t n, int64_t at, int *err)
{
    for (;;) {
        ssize_t w = ::pwrite(fd, src, static_cast<size_t>(piece(n)), static_cast<off_t>(at));
        if (w >= 0)
            return w;
        if (errno != EINTR) {
            *err = errno ? errno : EIO;
            return -1;
        }
    }
}

int sync_data(int fd)
{
#if defined(__linux__)
    return ::fdatasync(fd) != 0 ? errno : 0;
#else
    return sync(fd);
#endif
}

namespace {

// The directory part of a path resolved, the last component kept as it is:
// "/dev/fd/1" becomes "/proc/<pid>/fd/1", "/dev/stdout" stays.
std::string resolve_directory(const char *file_name)
{
    std::string name = file_name;
    size_t slash = name.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : name.substr(0, slash ? slash : 1);
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    char *real = ::realpath(dir.c_str(), nullptr);
    if (!real)
        return name;
    std::string out = real;
    std::free(real);
    return (out == "/" ? std::string() : out) + "/" + base;
}

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// N of a decimal string, or -1.
int parse_descriptor(const std::string &s)
{
    if (s.empty() || s.size() > 9)
        return -1;
    int n = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9')
            return -1;
        n = n * 10 + (ch - '0');
    }
    return n;
}

}  // namespace

int descriptor_named(const char *file_name)
{
    const std::string path = resolve_directory(file_name);
    int fd = -1;
    if (path == "/dev/stdin")
        fd = 0;
    else if (path == "/dev/stdout")
        fd = 1;
    else if (path == "/dev/stderr")
        fd = 2;
    else if (starts_with(path, "/proc/")) {
        // /proc/<this process>/fd/N, or .../task/<thread>/fd/N
        size_t end = path.find('/', 6);
        size_t fds = path.rfind("/fd/");
        std::string who = path.substr(6, end == std::string::npos ? std::string::npos : end - 6);
        bool ours = who == "self" || who == "thread-self" || who == std::to_string(getpid());
        if (ours && fds != std::string::npos)
            fd = parse_descriptor(path.substr(fds + 4));
    }
    if (fd >= 0 && ::fcntl(fd, F_GETFD) == -1)
        return -1;
    return fd;
}

bool in_place_only(const char *file_name)
{
    const std::string path = resolve_directory(file_name);
    if (starts_with(path, "/proc/"))
        return true;
    struct stat st;
    return starts_with(path, "/dev/") && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

namespace {

// The umask, read without changing it where the system tells it (Linux);
// elsewhere taken once as the library loads, since reading it means setting
// it, which would race with files other threads create.
mode_t umask_at_load()
{
    const mode_t m = ::umask(022);
    ::umask(m);
    return m;
}

#if !defined(__linux__)
const mode_t kUmaskAtLoad = umask_at_load();
#endif

mode_t current_umask()
{
#if defined(__linux__)
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[4096];
        int err = 0;
        const int64_t n = read_at(fd, buf, sizeof buf - 1, 0, &err);
        ::close(fd);
        if (n > 0) {
            buf[n] = 0;
            if (const char *u = std::strstr(buf, "\nUmask:"))
                return mode_t(std::strtoul(u + 8, nullptr, 8) & 0777);
        }
    }
    static const mode_t fallback = umask_at_load();  // kernels before 4.7
    return fallback;
#else
    return kUmaskAtLoad;
#endif
}

}  // namespace

void take_over_owner_and_mode(int fd, const char *old_path)
{
    struct stat old;
    if (::stat(old_path, &old) != 0 || !S_ISREG(old.st_mode)) {
        (void)::fchmod(fd, 0666 & ~current_umask());  // a new file's permissions
        return;
    }
    // Owner first: a change of owner clears the set-user-ID bits that the
    // mode then puts back.  Where the owner cannot be given (not root), the
    // group may still be.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    (void)::fchmod(fd, old.st_mode & 07777);
}

int set_modification_time(int fd, int64_t mtime_ns)
{
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    int64_t sec = mtime_ns / 1000000000, ns = mtime_ns % 1000000000;
    if (ns < 0) {  // times before 1970
        ns += 1000000000;
        --sec;
    }
    ts[1].tv_sec = time_t(sec);
    ts[1].tv_nsec = long(ns);
    return ::futimens(fd, ts) == 0 ? 0 : errno;
}

int lock_exclusive(int fd)
{
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

void unlock(int fd) { (void)::flock(fd, LOCK_UN); }

int acquire_lock_file(const std::string &path, LockFile *out)
{
    for (;;) {
        // Not through a link, nor into a pipe someone put there; read-only
        // where another user's lock file may not be written (a lock needs no more).
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno;
        struct stat mine, there;
        if (::fstat(fd, &mine) != 0 || !S_ISREG(mine.st_mode)) {
            ::close(fd);
            return EEXIST;
        }
        // Readable for every writer, whatever the umask, so that others wait for it rather than fail.
        if (mine.st_uid == ::geteuid() && (mine.st_mode & 0777) != 0644)
            (void)::fchmod(fd, 0644);
        if (int err = lock_exclusive(fd)) {
            ::close(fd);
            return err;
        }
        if (::lstat(path.c_str(), &there) == 0 && there.st_dev == mine.st_dev && there.st_ino == mine.st_ino) {
            out->fd = fd;
            out->path = path;
            return 0;
        }
        ::close(fd);  // its last holder removed it: lock the one there now
    }
}

void release_lock_file(LockFile &lock)
{
    if (lock.fd < 0)
        return;
    // Removed while still locked: whoever waits on it finds it gone and takes the next one.
    ::unlink(lock.path.c_str());
    ::close(lock.fd);
    lock.fd = -1;
}

int64_t tell(std::FILE *f) { return int64_t(::ftello(f)); }


int descriptor_of(std::FILE *f) { return ::fileno(f); }

std::string resolve_links(const char *path)
{
    std::string out;
    if (char *real = ::realpath(path, nullptr)) {
        out = real;
        std::free(real);
    }
    return out;
}

int replace(const char *from, const char *to) { return ::rename(from, to) == 0 ? 0 : errno; }

void remove_file(const char *path) { ::unlink(path); }

void sync_directory(const std::string &dir)
{
#if defined(O_DIRECTORY)
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#else
    int dfd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
#endif
    if (dfd >= 0) {
        ::fsync(dfd);  // best effort: the file is in place whatever this says
        ::close(dfd);
    }
}

std::size_t last_separator(const std::string &path) { return path.rfind('/'); }

bool random64(uint64_t *out)
{
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
    arc4random_buf(out, sizeof *out);
    return true;
#else
    // /dev/urandom rather than getrandom(2), which older C libraries lack.
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int err = 0;
    bool ok = read_some(fd, out, sizeof *out, &err) == int64_t(sizeof *out);
    ::close(fd);
    return ok;
#endif
}

uint64_t process_id() { return uint64_t(::getpid()); }

int core_count()
{
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
#endif
    const unsigned h = std::thread::hardware_concurrency();
    return h > 0 ? static_cast<int>(h) : 1;
}

void advise_huge_pages(void *p, std::size_t n)
{
#if defined(MADV_HUGEPAGE)
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);  // advice only
#else
    (void)p;
    (void)n;
#endif
}

#endif

bool still_same_file(const std::string &path, const zeb_file_id &id)
{
    const FileStatus s = status_of(path.c_str(), true);
    return s.kind != Kind::missing && s.id.dev == id.dev && s.id.ino == id.ino && s.id.size == id.size &&
           s.id.mtime_ns == id.mtime_ns;
}

int64_t read_at(int fd, void *dst, int64_t n, int64_t at, int *err)
{
    auto *p = static_cast<uint8_t *>(dst);
    int64_t got = 0;
    while (got < n) {
        int64_t r = read_some_at(fd, p + got, n - got, at + got, err);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += r;
    }
    return got;
}

int write_at(int fd, const void *src, int64_t n, int64_t at)
{
    auto *p = static_cast<const uint8_t *>(src);
    for (int64_t done = 0; done < n;) {
        int err = 0;
        int64_t w = write_some_at(fd, p + done, n - done, at + done, &err);
        if (w < 0)
            return err;
        if (w == 0)
            return EIO;
        done += w;
    }
    return 0;
}

int write_at_and_sync(int fd, const void *src, int64_t n, int64_t at)
{
    const int err = write_at(fd, src, n, at);
    return err ? err : sync_data(fd);
}

int write_all(int fd, const void *src, int64_t n)
{
    auto *q = static_cast<const uint8_t *>(src);
    while (n > 0) {
        int err = 0;
        int64_t w = write_some(fd, q, n, &err);
        if (w < 0)
            return err;
        if (w == 0)
            return EIO;
        q += w;
        n -= w;
    }
    return 0;
}

// The codec's threaded coders count processors and advise their buffers
// through these.
namespace {
[[maybe_unused]] const bool hooks_installed = [] {
    zeb::detail::install_system_hooks(&core_count, &advise_huge_pages);
    return true;
}();
}  // namespace

}  // namespace zeb::os
