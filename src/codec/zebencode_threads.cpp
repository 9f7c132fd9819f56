// Encoding on several threads.
//
// Every block starts on a byte boundary and is coded without reference to any
// other, so the blocks can be coded in contiguous ranges (pieces) at the same
// time and joined.  Piece 0 is coded straight into the caller's stream, with
// the caller's limit and room test, exactly as zeb_encode codes it; every
// further piece into a buffer of its own, from byte 0 and with no room test,
// and copied behind the pieces before it once all are done.
//
// The joined stream of S bytes is what zeb_encode gives whenever
// S <= limit - 9: every code then starts in a byte before S, so no room test
// of the one-thread encoder fails, and no byte at or beyond limit is needed.
// When piece 0 runs out of room, or S > limit, zeb_encode fails too, for
// lack of room (a stream of S bytes cannot lie below limit).  For
// limit - 9 < S <= limit the outcome depends on where the last codes start,
// and the stream is coded again on one thread; that is rare and cheap to get
// right.  A piece's own buffer holds at most limit - 14 bytes: a piece that
// does not fit there makes S larger than limit.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "zebcodec.h"
#include "zebencode_internal.h"
#include "zebparallel.h"

namespace zeb::detail {

namespace {

constexpr int64_t kHeaderSize = ZEB_COMPRESS_HEADER_SIZE;

// Below this many bytes of array data one thread is as fast: starting and
// joining a thread and touching a fresh output buffer cost some 0.1 ms.
constexpr int64_t kParallelMinBytes = int64_t(1) << 20;

// Array data per piece of a stream handed out as it is coded: small enough
// that the last piece, whose output overlaps nothing, is a small share of a
// large array and that the pieces' buffers stay in the caches; large enough
// that handing a piece over costs little.
constexpr int64_t kPieceBytes = int64_t(512) << 10;

// A difference is coded only while it starts in a stream byte not beyond
// limit - 10 (zeb_encode's room test).
constexpr int64_t kRoomTail = 10;

// A piece's own buffer.  Large ones start on a huge-page boundary and are
// advised onto huge pages where the system offers them on request: the fresh
// pages of a piece's output otherwise cost about a quarter of its coding time
// in page faults.
class PieceBuffer {
public:
    bool allocate(int64_t bytes)
    {
        const bool large = bytes >= kLargeBytes;
        mem_ = std::malloc(static_cast<size_t>(bytes) + (large ? kHugePage : 0));
        if (!mem_)
            return false;
        data_ = static_cast<uint8_t *>(mem_);
        if (large) {
            const auto start = (reinterpret_cast<uintptr_t>(mem_) + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
            data_ = reinterpret_cast<uint8_t *>(start);
            advise_huge_pages(data_, static_cast<size_t>(bytes));
        }
        return true;
    }
    ~PieceBuffer() { std::free(mem_); }
    uint8_t *data() const { return data_; }

private:
    static constexpr size_t kHugePage = size_t(2) << 20;
    static constexpr int64_t kLargeBytes = int64_t(4) << 20;
    void *mem_ = nullptr;
    uint8_t *data_ = nullptr;
};

// Where blocks start, to be recorded while they are coded: offsets[b /
// every - 1] for every block b > 0 that is a multiple of every.
struct Marks {
    int64_t every = 0;
    int64_t *offsets = nullptr;
};

// Codes blocks [b0, b1) as encode_blocks does, in runs that end at the
// marked blocks, and records where each marked block starts, as bytes from
// base.  Blocks are independent and start on byte boundaries, so coding
// them in runs gives the same bytes.
int64_t encode_marked(int32_t ct, uint8_t *out, int64_t pos, int64_t limit, int64_t room_end, const void *data,
                      int32_t slice, int64_t block_size, int64_t b0, int64_t b1, const Marks &m, int64_t base)
{
    if (!m.offsets)
        return encode_blocks(ct, out, pos, limit, room_end, data, slice, block_size, b0, b1);
    for (int64_t b = b0; b < b1 && pos >= 0;) {
        if (b > 0 && b % m.every == 0)
            m.offsets[b / m.every - 1] = pos - base;
        const int64_t next = std::min(b1, (b / m.every + 1) * m.every);
        pos = encode_blocks(ct, out, pos, limit, room_end, data, slice, block_size, b, next);
        b = next;
    }
    return pos;
}

// zeb_encode on one thread, recording the marked blocks.
int32_t encode_one_marked(int32_t ct, uint8_t *stream, const void *data, int32_t slice, int32_t block_size,
                          int32_t nblocks, int32_t limit, int32_t host_big_endian, const Marks &m)
{
    const int32_t status = encode_check(ct, stream, data, slice, block_size, nblocks, limit);
    if (status != ZEB_OK || !m.offsets)
        return zeb_encode(ct, stream, data, slice, block_size, nblocks, limit, host_big_endian);
    encode_header(ct, stream, slice, block_size, nblocks);
    const int64_t end = encode_marked(ct, stream, kHeaderSize, limit, limit - kRoomTail, data, slice, block_size, 0,
                                      nblocks, m, kHeaderSize);
    return end < 0 ? static_cast<int32_t>(end) : encode_finish(stream, end, host_big_endian);
}

int portable_core_count()
{
    const unsigned h = std::thread::hardware_concurrency();
    return h > 0 ? static_cast<int>(h) : 1;
}

void no_advice(void *, size_t) {}

int (*core_count_hook)() = &portable_core_count;
void (*advise_hook)(void *, size_t) = &no_advice;

}  // namespace

void install_system_hooks(int (*core_count)(), void (*advise)(void *, size_t))
{
    core_count_hook = core_count ? core_count : &portable_core_count;
    advise_hook = advise ? advise : &no_advice;
}

int available_cores()
{
    const int n = core_count_hook();
    return n > 0 ? n : 1;
}

void advise_huge_pages(void *p, size_t n) { advise_hook(p, n); }

int resolve_threads(int32_t threads)
{
    const int t = threads > 0 ? threads : available_cores();
    return std::min(t, kMaxThreads);
}

namespace {

// A byte count from the environment (read by the caller once), or fallback.
int64_t bytes_from_environment(const char *name, int64_t fallback)
{
    const char *env = std::getenv(name);
    if (env && *env) {
        char *end = nullptr;
        const long long v = std::strtoll(env, &end, 10);
        if (*end == '\0' && v >= 0)
            return static_cast<int64_t>(v);
    }
    return fallback;
}

}  // namespace

int64_t parallel_min_bytes()
{
    static const int64_t value = bytes_from_environment("ZEB_PARALLEL_MIN_BYTES", kParallelMinBytes);
    return value;
}

int64_t stream_piece_bytes()
{
    static const int64_t value = std::max<int64_t>(bytes_from_environment("ZEB_STREAM_PIECE_BYTES", kPieceBytes), 1);
    return value;
}

int32_t encode_pieces(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice,
                      int32_t block_size, int32_t nblocks, int32_t limit, int32_t host_big_endian, int32_t pieces,
                      int32_t threads, int64_t every, int64_t *offsets)
{
    const Marks marks{every, every >= 1 ? offsets : nullptr};
    auto one_thread = [&] {
        return encode_one_marked(compression_type, stream, data, slice, block_size, nblocks, limit, host_big_endian,
                                 marks);
    };
    const int32_t status = encode_check(compression_type, stream, data, slice, block_size, nblocks, limit);
    const int n = static_cast<int>(std::min<int64_t>({pieces, nblocks, kMaxThreads}));
    if (status != ZEB_OK || n <= 1)
        return one_thread();

    struct Piece {
        int64_t b0 = 0, b1 = 0;
        PieceBuffer buf;  // own buffer (pieces after the first)
        int64_t cap = 0;
        int64_t end = ZEB_E_NO_ROOM;  // byte after the piece in its buffer, or a status
    };
    // Piece 0 takes 1/16 more blocks than the others: they also pay for the
    // fresh pages of their buffers, about 6% of their coding time.
    auto start = [&](int k) -> int64_t {
        return k == 0 ? 0 : k == n ? nblocks : int64_t(nblocks) * (16 * k + 1) / (16 * n + 1);
    };
    Piece piece[kMaxThreads];
    for (int k = 0; k < n; ++k) {
        Piece &p = piece[k];
        p.b0 = start(k);
        p.b1 = start(k + 1);
        if (k == 0)
            continue;
        const int64_t bound = zeb_compress_bound(compression_type, slice, block_size, int32_t(p.b1 - p.b0));
        p.cap = bound > 0 ? std::min<int64_t>(bound, limit - kHeaderSize) : limit - kHeaderSize;
        if (!p.buf.allocate(p.cap))  // no memory for the pieces: one thread needs none
            return one_thread();
    }

    encode_header(compression_type, stream, slice, block_size, nblocks);
    run_tasks(n, threads, [&](int k) {
        Piece &p = piece[k];
        if (k == 0)
            p.end = encode_marked(compression_type, stream, kHeaderSize, limit, limit - kRoomTail, data, slice,
                                  block_size, p.b0, p.b1, marks, kHeaderSize);
        else
            p.end = encode_marked(compression_type, p.buf.data(), 0, p.cap, p.cap, data, slice, block_size, p.b0,
                                  p.b1, marks, 0);
    });

    int64_t size = 0;
    for (int k = 0; k < n && size >= 0; ++k)
        size = piece[k].end < 0 ? -1 : size + piece[k].end;
    if (size < 0 || size > limit)
        return ZEB_E_NO_ROOM;
    if (size > limit - 9)
        return one_thread();
    int64_t at = piece[0].end;
    for (int k = 1; k < n; ++k) {
        Piece &p = piece[k];
        std::memcpy(stream + at, p.buf.data(), static_cast<size_t>(p.end));
        // The piece's marks were counted from its own start.
        if (marks.offsets)
            for (int64_t b = (p.b0 + every - 1) / every * every; b < p.b1; b += every)
                marks.offsets[b / every - 1] += at - kHeaderSize;
        at += p.end;
    }
    return encode_finish(stream, size, host_big_endian);
}

}  // namespace zeb::detail

extern "C" ZEB_API int32_t zeb_encode_threads(int32_t compression_type, uint8_t *stream, const void *data,
                                              int32_t slice, int32_t block_size, int32_t nblocks, int32_t limit,
                                              int32_t host_big_endian, int32_t threads)
{
    using namespace zeb::detail;
    const int width = zeb_compression_width(compression_type);
    const int64_t bytes = nblocks > 0 && block_size > 0 ? int64_t(nblocks) * block_size * width : 0;
    if (width == 0 || nblocks < 2 || bytes < parallel_min_bytes() || threads == 1)
        return zeb_encode(compression_type, stream, data, slice, block_size, nblocks, limit, host_big_endian);
    const int t = resolve_threads(threads);
    return encode_pieces(compression_type, stream, data, slice, block_size, nblocks, limit, host_big_endian, t, t);
}

extern "C" ZEB_API int32_t zeb_encode_indexed(int32_t compression_type, uint8_t *stream, const void *data,
                                              int32_t slice, int32_t block_size, int32_t nblocks, int32_t limit,
                                              int32_t threads, int32_t every, int64_t *offsets)
{
    using namespace zeb::detail;
    const int width = zeb_compression_width(compression_type);
    const int64_t bytes = nblocks > 0 && block_size > 0 ? int64_t(nblocks) * block_size * width : 0;
    const int t = width == 0 || nblocks < 2 || bytes < parallel_min_bytes() ? 1 : resolve_threads(threads);
    return encode_pieces(compression_type, stream, data, slice, block_size, nblocks, limit, 0, t, t,
                         every >= 1 ? every : 0, offsets);
}
