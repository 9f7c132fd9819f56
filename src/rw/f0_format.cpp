// The F0 header: element sizes, the header check and byte swapping.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../codec/byteswap.h"
#include "f0_internal.h"
#include "platform.h"

namespace {

// Bytes per element, indexed by F0 type code.
constexpr int32_t kElementSize[F0_TYPE_COUNT] = {1, 2, 4, 4, 8, 8};

static_assert(sizeof(f0_header) == F0_HEADER_SIZE, "f0_header must be 512 bytes");
static_assert(offsetof(f0_header, data_size) == 10 && offsetof(f0_header, dims) == 192 &&
              offsetof(f0_header, header_text) == 256, "f0_header layout");

template <typename U>
void swap_all(void *values, int64_t count)
{
    auto *p = static_cast<unsigned char *>(values);
    for (int64_t i = 0; i < count; ++i, p += sizeof(U)) {
        U v;
        std::memcpy(&v, p, sizeof v);
        v = zeb::byteswap(v);
        std::memcpy(p, &v, sizeof v);
    }
}

}  // namespace

namespace zeb {

FileSource::FileSource(FILE *f) : f_(f)
{
    if (f)
        size_ = os::status_of(os::descriptor_of(f)).size;
}

int64_t FileSource::read(void *dst, int64_t n)
{
    if (!f_ || n <= 0)
        return 0;
    return static_cast<int64_t>(fread(dst, 1, static_cast<size_t>(n), f_));
}

int64_t FileSource::remaining() const
{
    if (!f_ || size_ < 0)
        return -1;
    int64_t pos = os::tell(f_);
    return pos < 0 ? -1 : (size_ > pos ? size_ - pos : 0);
}

void FileSource::close()
{
    if (f_)
        fclose(f_);
    f_ = nullptr;
}

int64_t Source::skip(int64_t n)
{
    uint8_t scratch[4096];
    int64_t done = 0;
    while (done < n) {
        int64_t want = n - done < int64_t(sizeof scratch) ? n - done : int64_t(sizeof scratch);
        int64_t got = read(scratch, want);
        done += got;
        if (got < want)
            break;
    }
    return done;
}

FdSource::FdSource(int fd) : fd_(fd)
{
    if (fd >= 0)
        size_ = os::status_of(fd).size;
}

void FdSource::close()
{
    if (fd_ >= 0)
        os::close(fd_);
    fd_ = -1;
}

// Reads into dst (room for n bytes) until at least at_least bytes arrived or
// the file ends; a read error counts as the end.
int64_t FdSource::read_fd(uint8_t *dst, int64_t n, int64_t at_least)
{
    int64_t got = 0;
    while (fd_ >= 0 && got < at_least) {
        int err = 0;
        int64_t r = os::read_some(fd_, dst + got, n - got, &err);
        if (r <= 0)
            break;
        got += r;
    }
    return got;
}

int64_t FdSource::read(void *dst, int64_t n)
{
    if (n <= 0)
        return 0;
    auto *out = static_cast<uint8_t *>(dst);
    int64_t got = ahead_end_ - ahead_pos_ < n ? ahead_end_ - ahead_pos_ : n;
    std::memcpy(out, ahead_ + ahead_pos_, static_cast<size_t>(got));
    ahead_pos_ += got;
    if (got < n) {
        if (n - got < kAhead) {
            ahead_pos_ = 0;
            ahead_end_ = read_fd(ahead_, kAhead, n - got);
            int64_t k = ahead_end_ < n - got ? ahead_end_ : n - got;
            std::memcpy(out + got, ahead_, static_cast<size_t>(k));
            ahead_pos_ = k;
            got += k;
        } else {
            got += read_fd(out + got, n - got, n - got);
        }
    }
    pos_ += got;
    return got;
}

int64_t FdSource::read_ahead(void *dst, int64_t n, int64_t ahead) const
{
    if (size_ < 0 || fd_ < 0 || n < 0 || ahead < 0)
        return -1;
    auto *out = static_cast<uint8_t *>(dst);
    // What the read-ahead buffer holds of it, then the file from its place.
    const int64_t buffered = ahead_end_ - ahead_pos_;
    int64_t got = 0;
    if (ahead < buffered) {
        got = std::min(n, buffered - ahead);
        std::memcpy(out, ahead_ + ahead_pos_ + ahead, static_cast<size_t>(got));
    }
    if (got < n) {
        int err = 0;
        const int64_t r = os::read_at(fd_, out + got, n - got, pos_ + ahead + got, &err);
        if (r < 0)
            return -1;
        got += r;
    }
    return got;
}

int64_t FdSource::skip(int64_t n)
{
    if (size_ < 0 || n <= 0)
        return Source::skip(n);
    int64_t k = ahead_end_ - ahead_pos_ < n ? ahead_end_ - ahead_pos_ : n;
    ahead_pos_ += k;
    pos_ += k;
    int64_t rest = n - k < remaining() ? n - k : remaining();
    if (rest > 0 && fd_ >= 0 && os::skip_ahead(fd_, rest)) {
        pos_ += rest;
        k += rest;
    }
    return k;
}

int64_t MemorySource::skip(int64_t n)
{
    int64_t k = n < remaining() ? n : remaining();
    if (k <= 0)
        return 0;
    pos_ += k;
    return k;
}

int64_t MemorySource::read(void *dst, int64_t n)
{
    int64_t k = n < remaining() ? n : remaining();
    if (k <= 0)
        return 0;
    std::memcpy(dst, p_ + pos_, static_cast<size_t>(k));
    pos_ += k;
    return k;
}

void *alloc_buffer(int64_t n)
{
    if (n < 0 || uint64_t(n) >= SIZE_MAX / 2)
        return nullptr;
    void *p = std::calloc(static_cast<size_t>(n > 0 ? n : 1), 1);
    constexpr int64_t kHuge = int64_t(4) << 20;
    if (p && n >= kHuge)
        os::advise_huge_pages(p, static_cast<size_t>(n));
    return p;
}

zeb_event *add_event(zeb_report *report, int32_t code, int32_t status, int64_t a, int64_t b)
{
    if (!report)
        return nullptr;
    int32_t i = report->count;
    if (i < 0 || i >= ZEB_REPORT_MAX)
        return nullptr;
    report->count = i + 1;
    zeb_event *e = &report->events[i];
    std::memset(e, 0, sizeof *e);
    e->code = code;
    e->status = status;
    e->a = a;
    e->b = b;
    return e;
}

int32_t read_header(Source &src, f0_header *h, int32_t host_big_endian, zeb_report *report, uint8_t *blocks,
                    int64_t *blocks_got)
{
    if (blocks_got)
        *blocks_got = 0;
    if (src.read(h, F0_HEADER_SIZE) < F0_HEADER_SIZE) {
        add_event(report, ZEB_EV_SHORT_HEADER, ZEB_E_SHORT_HEADER);
        return ZEB_E_SHORT_HEADER;
    }
    uint32_t synch;
    std::memcpy(&synch, h, sizeof synch);
    if (synch != F0_SYNCH && synch != F0_SYNCH_REVERSED) {
        add_event(report, ZEB_EV_BAD_SYNCH, ZEB_E_BAD_SYNCH, synch);
        return ZEB_E_BAD_SYNCH;
    }
    int32_t reversed = (synch == F0_SYNCH && host_big_endian == 1) ||
                       (synch == F0_SYNCH_REVERSED && host_big_endian == 0);
    if (reversed)
        add_event(report, ZEB_EV_REVERSED, ZEB_OK);
    if (h->header_blocks >= 2) {
        if (h->header_blocks > F0_MAX_HEADER_BLOCKS) {
            add_event(report, ZEB_EV_HEADER_BLOCKS, ZEB_E_HEADER_BLOCKS, h->header_blocks);
            return ZEB_E_HEADER_BLOCKS;
        }
        // Skipped blocks are not checked: a file that ends here comes up
        // short in the data that follow.
        if (blocks) {
            *blocks_got = src.read(blocks, int64_t(F0_HEADER_SIZE) * (h->header_blocks - 1));
        } else {
            unsigned char skip[F0_HEADER_SIZE];
            for (int i = 1; i < h->header_blocks; ++i)
                src.read(skip, F0_HEADER_SIZE);
        }
    }
    if (host_big_endian) {
        int n = h->dim_count < F0_MAX_DIMS ? h->dim_count : F0_MAX_DIMS;
        swap_all<uint32_t>(h->dims, n);
    }
    return reversed;
}

void swap_elements(void *values, int64_t count, int width)
{
    switch (width) {
    case 2: swap_all<uint16_t>(values, count); break;
    case 4: swap_all<uint32_t>(values, count); break;
    case 8: swap_all<uint64_t>(values, count); break;
    default: break;
    }
}

int64_t element_count(const int32_t *dims, int32_t dim_count)
{
    int64_t n = 1;
    for (int32_t i = 0; i < dim_count; ++i) {
        if (dims[i] == 0)
            return 0;
        n = n > kElementCountCap / dims[i] ? kElementCountCap : n * dims[i];
    }
    return n;
}

}  // namespace zeb

extern "C" {

ZEB_API void zeb_free(void *p) { std::free(p); }

ZEB_API int32_t zeb_element_size(int32_t type)
{
    return type >= 0 && type < F0_TYPE_COUNT ? kElementSize[type] : 0;
}

ZEB_API int32_t ck_synch_hd(FILE *file, f0_header *header_record, int32_t host_big_endian)
{
    zeb_report report{};
    zeb::FileSource src(file);
    int32_t r = zeb::read_header(src, header_record, host_big_endian, &report);
    zeb_report_print(&report, "");
    if (r >= 0)
        src.release();  // success leaves the stream open for the caller
    return r < 0 ? -1 : r;
}

ZEB_API void bswapi16(void *values, int32_t count) { swap_all<uint16_t>(values, count); }
ZEB_API void bswapi32(void *values, int32_t count) { swap_all<uint32_t>(values, count); }
ZEB_API void bswapi64(void *values, int32_t count) { swap_all<uint64_t>(values, count); }

}  // extern "C"
