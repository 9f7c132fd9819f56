// Reading whole F0 files: the header, then raw or crunch-compressed data.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "f0_internal.h"

namespace {

using zeb::add_event;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

// Checks the header values the data layout depends on and computes the
// element count.  Returns a negative status when the file must be refused.
int32_t check_layout(const f0_header &h, int64_t *count, zeb_report *report)
{
    if (h.dim_count > F0_MAX_DIMS) {
        add_event(report, ZEB_EV_DIM_COUNT, ZEB_E_DIM_COUNT, h.dim_count);
        return ZEB_E_DIM_COUNT;
    }
    for (int i = 0; i < h.dim_count; ++i) {
        if (h.dims[i] < 0) {
            add_event(report, ZEB_EV_NEGATIVE_DIM, ZEB_E_NEGATIVE_DIM, h.dims[i]);
            return ZEB_E_NEGATIVE_DIM;
        }
    }
    *count = zeb::element_count(h.dims, h.dim_count);
    int64_t size = zeb_element_size(h.datyp);
    if (size > 0 && *count > F0_MAX_DATA_SIZE / size) {
        // The count saturates (see element_count): say "more than" then.
        add_event(report, ZEB_EV_TOO_LARGE, ZEB_E_TOO_LARGE, *count * size, *count >= zeb::kElementCountCap);
        return ZEB_E_TOO_LARGE;
    }
    return ZEB_OK;
}

// Keeps the first problem of a call as its status.
void note(int32_t *status, int32_t s)
{
    if (*status == ZEB_OK)
        *status = s;
}

// Reads the raw data that follow the header into img->data (already
// allocated, zero-filled, data_size bytes) and swaps them where needed.
int32_t read_raw(zeb::Source &src, zeb_image *img, bool swap, zeb_report *report)
{
    int32_t status = ZEB_OK;
    int64_t got = src.read(img->data, img->data_size);
    src.done();
    if (got < img->data_size) {
        add_event(report, ZEB_EV_TRUNCATED, ZEB_E_TRUNCATED, got, img->data_size);
        note(&status, ZEB_E_TRUNCATED);
    }
    if (swap) {
        int width = zeb_element_size(img->type);
        zeb::swap_elements(img->data, img->data_size / width, width);
    }
    return status;
}

// Reads the compressed stream that follows the header and decodes it into
// img->data (already allocated, zero-filled, for count elements).
int32_t read_compressed(zeb::Source &src, zeb_image *img, int64_t count, bool strict,
                        zeb_report *report)
{
    int32_t status = ZEB_OK;
    uint8_t raw_header[ZEB_COMPRESS_HEADER_SIZE];
    compress_header ch;
    if (zeb_parse_compress_header(raw_header, src.read(raw_header, sizeof raw_header), &ch) != ZEB_OK) {
        add_event(report, ZEB_EV_SHORT_COMPRESS_HEADER, ZEB_E_SHORT_COMPRESS_HEADER);
        return ZEB_E_SHORT_COMPRESS_HEADER;
    }
    if (ch.stream_size < ZEB_COMPRESS_HEADER_SIZE) {
        add_event(report, ZEB_EV_BAD_STREAM_SIZE, ZEB_E_BAD_STREAM_SIZE, ch.stream_size);
        return ZEB_E_BAD_STREAM_SIZE;
    }

    // The body.  Never allocate more than the file can still deliver, so that
    // a short file claiming a huge stream costs nothing.
    int64_t claimed = int64_t(ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE;
    int64_t left = src.remaining();
    int64_t want = (left >= 0 && left < claimed) ? left : claimed;
    if (strict && want < claimed) {
        add_event(report, ZEB_EV_SHORT_BODY, ZEB_E_SHORT_BODY, want, claimed);
        return ZEB_E_SHORT_BODY;
    }
    Buffer body(static_cast<uint8_t *>(zeb::alloc_buffer(want)));
    if (!body) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, want);
        return ZEB_E_NO_MEMORY;
    }
    int64_t got = src.read(body.get(), want);
    src.done();
    if (got < claimed) {
        add_event(report, ZEB_EV_SHORT_BODY, ZEB_E_SHORT_BODY, got, claimed);
        note(&status, ZEB_E_SHORT_BODY);
        if (strict)
            return status;
    }

    // More blocks than the array holds: keep the decoder inside the array.
    int32_t nblocks = ch.nblocks;
    if (int64_t(ch.nblocks) * ch.block_size > count && ch.block_size != 0) {
        int32_t corrected = static_cast<int32_t>(count / ch.block_size);
        add_event(report, ZEB_EV_NBLOCKS, ZEB_OK, ch.nblocks, corrected);
        nblocks = corrected;
    }
    if (img->type == (ch.compression_type & 1))
        add_event(report, ZEB_EV_INCONSISTENT, ZEB_OK);

    int32_t width = zeb_compression_width(ch.compression_type);
    if (width == 0) {
        add_event(report, ZEB_EV_UNKNOWN_COMPRESSION, ZEB_E_UNKNOWN_COMPRESSION, img->type,
                  ch.compression_type);
        note(&status, ZEB_E_UNKNOWN_COMPRESSION);
        return status;
    }
    if (width != zeb_element_size(img->type)) {
        add_event(report, ZEB_EV_WIDTH_MISMATCH, ZEB_E_WIDTH_MISMATCH, width * 8, img->type);
        note(&status, ZEB_E_WIDTH_MISMATCH);
        return status;
    }
    zeb_decode_info info;
    int32_t st = zeb_decode(ch.compression_type, body.get(), got, img->data, count, ch.slice,
                            ch.block_size, nblocks, &info);
    if (st != ZEB_OK) {
        if (zeb_event *e = add_event(report, ZEB_EV_DECODE, st))
            e->decode = info;
        note(&status, st);
    } else if (info.elements < count) {
        add_event(report, ZEB_EV_INCOMPLETE, ZEB_E_INCOMPLETE, info.elements, count);
        note(&status, ZEB_E_INCOMPLETE);
    }
    return status;
}

// Everything after the file has been opened.
int32_t read_image(zeb::Source &src, zeb_image *img, zeb_report *report, int32_t flags)
{
    const bool strict = flags & ZEB_READ_STRICT;
    f0_header h;
    int32_t reversed = zeb::read_header(src, &h, 0, report);
    if (reversed < 0) {
        add_event(report, ZEB_EV_HEADER_REFUSED, reversed);
        return reversed;
    }
    int64_t count = 0;
    int32_t status = check_layout(h, &count, report);
    if (status != ZEB_OK)
        return status;

    img->dim_count = h.dim_count;
    std::memcpy(img->dims, h.dims, sizeof(int32_t) * h.dim_count);
    img->type = h.datyp;
    img->compressed = h.file_flags & F0_FLAG_COMPRESSED;
    img->reversed = reversed;
    std::memcpy(img->header_text, h.header_text, F0_HEADER_TEXT_SIZE);
    img->header_text[F0_HEADER_TEXT_SIZE] = '\0';

    int32_t size = zeb_element_size(h.datyp);
    if (size == 0) {
        // No element size: hand the type back with an empty buffer.
        add_event(report, ZEB_EV_UNKNOWN_TYPE, ZEB_E_UNKNOWN_TYPE, h.datyp);
        if (!strict && !(img->data = zeb::alloc_buffer(0))) {
            add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, 1);
            return ZEB_E_NO_MEMORY;
        }
        img->header_ok = 1;
        return ZEB_E_UNKNOWN_TYPE;
    }

    // A strict read refuses, before allocating, a file too short to hold its
    // data: raw data byte for byte, or a stream that could not produce that
    // many elements (no code takes less than 1 bit, no run segment less than
    // 3 bytes for 129 elements).
    int64_t data_size = count * size;
    int64_t left = src.remaining();
    if (strict && left >= 0) {
        bool raw_short = !img->compressed && left < data_size;
        bool stream_short = img->compressed && count > 64 * left + 64;
        if (raw_short || stream_short) {
            img->header_ok = 1;
            add_event(report, raw_short ? ZEB_EV_TRUNCATED : ZEB_EV_SHORT_BODY,
                      raw_short ? ZEB_E_TRUNCATED : ZEB_E_SHORT_BODY, left, data_size);
            return raw_short ? ZEB_E_TRUNCATED : ZEB_E_SHORT_BODY;
        }
    }
    img->data = zeb::alloc_buffer(data_size);
    if (!img->data) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, data_size);
        return ZEB_E_NO_MEMORY;
    }
    img->data_size = data_size;
    img->header_ok = 1;

    bool swap = ((h.file_flags & F0_FLAG_SWAPPED) != 0) != (reversed != 0);
    if (img->compressed)
        return read_compressed(src, img, count, strict, report);
    return read_raw(src, img, swap, report);
}

int32_t finish(zeb_image *img, int32_t status, int32_t flags)
{
    if (status != ZEB_OK && (flags & ZEB_READ_STRICT)) {
        std::free(img->data);
        img->data = nullptr;
    }
    return status;
}

// The file-opening steps shared by zeb_read and zeb_fzhead.
FILE *open_for_reading(const char *file_name, zeb_report *report, int32_t *status)
{
    struct stat st;
    if (!file_name || stat(file_name, &st) != 0) {
        add_event(report, ZEB_EV_NOT_FOUND, ZEB_E_NOT_FOUND);
        *status = ZEB_E_NOT_FOUND;
        return nullptr;
    }
    FILE *f = fopen(file_name, "rb");
    if (!f) {
        add_event(report, ZEB_EV_OPEN, ZEB_E_OPEN, errno);
        *status = ZEB_E_OPEN;
    }
    return f;
}

// Hands a buffer to a C caller: a malloc'd copy of n bytes.
void *dup_bytes(const void *src, size_t n)
{
    void *p = std::malloc(n ? n : 1);
    if (p && n)
        std::memcpy(p, src, n);
    return p;
}

}  // namespace

extern "C" {

ZEB_API int32_t zeb_read(const char *file_name, zeb_image *image, zeb_report *report, int32_t flags)
{
    std::memset(image, 0, sizeof *image);
    int32_t status = ZEB_OK;
    FILE *f = open_for_reading(file_name, report, &status);
    if (!f)
        return status;
    zeb::FileSource src(f);
    status = read_image(src, image, report, flags);
    return finish(image, status, flags);
}

ZEB_API int32_t zeb_read_memory(const uint8_t *bytes, int64_t length, zeb_image *image,
                                zeb_report *report, int32_t flags)
{
    std::memset(image, 0, sizeof *image);
    zeb::MemorySource src(bytes, length);
    return finish(image, read_image(src, image, report, flags), flags);
}

ZEB_API void *zeb_fzread(const char *file_name, int32_t **dims_out, int32_t *dim_count_out,
                         char **header_out, int32_t *type_out, int32_t *size_out)
{
    zeb_report report{};
    report.prefix = "zeb_fzread";
    zeb_image img;
    zeb_read(file_name, &img, &report, 0);
    zeb_report_print(&report, file_name);
    if (!img.header_ok)
        return nullptr;
    char *text = static_cast<char *>(dup_bytes(img.header_text, std::strlen(img.header_text) + 1));
    int32_t *dims = static_cast<int32_t *>(dup_bytes(img.dims, sizeof(int32_t) * img.dim_count));
    if (!text || !dims) {
        std::free(text);
        std::free(dims);
        std::free(img.data);
        fprintf(stderr, "zeb_fzread: error: out of memory reading file \"%s\"!\n", file_name);
        return nullptr;
    }
    *header_out = text;
    *dim_count_out = img.dim_count;
    *dims_out = dims;
    *type_out = img.type;
    *size_out = static_cast<int32_t>(img.data_size);
    return img.data;
}

ZEB_API char *zeb_fzhead(const char *file_name)
{
    zeb_report report{};
    report.prefix = "zeb_fzhead";
    int32_t status = ZEB_OK;
    FILE *f = open_for_reading(file_name, &report, &status);
    char *text = nullptr;
    if (f) {
        zeb::FileSource src(f);
        f0_header h;
        if (zeb::read_header(src, &h, 0, &report) >= 0) {
            size_t n = strnlen(h.header_text, F0_HEADER_TEXT_SIZE);
            if ((text = static_cast<char *>(std::malloc(n + 1)))) {
                std::memcpy(text, h.header_text, n);
                text[n] = '\0';
            }
        }
    }
    zeb_report_print(&report, file_name);
    return text;
}

}  // extern "C"
