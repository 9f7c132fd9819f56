// The operating-system side of replacing files (see os_files.h).
#include "os_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

namespace zeb {

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

void take_over_owner_and_mode(int fd, const struct stat &old)
{
    // Owner first: a change of owner clears the set-user-ID bits that the
    // mode then puts back.  Where the owner cannot be given (not root), the
    // group may still be.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    (void)::fchmod(fd, old.st_mode & 07777);
}

zeb_file_id file_id_of(const struct stat &st)
{
#if defined(__APPLE__)
    const struct timespec &m = st.st_mtimespec;
#else
    const struct timespec &m = st.st_mtim;
#endif
    return zeb_file_id{int64_t(st.st_dev), int64_t(st.st_ino), int64_t(st.st_size),
                       int64_t(m.tv_sec) * 1000000000 + m.tv_nsec};
}

bool still_same_file(const std::string &path, const zeb_file_id &id)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    const zeb_file_id now = file_id_of(st);
    return now.dev == id.dev && now.ino == id.ino && now.size == id.size && now.mtime_ns == id.mtime_ns;
}

int64_t read_at(int fd, void *dst, int64_t n, int64_t at)
{
    constexpr int64_t kPiece = int64_t(1) << 30;
    auto *p = static_cast<uint8_t *>(dst);
    int64_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, p + got, size_t(n - got < kPiece ? n - got : kPiece), off_t(at + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += r;
    }
    return got;
}

int write_at_and_sync(int fd, const void *src, int64_t n, int64_t at)
{
    auto *p = static_cast<const uint8_t *>(src);
    for (int64_t done = 0; done < n;) {
        ssize_t w = ::pwrite(fd, p + done, size_t(n - done), off_t(at + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? errno : EIO;
        done += w;
    }
#if defined(__APPLE__)
    return ::fsync(fd) != 0 ? errno : 0;
#else
    return ::fdatasync(fd) != 0 ? errno : 0;
#endif
}

}  // namespace zeb
