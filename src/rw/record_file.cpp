// Keeping the header record of existing files: marking data changed in
// place, and adding or renewing checksums without re-encoding the data.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "crc32c.h"
#include "f0_internal.h"
#include "platform.h"
#include "record.h"
#include "f0_write_internal.h"

namespace {

using zeb::add_event;

int32_t os_failure(zeb_report *report, int32_t code, int32_t status, int err, int32_t *error_number)
{
    *error_number = err;
    add_event(report, code, status, err);
    return status;
}

// Bytes read from the start of a file to parse its headers: every header
// block and the stream header.
constexpr int64_t kHeadBytes = int64_t(F0_HEADER_SIZE) * F0_MAX_HEADER_BLOCKS + ZEB_COMPRESS_HEADER_SIZE;

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            zeb::os::close(fd);
    }
};

// A file's headers and record, parsed without verification from the bytes
// at its start.
struct Parsed {
    zeb_info info{};
    zeb_record_info rec{};
    uint8_t head[kHeadBytes];
    int64_t head_len = 0;
};

int32_t parse_head(int fd, Parsed &p, zeb_report *report, int32_t *error_number)
{
    int err = 0;
    p.head_len = zeb::os::read_at(fd, p.head, kHeadBytes, 0, &err);
    if (p.head_len < 0)
        return os_failure(report, ZEB_EV_OPEN, ZEB_E_OPEN, err, error_number);
    return zeb_open_memory_ex(p.head, p.head_len, ZEB_OPEN_NO_VERIFY, nullptr, &p.info, &p.rec, report);
}

// Whether the stored checksums hold: 0 when they do, else the status.
int32_t check_stored(const Parsed &p, const uint8_t *data, zeb_report *report)
{
    uint32_t header_crc = zeb::crc32c(0, p.head, F0_HEADER_SIZE);
    if (header_crc != p.rec.header_crc) {
        add_event(report, ZEB_EV_CHECKSUM, ZEB_E_CHECKSUM, ZEB_CRC_PART_HEADER,
                  int64_t(uint64_t(p.rec.header_crc) << 32 | header_crc));
        return ZEB_E_CHECKSUM;
    }
    if (p.rec.data_unchecked)
        return ZEB_OK;
    uint32_t data_crc = zeb::crc32c(0, data, size_t(p.info.data_size));
    if (p.rec.data_length != p.info.data_size || data_crc != p.rec.data_crc) {
        add_event(report, ZEB_EV_CHECKSUM, ZEB_E_CHECKSUM, ZEB_CRC_PART_DATA,
                  int64_t(uint64_t(p.rec.data_crc) << 32 | data_crc));
        return ZEB_E_CHECKSUM;
    }
    return ZEB_OK;
}

// Reads the new file from memory, verifying it as any reader would, so that
// only a sound file replaces the old one (a compressed stream is decoded).
int32_t self_check(const uint8_t *image, int64_t length, int64_t nbytes, zeb_report *report)
{
    zeb_reader *reader = nullptr;
    int32_t status = zeb_open_memory_ex(image, length, 0, &reader, nullptr, nullptr, report);
    if (status != ZEB_OK)
        return status;
    void *scratch = zeb::alloc_buffer(nbytes);
    if (!scratch) {
        zeb_close(reader);
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, nbytes);
        return ZEB_E_NO_MEMORY;
    }
    status = zeb_read_data(reader, scratch, nbytes, report);
    std::free(scratch);
    zeb_close(reader);
    return status;
}

// Holds the lock of an open file for as long as it lives.
struct FdLock {
    int fd = -1;
    ~FdLock()
    {
        if (fd >= 0)
            zeb::os::unlock(fd);
    }
};

// Rewrites the record blocks of the file at file_name in place with those of
// payload (as many blocks as the file has), if the file is still the one
// parsed into p with identity id: under the file's lock file, which
// replacements hold too, and the lock of the file itself, which marking it
// changed in place holds.  The modification time is kept.  Returns ZEB_OK,
// ZEB_E_CHANGED, ZEB_E_WRITE; or 1 where the file cannot be opened for
// writing here (the caller replaces it instead).
int32_t renew_in_place(const char *file_name, const Parsed &p, const zeb_file_id &id, const zeb_payload &payload,
                       zeb_report *report, int32_t *error_number)
{
    int err = 0;
    FdCloser rw{zeb::os::open_read_write(file_name, &err)};
    if (rw.fd < 0)
        return 1;
    std::string target;
    if (!zeb::writer::atomic_target(file_name, ZEB_WRITE_ATOMIC, &target))
        return 1;
    zeb::os::LockFile lock;
    err = zeb::os::acquire_lock_file(zeb::writer::lock_name(target), &lock);
    // Where no lock file can be made beside it, no one can rename a file
    // there either: the file's own lock suffices.
    if (err && err != EACCES && err != EPERM && err != EROFS)
        return os_failure(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, err, error_number);
    struct Release {
        zeb::os::LockFile &l;
        ~Release() { zeb::os::release_lock_file(l); }
    } release{lock};
    FdLock held;
    if ((err = zeb::os::lock_exclusive(rw.fd)) != 0)
        return os_failure(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, err, error_number);
    held.fd = rw.fd;
    const int64_t head = int64_t(F0_HEADER_SIZE) * p.info.header_blocks;
    uint8_t now[F0_HEADER_SIZE * F0_MAX_HEADER_BLOCKS];
    const zeb_file_id got = zeb::os::status_of(rw.fd).id;
    const bool same = got.dev == id.dev && got.ino == id.ino && got.size == id.size && got.mtime_ns == id.mtime_ns &&
                      zeb::os::still_same_file(file_name, id) && zeb::os::read_at(rw.fd, now, head, 0, &err) == head &&
                      std::memcmp(now, p.head, size_t(head)) == 0;
    if (!same) {
        add_event(report, ZEB_EV_CHANGED, ZEB_E_CHANGED);
        return ZEB_E_CHANGED;
    }
    if ((err = zeb::os::write_at_and_sync(rw.fd, payload.record, payload.record_size, F0_HEADER_SIZE)) != 0)
        return os_failure(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number);
    (void)zeb::os::set_modification_time(rw.fd, id.mtime_ns);  // the data are as they were
    return ZEB_OK;
}

}  // namespace

extern "C" {

ZEB_API int32_t zeb_mark_unchecked(int fd, zeb_report *report, int32_t *error_number)
{
    int32_t ignored = 0;
    if (!error_number)
        error_number = &ignored;
    *error_number = 0;
    std::unique_ptr<Parsed> p(new (std::nothrow) Parsed);
    if (!p) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(Parsed)));
        return ZEB_E_NO_MEMORY;
    }
    // Under the file's lock, which a renewal of its checksums in place holds
    // too: the mark is never lost under a renewal that read the file before.
    FdLock held;
    if (int err = zeb::os::lock_exclusive(fd))
        return os_failure(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number);
    held.fd = fd;
    int32_t status = parse_head(fd, *p, report, error_number);
    if (status != ZEB_OK)
        return status;
    if (p->rec.state == ZEB_RECORD_DAMAGED) {
        add_event(report, ZEB_EV_RECORD_DAMAGED, ZEB_E_RECORD, ZEB_RECORD_FAULT_CRC);
        return ZEB_E_RECORD;
    }
    if (p->rec.state != ZEB_RECORD_OK || !p->rec.checksum || p->rec.data_unchecked)
        return ZEB_OK;
    uint8_t *rec = p->head + F0_HEADER_SIZE;
    const int64_t length = p->rec.record_length;
    const int64_t at = zeb::checksums_offset(rec, length);
    if (at < 0) {
        add_event(report, ZEB_EV_RECORD_DAMAGED, ZEB_E_RECORD, ZEB_RECORD_FAULT_LAYOUT);
        return ZEB_E_RECORD;
    }
    uint32_t flags;
    std::memcpy(&flags, rec + at, sizeof flags);
    flags |= zeb::kDataUnchecked;
    std::memcpy(rec + at, &flags, sizeof flags);
    uint32_t crc = zeb::record_crc(rec, length);
    std::memcpy(rec + zeb::kRecordCrcAt, &crc, sizeof crc);
    // The CRC lies in the record's first block, the flag in the block of the
    // checksums section, which may lie further in: every block up to the end
    // of that section is rewritten.
    const int64_t end = at + zeb::kChecksumsSize;
    const int64_t n = (end + F0_HEADER_SIZE - 1) / F0_HEADER_SIZE * F0_HEADER_SIZE;
    if (int err = zeb::os::write_at_and_sync(fd, rec, n, F0_HEADER_SIZE))
        return os_failure(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number);
    return ZEB_OK;
}

ZEB_API int32_t zeb_checksum_file(const char *file_name, int32_t flags, int32_t *action, zeb_report *report,
                                  int32_t *error_number)
{
    int32_t ignored = 0, ignored_action = 0;
    if (!error_number)
        error_number = &ignored;
    if (!action)
        action = &ignored_action;
    *error_number = 0;
    *action = ZEB_CHECKSUM_KEPT;
    if (!file_name) {
        add_event(report, ZEB_EV_W_BAD_ARGUMENT, ZEB_E_BAD_ARGUMENT, 0);
        return ZEB_E_BAD_ARGUMENT;
    }
    int err = 0;
    FdCloser f{zeb::os::open_read(file_name, &err)};
    const zeb::os::FileStatus st = f.fd >= 0 ? zeb::os::status_of(f.fd) : zeb::os::FileStatus{};
    if (f.fd < 0 || st.kind == zeb::os::Kind::missing) {
        err = f.fd < 0 ? err : st.err;
        int32_t code = err == ENOENT ? ZEB_EV_NOT_FOUND : ZEB_EV_OPEN;
        return os_failure(report, code, err == ENOENT ? ZEB_E_NOT_FOUND : ZEB_E_OPEN, err, error_number);
    }
    if (st.kind != zeb::os::Kind::regular)
        return os_failure(report, ZEB_EV_OPEN, ZEB_E_OPEN, st.kind == zeb::os::Kind::directory ? EISDIR : EINVAL,
                          error_number);

    std::unique_ptr<Parsed> p(new (std::nothrow) Parsed);
    if (!p) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(Parsed)));
        return ZEB_E_NO_MEMORY;
    }
    int32_t status = parse_head(f.fd, *p, report, error_number);
    if (status != ZEB_OK)
        return status;
    const zeb_info &info = p->info;
    const zeb_record_info &rec = p->rec;
    if (rec.state == ZEB_RECORD_DAMAGED) {
        add_event(report, ZEB_EV_RECORD_DAMAGED, ZEB_E_RECORD, ZEB_RECORD_FAULT_CRC);
        return ZEB_E_RECORD;
    }
    if (rec.state == ZEB_RECORD_OK && rec.version > ZEB_RECORD_VERSION) {
        add_event(report, ZEB_EV_NEWER_RECORD, ZEB_E_NEWER_RECORD, rec.version);
        return ZEB_E_NEWER_RECORD;
    }
    if (rec.state == ZEB_RECORD_NONE && info.header_blocks > 1 && !(flags & ZEB_CHECKSUM_DROP_BLOCKS)) {
        add_event(report, ZEB_EV_FOREIGN_BLOCKS, ZEB_E_FOREIGN_BLOCKS, info.header_blocks);
        return ZEB_E_FOREIGN_BLOCKS;
    }
    const int64_t end = info.data_offset + info.data_size;
    if (st.size > end && !(flags & ZEB_CHECKSUM_DROP_TRAILING)) {
        add_event(report, ZEB_EV_TRAILING_BYTES, ZEB_E_TRAILING_BYTES, st.size - end);
        return ZEB_E_TRAILING_BYTES;
    }

    // The new file in one buffer: room for the largest header, then the
    // data as stored, read once.
    constexpr int64_t kRoom = int64_t(F0_HEADER_SIZE) * F0_MAX_HEADER_BLOCKS;
    std::unique_ptr<uint8_t, decltype(&std::free)> image(
        static_cast<uint8_t *>(zeb::alloc_buffer(kRoom + info.data_size)), &std::free);
    if (!image) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, kRoom + info.data_size);
        return ZEB_E_NO_MEMORY;
    }
    uint8_t *data = image.get() + kRoom;
    int64_t got = zeb::os::read_at(f.fd, data, info.data_size, info.data_offset, &err);
    if (got < 0)
        return os_failure(report, ZEB_EV_OPEN, ZEB_E_OPEN, err, error_number);
    if (got < info.data_size) {
        bool raw = !info.compressed;
        add_event(report, raw ? ZEB_EV_TRUNCATED : ZEB_EV_SHORT_BODY, raw ? ZEB_E_TRUNCATED : ZEB_E_SHORT_BODY,
                  got, info.data_size);
        return raw ? ZEB_E_TRUNCATED : ZEB_E_SHORT_BODY;
    }
    const bool had = rec.state == ZEB_RECORD_OK && rec.checksum;
    if (had && (status = check_stored(*p, data, report)) != ZEB_OK)
        return status;
    if (had && !rec.data_unchecked && st.size == end)
        return ZEB_OK;  // already sound and verified

    const bool keep = rec.state == ZEB_RECORD_OK;
    // A compressed file keeps its seek index, unless the index does not
    // match the stream (the new file is read back before it replaces the old).
    std::unique_ptr<zeb::SeekIndex> index(keep && info.compressed ? new (std::nothrow) zeb::SeekIndex : nullptr);
    if (index) {
        zeb_record_info again;
        int32_t fault = 0;
        zeb::parse_record(p->head + F0_HEADER_SIZE, int64_t(F0_HEADER_SIZE) * (info.header_blocks - 1), &again,
                          &fault, index.get());
        if (index->count == 0)
            index.reset();
    }
    zeb_payload payload{};
    uint8_t *start = nullptr;
    for (;;) {
        std::memcpy(&payload.header, p->head, F0_HEADER_SIZE);
        payload.header.header_blocks = 1;
        payload.data = data;
        payload.size = info.data_size;
        payload.seek_index = index.release();  // the payload's own from here on
        // the kept sections too: a quantized file must stay restorable
        status = zeb_payload_add_record_ex(&payload, keep ? rec.dtype : ZEB_DTYPE_STORED, rec.metadata,
                                           keep && rec.has_metadata ? rec.metadata_size : -1, rec.sections,
                                           keep ? rec.sections_size : 0, report);
        if (status != ZEB_OK) {
            zeb_payload_free(&payload);
            return status;
        }
        start = data - F0_HEADER_SIZE - payload.record_size;
        std::memcpy(start, &payload.header, F0_HEADER_SIZE);
        std::memcpy(start + F0_HEADER_SIZE, payload.record, size_t(payload.record_size));
        zeb_report found{};
        status = self_check(start, data + info.data_size - start, info.nbytes, &found);
        if (status != ZEB_E_BAD_INDEX || !payload.seek_index) {
            for (int32_t i = 0; i < found.count && i < ZEB_REPORT_MAX; ++i)
                if (zeb_event *e = add_event(report, 0, 0))
                    *e = found.events[i];
            break;
        }
        zeb_payload_free(&payload);  // the old index is wrong: the new record goes without it
        payload = zeb_payload{};
    }
    bool replaced = false;
    if (status == ZEB_OK && keep && st.size == end && payload.header.header_blocks == info.header_blocks) {
        // The new record fits the blocks the file has: they alone are
        // rewritten, in place, so that maps of the file stay valid and its
        // other names (hard links) see the same file.
        status = renew_in_place(file_name, *p, st.id, payload, report, error_number);
        replaced = status == 1;
    } else if (status == ZEB_OK) {
        replaced = true;
    }
    if (replaced && st.links > 1 && !(flags & ZEB_CHECKSUM_BREAK_LINKS)) {
        // A replacement would give this name a file of its own, the others
        // keeping the old one: left alone.
        zeb_payload_free(&payload);
        *action = ZEB_CHECKSUM_LINKED;
        return ZEB_OK;
    }
    if (replaced) {
        // Everything is read: closed before the replacement, which Windows
        // refuses over a file that is open.
        zeb::os::close(f.fd);
        f.fd = -1;
        payload.expect = st.id;
        status = zeb::writer::replace_keeping_time(file_name, payload, st.id.mtime_ns, report, error_number);
    }
    zeb_payload_free(&payload);
    if (status == ZEB_OK)
        *action = had ? ZEB_CHECKSUM_RENEWED : ZEB_CHECKSUM_ADDED;
    return status;
}

}  // extern "C"
