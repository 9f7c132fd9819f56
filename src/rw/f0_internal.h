// Internals of the F0 file layer shared by its source files.
#ifndef ZEB_F0_INTERNAL_H
#define ZEB_F0_INTERNAL_H

#include <cstdint>
#include <cstdio>

#include "zebrw.h"

namespace zeb {

// Where the reader takes its bytes from: an open file or a block of memory.
class Source {
public:
    virtual ~Source() = default;
    // Reads up to n bytes into dst; returns the number read (fewer at the end).
    virtual int64_t read(void *dst, int64_t n) = 0;
    // Bytes left to read, or -1 when that is not known (a pipe, say).
    virtual int64_t remaining() const = 0;
    // Called once everything has been read (a file is closed here).
    virtual void done() {}
};

class FileSource final : public Source {
public:
    explicit FileSource(FILE *f);
    int64_t read(void *dst, int64_t n) override;
    int64_t remaining() const override;
    void done() override { close(); }
    void close();
    ~FileSource() override { close(); }
    void release() { f_ = nullptr; }  // the stream is closed or owned elsewhere

private:
    FILE *f_;
    int64_t size_ = -1;  // file size for regular files
};

class MemorySource final : public Source {
public:
    MemorySource(const uint8_t *p, int64_t n) : p_(p), n_(n < 0 ? 0 : n) {}
    int64_t read(void *dst, int64_t n) override;
    int64_t remaining() const override { return n_ - pos_; }

private:
    const uint8_t *p_;
    int64_t n_, pos_ = 0;
};

// A zero-filled buffer of n bytes (at least one) from calloc, so that free()
// releases it; large buffers are advised onto huge pages, which makes filling
// them several times faster.  Null when the allocation fails.
void *alloc_buffer(int64_t n);

// Appends an event to the report (when there is one and it has room).
zeb_event *add_event(zeb_report *report, int32_t code, int32_t status, int64_t a = 0, int64_t b = 0);

// Reads and checks the 512-byte header and skips further header blocks.
// Returns the reversed flag (0 or 1) or a negative status.
int32_t read_header(Source &src, f0_header *h, int32_t host_big_endian, zeb_report *report);

// Byte-reverses count elements of the given width (2, 4 or 8) in place.
void swap_elements(void *values, int64_t count, int width);

// Product of the first dim_count dimensions, saturated at kElementCountCap
// (so that times any element size it still fits in 64 bits); 1 when there are
// none.  Dimensions must be >= 0.
constexpr int64_t kElementCountCap = INT64_MAX / 16;
int64_t element_count(const int32_t *dims, int32_t dim_count);

}  // namespace zeb

#endif
