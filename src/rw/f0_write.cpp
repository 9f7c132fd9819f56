// Writing F0 files: raw, or crunch-compressed with a fall-back to raw; in
// place or atomically through a temporary file.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>
#include <memory>
#include <string>

#include "crc32c.h"
#include "f0_internal.h"
#include "platform.h"
#include "record.h"
#include "f0_write_internal.h"

namespace zeb::writer {

// The bytes of a file: the first header block, the further header blocks
// (the record) and the data.
struct Contents {
    const f0_header &h;
    const void *data;
    int64_t n;
    const uint8_t *record = nullptr;
    int64_t record_size = 0;
};

int32_t bad_argument(zeb_report *report, int32_t reason)
{
    add_event(report, ZEB_EV_W_BAD_ARGUMENT, ZEB_E_BAD_ARGUMENT, reason);
    return ZEB_E_BAD_ARGUMENT;
}

// Refuses what an F0 file cannot hold.  Returns a negative status with an
// event, or ZEB_OK with count and raw_size filled in.
int32_t check_request(Request &r, zeb_report *report)
{
    int reason = -1;
    if (r.dim_count > F0_MAX_DIMS)
        reason = kTooManyDims;
    for (int32_t i = 0; reason < 0 && i < r.dim_count; ++i)
        if (r.dims[i] < 0)
            reason = kNegativeDim;
    if (reason < 0 && zeb_element_size(r.type) == 0)
        reason = kUnknownType;
    if (reason < 0) {
        r.count = r.dim_count > 0 ? zeb::element_count(r.dims, r.dim_count) : 1;
        if (r.count > F0_MAX_DATA_SIZE / zeb_element_size(r.type))
            reason = kTooLarge;
        else
            r.raw_size = r.count * zeb_element_size(r.type);
    }
    if (reason < 0 && r.text_len >= F0_HEADER_TEXT_SIZE)
        reason = kTextTooLong;
    return reason < 0 ? ZEB_OK : bad_argument(report, reason);
}

void build_header(const Request &r, uint8_t flags, int32_t data_size, f0_header *h)
{
    std::memset(h, 0, sizeof *h);
    h->synch_pattern = F0_SYNCH;
    h->file_flags = flags;
    h->header_blocks = 1;
    h->datyp = static_cast<uint8_t>(r.type);
    h->dim_count = static_cast<uint8_t>(r.dim_count);
    h->data_size = data_size;
    for (int32_t i = 0; i < r.dim_count; ++i)
        h->dims[i] = r.dims[i];
    if (r.header_text) {
        size_t n = r.text_len >= 0 ? size_t(r.text_len) : strnlen(r.header_text, F0_HEADER_TEXT_SIZE - 1);
        std::memcpy(h->header_text, r.header_text, n);
    }
}

int fail_with(zeb_report *report, int32_t code, int32_t status, int err, int32_t *error_number)
{
    *error_number = err;
    add_event(report, code, status, err);
    return status;
}

// Reserves the file's blocks, then writes the header and the data to fd.
// Reserving first spares the file system a delayed allocation (and, on ext4,
// a flush at close after truncation): several times faster for large files.
// A full disk shows up there already.
int32_t write_contents(int fd, const Contents &c, zeb_report *report, int32_t *error_number,
                       bool reserve = true)
{
    const int64_t head = int64_t(sizeof c.h) + c.record_size;
    if (reserve && zeb::os::preallocate(fd, head + c.n) == ENOSPC)
        return fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, ENOSPC, error_number);
    // The header blocks in one write.
    uint8_t blocks[F0_HEADER_SIZE * F0_MAX_HEADER_BLOCKS];
    std::memcpy(blocks, &c.h, sizeof c.h);
    if (c.record_size > 0)
        std::memcpy(blocks + sizeof c.h, c.record, size_t(c.record_size));
    int err = zeb::os::write_all(fd, blocks, head);
    if (!err && c.n > 0)
        err = zeb::os::write_all(fd, c.data, c.n);
    return err ? fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number) : ZEB_OK;
}

// Creates or truncates the file; -1 with an event and errno on failure.
int open_in_place(const char *file_name, zeb_report *report, int32_t *error_number)
{
    int err = 0;
    int fd = zeb::os::open_write(file_name, false, &err);
    if (fd < 0)
        fail_with(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, err, error_number);
    return fd;
}

int32_t close_file(int fd, int32_t status, zeb_report *report, int32_t *error_number)
{
    int err = zeb::os::close(fd);
    if (err && status == ZEB_OK)
        status = fail_with(report, ZEB_EV_W_CLOSE, ZEB_E_CLOSE, err, error_number);
    return status;
}

// Writes the file where it stands: create or truncate, write, close.
int32_t write_in_place(const char *file_name, const Contents &c, zeb_report *report, int32_t *error_number)
{
    int fd = open_in_place(file_name, report, error_number);
    if (fd < 0)
        return ZEB_E_OPEN;
    return close_file(fd, write_contents(fd, c, report, error_number), report, error_number);
}

// Writes through a descriptor this process already has open (standard
// output, say), at its offset, and leaves it open; a file behind it is
// synced.
int32_t write_to_descriptor(int fd, const Contents &c, zeb_report *report, int32_t *error_number)
{
    int32_t status = write_contents(fd, c, report, error_number, false);
    int err = 0;
    if (status == ZEB_OK && zeb::os::status_of(fd).kind == zeb::os::Kind::regular && (err = zeb::os::sync(fd)) != 0)
        status = fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number);
    return status;
}

// Twelve hexadecimal digits that differ from call to call and process to process.
std::string random_tag()
{
    static std::atomic<uint64_t> counter{0};
    uint64_t v = 0;
    if (!zeb::os::random64(&v)) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        v = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) * 1000000007u ^
            (zeb::os::process_id() << 40);
    }
    v ^= counter.fetch_add(0x9E3779B97F4A7C15ull);
    char tag[17];
    std::snprintf(tag, sizeof tag, "%012llx", static_cast<unsigned long long>(v & 0xFFFFFFFFFFFFull));
    return tag;
}

namespace {

// The base name of target, cut at a character boundary (so that it stays
// valid UTF-8) to at most room bytes, and the directory part before it.
void split_name(const std::string &target, size_t room, std::string *prefix, std::string *base)
{
    size_t slash = zeb::os::last_separator(target);
    *base = slash == std::string::npos ? target : target.substr(slash + 1);
    *prefix = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    if (base->size() > room) {
        size_t cut = room;
        while (cut > 0 && (static_cast<uint8_t>((*base)[cut]) & 0xC0) == 0x80)
            --cut;
        base->resize(cut);
    }
}

}  // namespace

std::string lock_name(const std::string &target)
{
    std::string prefix, base;
    split_name(target, 255 - 1 - 5, &prefix, &base);  // within the 255 bytes of a directory entry
    return prefix + "." + base + ".lock";
}

// Creates the temporary file for target; ZEB_OK, or ZEB_E_OPEN with an event.
// It is readable by its owner alone until finish_temporary gives it the
// permissions of the file it replaces.
int32_t open_temporary(const std::string &target, TempFile *t, zeb_report *report, int32_t *error_number)
{
    size_t slash = zeb::os::last_separator(target);
    t->target = target;
    t->dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash ? slash : 1);
    std::string prefix, base;
    split_name(target, 255 - 1 - 1 - 12 - 4, &prefix, &base);  // within the 255 bytes of a directory entry
    int err = 0;
    t->fd = -1;
    for (int attempt = 0; attempt < 100 && t->fd < 0; ++attempt) {
        t->tmp = prefix + "." + base + "." + random_tag() + ".tmp";
        t->fd = zeb::os::open_private(t->tmp.c_str(), &err);
        if (t->fd < 0 && err != EEXIST)
            break;
    }
    return t->fd < 0 ? fail_with(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, err, error_number) : ZEB_OK;
}

// Completes a temporary file whose bytes are written (status ZEB_OK) or
// abandons it (any other status): fsync, close, rename over the target,
// then fsync the directory so that the rename itself is on disk.  Any
// failure removes the temporary file and leaves the target as it was.  The
// check of expect and the rename happen under the target's lock file, so
// that of two writers replacing the same file with the same expect only the
// first succeeds, and a replacement by another writer never falls between a
// check and the rename it allows.
int32_t finish_temporary(TempFile &t, int32_t status, const zeb_file_id *expect, zeb_report *report,
                         int32_t *error_number)
{
    int err = 0;
    // The replacement keeps the permissions, owner and group of the file it replaces.
    if (status == ZEB_OK)
        zeb::os::take_over_owner_and_mode(t.fd, t.target.c_str());
    if (status == ZEB_OK && t.durable && (err = zeb::os::sync(t.fd)) != 0)
        status = fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number);
    status = close_file(t.fd, status, report, error_number);
    t.fd = -1;
    zeb::os::LockFile lock;
    if (status == ZEB_OK && (err = zeb::os::acquire_lock_file(lock_name(t.target), &lock)) != 0)
        status = fail_with(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, err, error_number);
    if (status == ZEB_OK && expect && !zeb::os::still_same_file(t.target, *expect)) {
        add_event(report, ZEB_EV_CHANGED, ZEB_E_CHANGED);
        status = ZEB_E_CHANGED;
    }
    // A target that cannot be replaced fails as opening it in place would.
    if (status == ZEB_OK && (err = zeb::os::replace(t.tmp.c_str(), t.target.c_str())) != 0)
        status = fail_with(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, err, error_number);
    zeb::os::release_lock_file(lock);
    if (status != ZEB_OK) {
        zeb::os::remove_file(t.tmp.c_str());
        return status;
    }
    if (t.durable)
        zeb::os::sync_directory(t.dir);  // best effort: the file is in place whatever this says
    return ZEB_OK;
}

// Writes through a temporary file: reserve, write, then finish_temporary.
int32_t write_atomic(const std::string &target, const Contents &c, const zeb_file_id *expect, zeb_report *report,
                     int32_t *error_number, bool durable = true)
{
    TempFile t;
    if (open_temporary(target, &t, report, error_number) != ZEB_OK)
        return ZEB_E_OPEN;
    t.durable = durable;
    return finish_temporary(t, write_contents(t.fd, c, report, error_number), expect, report, error_number);
}

int32_t replace_keeping_time(const char *file_name, const zeb_payload &p, int64_t mtime_ns, zeb_report *report,
                             int32_t *error_number)
{
    std::string target;
    if (!atomic_target(file_name, ZEB_WRITE_ATOMIC, &target))
        return fail_with(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, EINVAL, error_number);
    TempFile t;
    if (open_temporary(target, &t, report, error_number) != ZEB_OK)
        return ZEB_E_OPEN;
    Contents c{p.header, p.data, p.size, p.record, p.record_size};
    int32_t status = write_contents(t.fd, c, report, error_number);
    int err = 0;
    if (status == ZEB_OK && (err = zeb::os::set_modification_time(t.fd, mtime_ns)) != 0)
        status = fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number);
    return finish_temporary(t, status, &p.expect, report, error_number);
}

// Where a write with these flags goes through a temporary file: true with
// the file to be replaced in *target (a symbolic link stays; the file it
// leads to is replaced).  False for what is written in place: writes without
// ZEB_WRITE_ATOMIC, whatever lies under /proc, and under /dev what is no
// plain file (even a link that leads nowhere), devices and pipes anywhere,
// and directories (which fail).
bool atomic_target(const char *file_name, int32_t flags, std::string *target)
{
    if (!(flags & ZEB_WRITE_ATOMIC) || zeb::os::in_place_only(file_name))
        return false;
    using zeb::os::Kind;
    const Kind kind = zeb::os::status_of(file_name, true).kind;
    if (kind == Kind::directory || kind == Kind::other)
        return false;
    *target = file_name;
    if (zeb::os::status_of(file_name, false).kind == Kind::link) {
        std::string real = zeb::os::resolve_links(file_name);
        if (!real.empty())
            *target = real;
    }
    return true;
}

// The shared write routine of every writer.
int32_t write_file(const char *file_name, const Contents &c, int32_t flags, const zeb_file_id *expect,
                   zeb_report *report, int32_t *error_number)
{
    std::string target;
    if (atomic_target(file_name, flags, &target))
        return write_atomic(target, c, expect, report, error_number, !(flags & ZEB_WRITE_NO_SYNC));
    // Devices and pipes are written to, not replaced; a directory cannot be
    // replaced by a file.
    if ((flags & ZEB_WRITE_ATOMIC) && !zeb::os::in_place_only(file_name) &&
        zeb::os::status_of(file_name, true).kind == zeb::os::Kind::directory)
        return fail_with(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, EISDIR, error_number);
    return write_in_place(file_name, c, report, error_number);
}

int32_t write_raw(const Request &r, zeb_report *report, int32_t *error_number)
{
    f0_header h;
    build_header(r, 0, static_cast<int32_t>(r.raw_size), &h);
    return write_file(r.file_name, Contents{h, r.data, r.raw_size}, 0, nullptr, report, error_number);
}

// The crunch stream type that stores each compressible F0 type.
int32_t stream_type_of(int32_t type)
{
    switch (type) {
    case F0_INT8: return ZEB_CT_CRUNCH8;
    case F0_INT16: return ZEB_CT_CRUNCH16;
    case F0_INT32:
    case F0_FLOAT32: return ZEB_CT_CRUNCH32;
    default: return -1;
    }
}

int32_t write_compressed(const Request &r, int32_t slice, zeb_report *report, int32_t *error_number)
{
    int32_t ct = stream_type_of(r.type);
    if (ct < 0) {
        // Leaves an empty file behind, as it always has; the caller learns of it.
        int fd = open_in_place(r.file_name, report, error_number);
        if (fd < 0)
            return ZEB_E_OPEN;
        zeb::os::close(fd);
        add_event(report, ZEB_EV_W_UNSUPPORTED, ZEB_E_BAD_ARGUMENT, r.type);
        return ZEB_E_BAD_ARGUMENT;
    }
    // Blocks are rows along the first dimension; without one there is
    // nothing to cut into blocks, so the data go raw.
    if (r.dim_count < 1 || r.dims[0] == 0)
        return write_raw(r, report, error_number);
    int32_t block_size = r.dims[0];
    int32_t nblocks = static_cast<int32_t>(r.count / block_size);

    // One and a half times the raw size, as a stream size must fit in 32 bits.
    int64_t limit64 = r.raw_size + r.raw_size / 2;
    int32_t limit = static_cast<int32_t>(limit64 < F0_MAX_DATA_SIZE ? limit64 : F0_MAX_DATA_SIZE);
    std::unique_ptr<uint8_t, decltype(&std::free)> stream(static_cast<uint8_t *>(zeb::alloc_buffer(limit)),
                                                          &std::free);
    if (!stream) {
        add_event(report, ZEB_EV_W_NO_MEMORY, ZEB_OK, limit);
        return write_raw(r, report, error_number);
    }
    int32_t n = zeb_encode(ct, stream.get(), r.data, slice, block_size, nblocks, limit, 0);
    if (n < 0) {
        if (zeb_event *e = add_event(report, ZEB_EV_W_ENCODE, n, ct, limit))
            e->decode.slice = slice;
        if (n == ZEB_E_NO_ROOM || n == ZEB_E_LIMIT_TOO_SMALL)
            add_event(report, ZEB_EV_W_NO_ROOM, ZEB_OK, limit);
        return write_raw(r, report, error_number);
    }
    if (n > r.raw_size) {
        add_event(report, ZEB_EV_W_LARGER, ZEB_OK, n, r.raw_size);
        return write_raw(r, report, error_number);
    }
    f0_header h;
    build_header(r, F0_FLAG_COMPRESSED, n, &h);
    return write_file(r.file_name, Contents{h, stream.get(), n}, 0, nullptr, report, error_number);
}

// Whether the plain coder of the type takes the slice (the coder's own
// answer, from an empty stream).
bool slice_accepted(int32_t ct, int32_t slice)
{
    uint8_t probe[64];
    return zeb_encode(ct, probe, nullptr, slice, 1, 0, sizeof probe, 0) != ZEB_E_BAD_SLICE;
}

// Raw bytes of array data per seek index entry: a piece of this size
// decodes in well under a millisecond, and a 16 MiB frame gets 256 entries.
constexpr int64_t kIndexSpacing = int64_t(64) << 10;

// A seek index to be filled while the layout is coded, or null where the
// stream gets none (too small, one block, or no memory: the index is an aid,
// never a reason to fail).
zeb::SeekIndex *new_index(const Request &r, const zeb_stream_choice &c)
{
    const int64_t entries = std::min({zeb::kIndexMaxEntries, r.raw_size / kIndexSpacing, int64_t(c.nblocks) - 1});
    if (entries < 1)
        return nullptr;
    auto *ix = new (std::nothrow) zeb::SeekIndex;
    if (ix) {
        ix->every = (int64_t(c.nblocks) + entries) / (entries + 1);  // (nblocks - 1) / every <= entries
        ix->count = (int64_t(c.nblocks) - 1) / ix->every;
    }
    return ix;
}

// Encodes the layout into a new stream of fewer than raw_size bytes, with
// the places of its blocks in *index where one is wanted.  Returns the
// stream size, 0 when no such stream exists (the data go raw), or a negative
// status.
int32_t encode_smaller(const Request &r, const zeb_stream_choice &c, int32_t threads, uint8_t **out,
                       zeb::SeekIndex **index, zeb_report *report)
{
    int32_t limit = static_cast<int32_t>(r.raw_size);
    if (limit <= ZEB_COMPRESS_HEADER_SIZE)
        return 0;
    auto *stream = static_cast<uint8_t *>(zeb::alloc_buffer(limit));
    if (!stream) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, limit);
        return ZEB_E_NO_MEMORY;
    }
    std::unique_ptr<zeb::SeekIndex> ix(index ? new_index(r, c) : nullptr);
    int32_t n = zeb_encode_indexed(c.compression_type, stream, r.data, c.slice, c.block_size, c.nblocks, limit,
                                   threads, ix ? int32_t(ix->every) : 0, ix ? ix->offsets : nullptr);
    if (n < 0 || n >= r.raw_size) {
        std::free(stream);
        if (n == ZEB_E_NO_ROOM || n == ZEB_E_LIMIT_TOO_SMALL || n >= 0)
            return 0;
        if (zeb_event *e = add_event(report, ZEB_EV_W_ENCODE, n, c.compression_type, limit))
            e->decode.slice = c.slice;
        return n;
    }
    if (void *shrunk = std::realloc(stream, static_cast<size_t>(n)))  // give back the unused room
        stream = static_cast<uint8_t *>(shrunk);
    *out = stream;
    if (index)
        *index = ix.release();
    return n;
}

// The seek index of a payload thinned to at most `room` entries: every
// f-th entry, with f as small as will do (none when room is 0).
void thin_index(const zeb::SeekIndex &from, int64_t room, zeb::SeekIndex *to)
{
    to->count = 0;
    if (room < 1)
        return;
    int64_t f = 1;
    while (from.count / f > room)
        ++f;
    to->every = from.every * f;
    to->count = from.count / f;
    for (int64_t j = 0; j < to->count; ++j)
        to->offsets[j] = from.offsets[(j + 1) * f - 1];
}

// What zeb_prepare decides before coding: the raw payload in *out, the
// checked request in *r and, where a stream is to be coded, its layout in
// *c with *encode set.  Returns ZEB_OK or zeb_prepare's failure status.
int32_t plan_payload(const void *data, int32_t type, const int32_t *dims, int32_t dim_count,
                     const char *header_text, int32_t text_len, int32_t mode, int32_t threads, zeb_payload *out,
                     Request *req, zeb_stream_choice *choice, bool *encode, zeb_report *report)
{
    *encode = false;
    if (!out)
        return bad_argument(report, kMissingArgument);
    std::memset(out, 0, sizeof *out);
    Request r{data, nullptr, dims, dim_count < 0 ? 0 : dim_count, header_text, type};
    r.text_len = text_len;
    if ((r.dim_count > 0 && !dims) || text_len < 0 || (text_len > 0 && !header_text))
        return bad_argument(report, kMissingArgument);
    if (mode < ZEB_COMPRESS_AUTO)
        return bad_argument(report, kBadMode);
    int32_t status = check_request(r, report);
    if (status != ZEB_OK)
        return status;
    if (!data && r.raw_size > 0)
        return bad_argument(report, kMissingArgument);
    *req = r;

    build_header(r, 0, static_cast<int32_t>(r.raw_size), &out->header);
    out->data = data;
    out->size = r.raw_size;
    const int32_t ct = stream_type_of(type);
    if (mode == ZEB_COMPRESS_RAW || ct < 0)
        return ZEB_OK;
    if (mode >= 0 && !slice_accepted(ct, mode)) {
        if (zeb_event *e = add_event(report, ZEB_EV_W_ENCODE, ZEB_E_BAD_SLICE, ct, r.raw_size))
            e->decode.slice = mode;
        return ZEB_E_BAD_SLICE;
    }
    // Blocks are rows along the first dimension: no rows, no stream.
    if (r.dim_count < 1 || r.count == 0)
        return ZEB_OK;

    zeb_stream_choice c{ct, mode, r.dims[0], static_cast<int32_t>(r.count / r.dims[0]), -1};
    if (mode == ZEB_COMPRESS_AUTO) {
        status = zeb_choose_stream(zeb_compression_width(ct), data, r.count, r.dims[0], threads, &c);
        if (status == ZEB_E_NO_MEMORY) {
            add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, r.raw_size);
            return status;
        }
        if (status != ZEB_OK)
            return ZEB_OK;  // no layout to code: raw
        if (c.stream_size >= r.raw_size)
            return ZEB_OK;  // the chosen size is exact: no stream is smaller than raw
    }
    *choice = c;
    *encode = true;
    return ZEB_OK;
}

// Makes the planned payload compressed: its stream coded in memory (or
// left raw where no stream is smaller).
int32_t encode_payload(const Request &r, const zeb_stream_choice &c, int32_t threads, zeb_payload *out,
                       zeb_report *report)
{
    uint8_t *stream = nullptr;
    zeb::SeekIndex *index = nullptr;
    int32_t n = encode_smaller(r, c, threads, &stream, &index, report);
    if (n <= 0)
        return n;  // ZEB_OK: raw
    build_header(r, F0_FLAG_COMPRESSED, n, &out->header);
    out->seek_index = index;
    out->stream = stream;
    out->data = stream;
    out->size = n;
    return ZEB_OK;
}

// The checks of zeb_payload_add_record, and the record's contents but for
// its checksums and index.
int32_t record_contents(const zeb_payload *payload, int32_t dtype, const uint8_t *metadata, int64_t metadata_len,
                        zeb::RecordContents *c, zeb_report *report, const uint8_t *sections, int64_t sections_len)
{
    if (!payload || metadata_len < -1 || (metadata_len > 0 && !metadata) ||
        (payload->size > 0 && !payload->data) || sections_len < 0 || (sections_len > 0 && !sections))
        return bad_argument(report, kMissingArgument);
    if (sections_len > ZEB_RECORD_MAX_BYTES || !zeb::kept_sections_sound(sections, sections_len))
        return bad_argument(report, kBadSections);
    c->sections = sections;
    c->sections_len = sections_len;
    if (payload->record || payload->header.header_blocks > 1)
        return bad_argument(report, kHasRecord);
    if (dtype != ZEB_DTYPE_STORED && zeb_dtype_stored_type(dtype) != payload->header.datyp)
        return bad_argument(report, kBadDtype);
    c->dtype = dtype;
    c->metadata = metadata;
    c->metadata_len = metadata_len;
    if (metadata_len > ZEB_RECORD_MAX_BYTES || zeb::record_length(*c) > ZEB_RECORD_MAX_BYTES) {
        add_event(report, ZEB_EV_W_METADATA_TOO_LARGE, ZEB_E_METADATA_TOO_LARGE, metadata_len,
                  zeb_record_metadata_max(dtype) - sections_len);
        return ZEB_E_METADATA_TOO_LARGE;
    }
    return ZEB_OK;
}

namespace {

// Bytes of the header blocks a record of c takes: whole blocks.
int64_t record_bytes(const zeb::RecordContents &c)
{
    return (zeb::record_length(c) + F0_HEADER_SIZE - 1) / F0_HEADER_SIZE * F0_HEADER_SIZE;
}

}  // namespace

// Bytes of the header blocks of a record of c with the index `from` as
// attach_record thins it (none: null).
int64_t record_blocks_size(zeb::RecordContents c, const zeb::SeekIndex *from)
{
    zeb::SeekIndex thinned;
    if (from) {
        thin_index(*from, zeb::index_room(c), &thinned);
        c.index = &thinned;
    }
    return record_bytes(c);
}

// Builds the record of c, with the data CRC given, the index `from`
// thinned to the room left, and the payload's header and size, into the
// payload.  On failure the payload is unchanged.
int32_t attach_record(zeb_payload *payload, zeb::RecordContents c, const zeb::SeekIndex *from, uint32_t data_crc,
                      zeb_report *report)
{
    std::unique_ptr<zeb::SeekIndex> index;
    if (from) {
        index.reset(new (std::nothrow) zeb::SeekIndex);
        if (index) {
            thin_index(*from, zeb::index_room(c), index.get());
            c.index = index.get();
        }
    }
    const int64_t size = record_bytes(c);
    auto *record = static_cast<uint8_t *>(std::malloc(size_t(size)));
    if (!record) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, size);
        return ZEB_E_NO_MEMORY;
    }
    f0_header h = payload->header;
    h.header_blocks = static_cast<uint8_t>(1 + size / F0_HEADER_SIZE);
    c.header_crc = zeb::crc32c(0, &h, sizeof h);
    c.data_crc = data_crc;
    c.data_length = payload->size;
    zeb::build_record(c, record, size);
    payload->header = h;
    payload->record = record;
    payload->record_size = size;
    return ZEB_OK;
}

}  // namespace zeb::writer

namespace {

int32_t classic_write(const void *data, const char *file_name, const int32_t *dims, int32_t dim_count,
                      const char *header_text, int32_t type, int32_t compress, int32_t slice)
{
    zeb_report report{};
    report.prefix = compress ? "zeb_fcwrite" : "zeb_fzwrite";
    int32_t status = zeb_write(data, file_name, dims, dim_count, header_text, type, compress, slice,
                               &report, nullptr);
    zeb_report_print(&report, file_name);
    return status == ZEB_OK ? 0 : -1;
}

}  // namespace

using namespace zeb::writer;

extern "C" {

ZEB_API int32_t zeb_write(const void *data, const char *file_name, const int32_t *dims, int32_t dim_count,
                          const char *header_text, int32_t type, int32_t compress, int32_t slice,
                          zeb_report *report, int32_t *error_number)
{
    int32_t ignored = 0;
    if (!error_number)
        error_number = &ignored;
    *error_number = 0;
    Request r{data, file_name, dims, dim_count < 0 ? 0 : dim_count, header_text, type};
    if (!file_name || (r.dim_count > 0 && !dims)) {
        return bad_argument(report, kMissingArgument);
    }
    if (compress && stream_type_of(type) < 0)
        return write_compressed(r, slice, report, error_number);  // unsupported type: empty file
    int32_t status = check_request(r, report);
    if (status != ZEB_OK)
        return status;
    return compress ? write_compressed(r, slice, report, error_number) : write_raw(r, report, error_number);
}

ZEB_API int32_t zeb_prepare(const void *data, int32_t type, const int32_t *dims, int32_t dim_count,
                            const char *header_text, int32_t text_len, int32_t mode, int32_t threads,
                            zeb_payload *out, zeb_report *report)
{
    Request r{};
    zeb_stream_choice c{};
    bool encode = false;
    int32_t status = plan_payload(data, type, dims, dim_count, header_text, text_len, mode, threads, out, &r, &c,
                                  &encode, report);
    return status == ZEB_OK && encode ? encode_payload(r, c, threads, out, report) : status;
}

ZEB_API int32_t zeb_payload_add_record(zeb_payload *payload, int32_t dtype, const uint8_t *metadata,
                                       int64_t metadata_len, zeb_report *report)
{
    return zeb_payload_add_record_ex(payload, dtype, metadata, metadata_len, nullptr, 0, report);
}

ZEB_API int32_t zeb_payload_add_record_ex(zeb_payload *payload, int32_t dtype, const uint8_t *metadata,
                                          int64_t metadata_len, const uint8_t *sections, int64_t sections_len,
                                          zeb_report *report)
{
    zeb::RecordContents c;
    int32_t status = record_contents(payload, dtype, metadata, metadata_len, &c, report, sections, sections_len);
    if (status != ZEB_OK)
        return status;
    const uint32_t data_crc = zeb::crc32c(0, payload->data, size_t(payload->size));
    return attach_record(payload, c, static_cast<const zeb::SeekIndex *>(payload->seek_index), data_crc, report);
}

ZEB_API void zeb_payload_free(zeb_payload *payload)
{
    if (!payload)
        return;
    std::free(payload->stream);
    std::free(payload->record);
    delete static_cast<zeb::SeekIndex *>(payload->seek_index);
    payload->seek_index = nullptr;
    payload->stream = nullptr;
    payload->record = nullptr;
    payload->record_size = 0;
    payload->data = nullptr;
    payload->size = 0;
}

ZEB_API int32_t zeb_write_payload(const char *file_name, const zeb_payload *payload, int32_t flags,
                                  zeb_report *report, int32_t *error_number)
{
    int32_t ignored = 0;
    if (!error_number)
        error_number = &ignored;
    *error_number = 0;
    if (!file_name || !payload || payload->size < 0 || (payload->size > 0 && !payload->data) ||
        payload->record_size < 0 || payload->record_size > ZEB_RECORD_MAX_BYTES ||
        (payload->record_size > 0 && !payload->record))
        return bad_argument(report, kMissingArgument);
    Contents c{payload->header, payload->data, payload->size, payload->record, payload->record_size};
    // A descriptor of this process (/dev/stdout, /dev/fd/N) is written
    // through, at its offset: replacing or truncating the file behind it
    // would lose what the process wrote there before.
    int own = zeb::os::descriptor_named(file_name);
    if (own >= 0)
        return write_to_descriptor(own, c, report, error_number);
    const zeb_file_id *expect = flags & ZEB_WRITE_IF_UNCHANGED ? &payload->expect : nullptr;
    return write_file(file_name, c, flags, expect, report, error_number);
}

ZEB_API int32_t zeb_fzwrite(const void *data, const char *file_name, const int32_t *dims, int32_t dim_count,
                            const char *header_text, int32_t type)
{
    return classic_write(data, file_name, dims, dim_count, header_text, type, 0, 0);
}

ZEB_API int32_t zeb_fcwrite(const void *data, const char *file_name, const int32_t *dims, int32_t dim_count,
                            const char *header_text, int32_t type, int32_t slice)
{
    return classic_write(data, file_name, dims, dim_count, header_text, type, 1, slice);
}

}  // extern "C"
