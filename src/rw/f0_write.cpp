// Writing F0 files: raw, or crunch-compressed with a fall-back to raw.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "f0_internal.h"

namespace {

using zeb::add_event;

// What the writers are given, checked once.
struct Request {
    const void *data;
    const char *file_name;
    const int32_t *dims;
    int32_t dim_count;
    const char *header_text;
    int32_t type;
    int64_t count = 0;     // elements
    int64_t raw_size = 0;  // bytes of raw data
};

// Refuses what an F0 file cannot hold.  Returns a negative status with an
// event, or ZEB_OK with count and raw_size filled in.
int32_t check_request(Request &r, zeb_report *report)
{
    int reason = 0;
    if (r.dim_count > F0_MAX_DIMS)
        reason = 1;
    for (int32_t i = 0; !reason && i < r.dim_count; ++i)
        if (r.dims[i] < 0)
            reason = 2;
    if (!reason && zeb_element_size(r.type) == 0)
        reason = 4;
    if (!reason) {
        r.count = r.dim_count > 0 ? zeb::element_count(r.dims, r.dim_count) : 1;
        if (r.count > F0_MAX_DATA_SIZE / zeb_element_size(r.type))
            reason = 3;
        else
            r.raw_size = r.count * zeb_element_size(r.type);
    }
    if (reason) {
        add_event(report, ZEB_EV_W_BAD_ARGUMENT, ZEB_E_BAD_ARGUMENT, reason);
        return ZEB_E_BAD_ARGUMENT;
    }
    return ZEB_OK;
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
    if (r.header_text)
        std::memcpy(h->header_text, r.header_text, strnlen(r.header_text, F0_HEADER_TEXT_SIZE - 1));
}

// Creates or truncates the file; null with an event and errno on failure.
FILE *open_for_writing(const Request &r, zeb_report *report, int32_t *error_number)
{
    FILE *f = fopen(r.file_name, "wb");
    if (!f) {
        *error_number = errno;
        add_event(report, ZEB_EV_W_OPEN, ZEB_E_OPEN, errno);
    }
    return f;
}

// Opens, writes the header and the payload, closes; every failure is an
// event with the system's reason.
int32_t write_file(const Request &r, const f0_header &h, const void *payload, int64_t n,
                   zeb_report *report, int32_t *error_number)
{
    FILE *f = open_for_writing(r, report, error_number);
    if (!f)
        return ZEB_E_OPEN;
    int32_t status = ZEB_OK;
#ifdef FALLOC_FL_KEEP_SIZE
    // Reserving the blocks first spares the file system a delayed allocation
    // (and, on ext4, a flush at close after truncation): several times faster
    // for large files.  A full disk shows up here already.
    if (fallocate(fileno(f), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(sizeof h + n)) != 0 && errno == ENOSPC) {
        *error_number = ENOSPC;
        add_event(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, ENOSPC);
        fclose(f);
        return ZEB_E_WRITE;
    }
#endif
    errno = 0;
    if (fwrite(&h, 1, sizeof h, f) != sizeof h ||
        (n > 0 && fwrite(payload, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n)) || fflush(f) != 0) {
        *error_number = errno ? errno : EIO;
        add_event(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, *error_number);
        status = ZEB_E_WRITE;
    }
    errno = 0;
    if (fclose(f) != 0 && status == ZEB_OK) {
        *error_number = errno ? errno : EIO;
        add_event(report, ZEB_EV_W_CLOSE, ZEB_E_CLOSE, *error_number);
        status = ZEB_E_CLOSE;
    }
    return status;
}

int32_t write_raw(const Request &r, zeb_report *report, int32_t *error_number)
{
    f0_header h;
    build_header(r, 0, static_cast<int32_t>(r.raw_size), &h);
    return write_file(r, h, r.data, r.raw_size, report, error_number);
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
        FILE *f = open_for_writing(r, report, error_number);
        if (!f)
            return ZEB_E_OPEN;
        fclose(f);
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
    return write_file(r, h, stream.get(), n, report, error_number);
}

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
        add_event(report, ZEB_EV_W_BAD_ARGUMENT, ZEB_E_BAD_ARGUMENT, 0);
        return ZEB_E_BAD_ARGUMENT;
    }
    if (compress && stream_type_of(type) < 0)
        return write_compressed(r, slice, report, error_number);  // unsupported type: empty file
    int32_t status = check_request(r, report);
    if (status != ZEB_OK)
        return status;
    return compress ? write_compressed(r, slice, report, error_number) : write_raw(r, report, error_number);
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
