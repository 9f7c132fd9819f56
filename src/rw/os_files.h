// The operating-system side of replacing files: which paths must be written
// where they stand, and what a replacement takes over from the file it
// replaces.  POSIX (with Linux's /proc); kept here so that other systems
// need only this file changed.
#ifndef ZEB_OS_FILES_H
#define ZEB_OS_FILES_H

#include <sys/stat.h>

#include <string>

#include "zebrw.h"

namespace zeb {

// The descriptor of this process that a path names (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N and what they resolve to), or -1.
int descriptor_named(const char *file_name);

// Whether a path must be written in place rather than replaced: anything
// under /proc, and anything under /dev that is not a plain file (devices,
// and links such as /dev/stdout that lead to a file of this process).
bool in_place_only(const char *file_name);

// Gives the new file on fd the owner, group and permission bits of the file
// it will replace (as far as this process may: the owner only for root).
void take_over_owner_and_mode(int fd, const struct stat &old);

// The identity of a file from its status (device, inode, size, time of
// last modification in nanoseconds), as Python's os.stat gives them.
zeb_file_id file_id_of(const struct stat &st);

// Whether the file at path is still the one described by id.
bool still_same_file(const std::string &path, const zeb_file_id &id);

// Reads the stretch [at, at + n) of the file on fd into dst, across partial
// reads and interruptions, without moving the descriptor's offset.  Returns
// the bytes read (fewer at the end of the file) or -1 with errno.
int64_t read_at(int fd, void *dst, int64_t n, int64_t at);

// Writes n bytes at offset at of the file on fd and syncs its data to disk.
// Returns 0 or the errno of the failure.
int write_at_and_sync(int fd, const void *src, int64_t n, int64_t at);

}  // namespace zeb

#endif
