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
    // Passes over up to n bytes; returns the number passed over (fewer at the end).
    virtual int64_t skip(int64_t n);
    // Where the unread bytes lie in memory, with their number in *avail; null
    // when they are not in memory (a file).
    virtual const uint8_t *peek(int64_t *avail) const
    {
        *avail = 0;
        return nullptr;
    }
    // The next n unread bytes where they are already in memory (read ahead
    // or a memory image), else null; reads nothing.
    virtual const uint8_t *buffered(int64_t n) const
    {
        (void)n;
        return nullptr;
    }
    // Reads up to n bytes that lie `ahead` bytes past the unread ones into
    // dst, without reading or passing over anything (several threads may
    // call it at once); returns the number read, or -1 where the source
    // cannot do this (it is not a regular file).
    virtual int64_t read_ahead(void *dst, int64_t n, int64_t ahead) const
    {
        (void)dst, (void)n, (void)ahead;
        return -1;
    }
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

// An open file descriptor, read with read(2): the first small read fetches a
// few KiB, so that the header, the further header blocks and the stream
// header cost one system call; large reads go straight into the caller's
// buffer, in pieces of at most 1 GiB.  Owns the descriptor.
class FdSource final : public Source {
public:
    explicit FdSource(int fd);
    ~FdSource() override { close(); }
    int64_t read(void *dst, int64_t n) override;
    int64_t remaining() const override { return size_ < 0 ? -1 : (size_ > pos_ ? size_ - pos_ : 0); }
    int64_t skip(int64_t n) override;
    void done() override { close(); }
    void close();
    const uint8_t *buffered(int64_t n) const override
    {
        return ahead_end_ - ahead_pos_ >= n ? ahead_ + ahead_pos_ : nullptr;
    }
    // Positional reads (on Windows they move the descriptor's offset, which
    // no later read of this source relies on: the body they read is the
    // last thing read).
    int64_t read_ahead(void *dst, int64_t n, int64_t ahead) const override;

private:
    int64_t read_fd(uint8_t *dst, int64_t n, int64_t at_least);
    static constexpr int64_t kAhead = 4096;
    int fd_;
    int64_t size_ = -1;  // file size for regular files
    int64_t pos_ = 0;    // bytes handed out or passed over
    uint8_t ahead_[kAhead];
    int64_t ahead_pos_ = 0, ahead_end_ = 0;
};

class MemorySource final : public Source {
public:
    MemorySource(const uint8_t *p, int64_t n) : p_(p), n_(p && n > 0 ? n : 0) {}
    int64_t read(void *dst, int64_t n) override;
    int64_t remaining() const override { return n_ - pos_; }
    int64_t skip(int64_t n) override;
    const uint8_t *peek(int64_t *avail) const override
    {
        *avail = n_ - pos_;
        return p_ + pos_;
    }
    const uint8_t *buffered(int64_t n) const override { return n_ - pos_ >= n ? p_ + pos_ : nullptr; }

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

// Reads and checks the 512-byte header and passes over further header
// blocks, or reads them into blocks (room for ZEB_RECORD_MAX_BYTES) with
// their number of bytes in *blocks_got.  Returns the reversed flag (0 or 1)
// or a negative status.
int32_t read_header(Source &src, f0_header *h, int32_t host_big_endian, zeb_report *report,
                    uint8_t *blocks = nullptr, int64_t *blocks_got = nullptr);

// Reads a crunch stream body of body_len bytes from src, window bytes at a
// time, and decodes it into data (room for capacity elements): whole blocks
// are decoded from each window and the unfinished one is carried over into
// the next; the window grows only where one block does not fit.  The result
// and *info are exactly those of zeb_decode over the whole body (the first
// body_len bytes, or fewer where src ends first).  *consumed receives the
// bytes taken from src (the rest of the body is left unread).  Returns
// ZEB_E_NO_MEMORY (info->status too) when the window cannot be allocated.
// With from_block above 0, the blocks before it are decoded (a window's
// worth at a time, into a buffer of their own) and dropped, and data
// receives the blocks from from_block on; *info still speaks of the whole
// body (info->elements counts the dropped elements too).
int32_t decode_body(Source &src, int64_t body_len, int32_t compression_type, void *data, int64_t capacity,
                    int32_t slice, int32_t block_size, int32_t nblocks, int64_t window, zeb_decode_info *info,
                    int64_t *consumed, int64_t from_block = 0);

// Moves the places a decoding of part of a body reports (its status,
// block, element and byte positions) to the whole body, given where the
// part starts: its body offset, first block and first element.
void shift_places(zeb_decode_info *info, int64_t offset, int64_t first_block, int64_t first_element);

// The window decode_body reads compressed bodies in.
constexpr int64_t kStreamWindow = int64_t(1) << 20;

// Byte-reverses count elements of the given width (2, 4 or 8) in place.
void swap_elements(void *values, int64_t count, int width);

// Product of the first dim_count dimensions, saturated at kElementCountCap
// (so that times any element size it still fits in 64 bits); 1 when there are
// none.  Dimensions must be >= 0.
constexpr int64_t kElementCountCap = INT64_MAX / 16;
int64_t element_count(const int32_t *dims, int32_t dim_count);

}  // namespace zeb

#endif
