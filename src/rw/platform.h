// What the file layer needs from the operating system, behind one small set
// of calls that are the same on Linux, macOS and Windows.
//
// Files are plain C runtime descriptors (int), opened in binary mode and not
// inherited by child processes.  Paths are UTF-8 everywhere; on Windows they
// are turned into UTF-16 for the wide calls, so that every name works, not
// only those of the ANSI code page.  Sizes and offsets are 64-bit.  Failures
// return an errno value (Windows errors are mapped onto the nearest one).
#ifndef ZEB_PLATFORM_H
#define ZEB_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "zebrw.h"

namespace zeb::os {

// Opens an existing file for reading; returns the descriptor, or -1 with
// *err set.
int open_read(const char *path, int *err);

// Opens a file for writing: created or truncated, or with exclusive set
// created only where no file of that name exists (EEXIST otherwise).  A new
// file gets the usual permissions (0666 less the umask).  Returns the
// descriptor, or -1 with *err set.
int open_write(const char *path, bool exclusive, int *err);

// Creates a new file only where no file of that name exists (EEXIST
// otherwise), readable and writable by its owner alone whatever the umask
// (on Windows: an access list that grants the owner alone), so that no one
// else can open it while it is being written.  Returns the descriptor, or -1
// with *err set.
int open_private(const char *path, int *err);

// Opens an existing file for reading and writing; returns the descriptor,
// or -1 with *err set.
int open_read_write(const char *path, int *err);

// Reads up to n bytes (at most 1 GiB at a time), again after interruptions;
// returns the number read (0 at the end), or -1 with *err set.
int64_t read_some(int fd, void *dst, int64_t n, int *err);

// Writes all n bytes, in pieces, through partial writes and interruptions.
// Returns 0 or the errno of the failure.
int write_all(int fd, const void *src, int64_t n);

// Moves the read position n bytes on; false when the file cannot seek.
bool skip_ahead(int fd, int64_t n);

// Flushes the file's data to the storage device (not just to the drive's
// cache where the system can tell the two apart).  Returns 0 or an errno.
int sync(int fd);

// Closes the descriptor; returns 0 or an errno (EINTR counts as closed).
int close(int fd);

// Reserves room for n bytes without changing the file's size, where the file
// system can.  Returns ENOSPC when the disk is full, 0 otherwise (a file
// system that cannot reserve is no failure).
int preallocate(int fd, int64_t n);

enum class Kind { missing, regular, directory, link, other };

struct FileStatus {
    Kind kind = Kind::missing;
    int64_t size = -1;  // regular files only
    int err = 0;        // why kind is missing
    // Device, file number, size and time of last modification in
    // nanoseconds, as Python's os.stat gives them (Windows: the volume's
    // serial number and the file index).
    zeb_file_id id{};
    int64_t links = 1;  // names of the file (hard links)
};

// The status of the file a path names (a symbolic link itself where
// follow_links is false), or of an open descriptor.
FileStatus status_of(const char *path, bool follow_links);
FileStatus status_of(int fd);

// Whether the file at path is still the one described by id.
bool still_same_file(const std::string &path, const zeb_file_id &id);

// Reads the stretch [at, at + n) of the file on fd into dst, across partial
// reads and interruptions, without moving the descriptor's offset (on
// Windows it does move).  Returns the bytes read (fewer at the end of the
// file) or -1 with *err set.
int64_t read_at(int fd, void *dst, int64_t n, int64_t at, int *err);

// Writes all n bytes at offset at of the file on fd, through partial writes
// and interruptions, without moving the descriptor's offset (on Windows it
// does move).  Returns 0 or the errno of the failure.
int write_at(int fd, const void *src, int64_t n, int64_t at);

// The same, then syncs the file's data to disk.
int write_at_and_sync(int fd, const void *src, int64_t n, int64_t at);

// Asks the system to start writing the stretch [at, at + n) of the file to
// the device without waiting for it, so that a later sync has less left to
// wait for (Linux; elsewhere nothing).
void start_writeback(int fd, int64_t at, int64_t n);

// The descriptor of this process that a path names (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N and what they resolve to), or -1 (always on
// Windows).
int descriptor_named(const char *path);

// Whether a path must be written in place rather than replaced: anything
// under /proc, and anything under /dev that is not a plain file (devices,
// and links such as /dev/stdout that lead to a file of this process); on
// Windows the device namespace (\\.\NAME).
bool in_place_only(const char *path);

// Gives the new file on fd, created by open_private, the owner, group and
// permission bits of the regular file at old_path, which it will replace (as
// far as this process may: the owner only for root), or where there is none
// the permissions a new file gets (0666 less the umask).  On Windows the
// file's access list becomes the one its directory gives a new file.
void take_over_owner_and_mode(int fd, const char *old_path);

// Sets the file's time of last modification (nanoseconds since 1970),
// leaving its time of last access.  Returns 0 or an errno.
int set_modification_time(int fd, int64_t mtime_ns);

// Takes an exclusive lock on the open file, waiting until no other process
// or descriptor holds one (flock on POSIX systems; on Windows LockFileEx on
// a byte far beyond any data, so that reads and writes are not blocked).
// Returns 0 or an errno.  Advisory: it excludes only those who take it too.
int lock_exclusive(int fd);
void unlock(int fd);

// A lock file: a file beside another that is never renamed, whose lock
// stands for the right to replace or rewrite that other file.
struct LockFile {
    int fd = -1;
    std::string path;
};

// Creates (or opens) the lock file at path and takes its exclusive lock,
// waiting for it; where another holder removed the file meanwhile, the new
// one at path is locked instead, so that two holders never hold different
// files.  Returns 0 or an errno.
int acquire_lock_file(const std::string &path, LockFile *out);

// Gives the lock up: the file is removed while still locked, then closed
// (on Windows it goes as its last handle closes).
void release_lock_file(LockFile &lock);

// The byte position of a C stream, or -1.
int64_t tell(std::FILE *f);

// The descriptor under a C stream, or -1.
int descriptor_of(std::FILE *f);

// The absolute path of the file a symbolic link finally leads to; empty when
// it cannot be had.
std::string resolve_links(const char *path);

// Renames from over to, replacing an existing file in one step; returns 0 or
// an errno.
int replace(const char *from, const char *to);

// Removes a file; best effort.
void remove_file(const char *path);

// Makes a rename within the directory durable, where the system syncs
// directories; best effort.
void sync_directory(const std::string &dir);

// Where the last directory separator of a path is (std::string::npos where
// there is none): '/' everywhere, also '\' and a drive's ':' on Windows.
std::size_t last_separator(const std::string &path);

// 64 random bits from the system's generator, or false where it has none
// to give.
bool random64(uint64_t *out);

// The process id, or 0.
uint64_t process_id();

// Processors this process may run on: its affinity mask on Linux, every
// processor group on Windows, the system's count elsewhere; at least 1.
int core_count();

// Advises the system to back a large buffer with huge pages (no effect
// where it has no such advice).
void advise_huge_pages(void *p, std::size_t n);

}  // namespace zeb::os

#endif
