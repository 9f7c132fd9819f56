// Encoding handed out piece by piece, in stream order, as the pieces are
// done: the caller stores each one (in a file, say) while later pieces are
// still being coded, and no buffer ever holds the whole stream.
//
// The blocks are cut into pieces of about stream_piece_bytes() of array
// data, taken in order by up to `threads` threads, each coded into one
// buffer of a small pool.  A thread takes the next piece whenever it is
// free, so a thread that starts late (the cores busy elsewhere) only takes
// fewer pieces.  A finished piece waits in its buffer until every piece before it
// has been handed to the sink; whichever thread finds the next piece done
// hands it over (one at a time, without holding the lock while the sink
// works) and returns its buffer to the pool.  The pool holds two buffers per
// thread, so a thread seldom waits for one.
//
// The stream is byte for byte zeb_encode's, for the reasons given in
// zebencode_threads.cpp: blocks start on byte boundaries and are coded
// independently.  Each piece is coded with no room test other than its
// buffer's end; a stream that comes to more than limit bytes fails for lack
// of room as soon as the running total shows it, and one within 9 bytes of
// limit, where the one-thread coder's room test decides, is coded again on
// one thread to learn its verdict.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "zebcodec.h"
#include "zebencode_internal.h"
#include "zebparallel.h"

namespace zeb::detail {

namespace {

constexpr int64_t kHeaderSize = ZEB_COMPRESS_HEADER_SIZE;

constexpr int kPoolPerThread = 2;

struct Piece {
    int64_t b0 = 0, b1 = 0;  // blocks [b0, b1)
    uint8_t *buf = nullptr;  // where it was coded, while it waits
    int64_t end = 0;         // its bytes, or a status
    bool done = false;
};

class StreamEncoder {
public:
    StreamEncoder(int32_t ct, const void *data, int32_t slice, int32_t block_size, int32_t limit, int64_t every,
                  int64_t *offsets, zeb_stream_sink sink, void *context)
        : ct_(ct), data_(data), slice_(slice), block_size_(block_size), limit_(limit), every_(every),
          offsets_(offsets), sink_(sink), context_(context)
    {
    }

    // Cuts nblocks into `pieces` pieces and sets up the pool; false without memory.
    bool plan(int32_t nblocks, int64_t pieces, int threads)
    {
        npieces_ = std::clamp<int64_t>(pieces, 1, nblocks);
        pieces_.reset(new (std::nothrow) Piece[size_t(npieces_)]);
        if (!pieces_)
            return false;
        int64_t most = 0;
        for (int64_t k = 0; k < npieces_; ++k) {
            pieces_[k].b0 = int64_t(nblocks) * k / npieces_;
            pieces_[k].b1 = int64_t(nblocks) * (k + 1) / npieces_;
            most = std::max(most, pieces_[k].b1 - pieces_[k].b0);
        }
        // A piece that does not fit in limit - 14 bytes makes the stream
        // longer than limit anyway.
        const int64_t bound = zeb_compress_bound(ct_, slice_, block_size_, int32_t(most));
        cap_ = bound > 0 ? std::min<int64_t>(bound, limit_ - kHeaderSize) : limit_ - kHeaderSize;
        threads_ = static_cast<int>(std::clamp<int64_t>(threads, 1, std::min<int64_t>(npieces_, kMaxThreads)));
        nbufs_ = static_cast<int>(std::min<int64_t>(int64_t(threads_) * (threads_ > 1 ? kPoolPerThread : 1),
                                                    npieces_));
        pool_.reset(new (std::nothrow) uint8_t[size_t(cap_) * size_t(nbufs_)]);
        if (!pool_)
            return false;
        for (int i = 0; i < nbufs_; ++i)
            free_[nfree_++] = pool_.get() + int64_t(i) * cap_;
        return true;
    }

    int32_t run()
    {
        run_tasks(threads_, threads_, [this](int) { work(); });
        return failure_ != 0 ? failure_ : ZEB_OK;
    }

    int64_t size() const { return at_; }

private:
    void work()
    {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            ready_.wait(lock, [this] { return failure_ != 0 || next_ >= npieces_ || nfree_ > 0; });
            if (failure_ != 0 || next_ >= npieces_)
                return;
            Piece &p = pieces_[next_++];
            p.buf = free_[--nfree_];
            lock.unlock();
            p.end = code(p);
            lock.lock();
            p.done = true;
            if (p.end < 0 && failure_ == 0)
                failure_ = ZEB_E_NO_ROOM;
            hand_over(lock);
        }
    }

    // Codes the piece into its buffer from byte 0, recording the marked
    // blocks as bytes from the piece's start.
    int64_t code(const Piece &p) const
    {
        if (!offsets_)
            return encode_blocks(ct_, p.buf, 0, cap_, cap_, data_, slice_, block_size_, p.b0, p.b1);
        int64_t pos = 0;
        for (int64_t b = p.b0; b < p.b1 && pos >= 0;) {
            if (b > 0 && b % every_ == 0)
                offsets_[b / every_ - 1] = pos;
            const int64_t next = std::min(p.b1, (b / every_ + 1) * every_);
            pos = encode_blocks(ct_, p.buf, pos, cap_, cap_, data_, slice_, block_size_, b, next);
            b = next;
        }
        return pos;
    }

    // Hands the finished pieces that are next in stream order to the sink,
    // unless another thread is already doing so (it will take these too).
    void hand_over(std::unique_lock<std::mutex> &lock)
    {
        while (!handing_ && failure_ == 0 && emitted_ < npieces_ && pieces_[emitted_].done) {
            Piece &p = pieces_[emitted_];
            if (at_ + p.end > limit_) {
                failure_ = ZEB_E_NO_ROOM;
                break;
            }
            handing_ = true;
            lock.unlock();
            if (offsets_)  // the piece's marks were counted from its own start
                for (int64_t b = (p.b0 + every_ - 1) / every_ * every_; b < p.b1; b += every_)
                    if (b > 0)
                        offsets_[b / every_ - 1] += at_ - kHeaderSize;
            const int32_t status = p.end > 0 ? sink_(context_, p.buf, p.end, at_) : 0;
            lock.lock();
            handing_ = false;
            if (status < 0 && failure_ == 0)
                failure_ = status;
            at_ += p.end;
            ++emitted_;
            free_[nfree_++] = p.buf;
            p.buf = nullptr;
        }
        ready_.notify_all();
    }

    const int32_t ct_;
    const void *const data_;
    const int32_t slice_, block_size_, limit_;
    const int64_t every_;
    int64_t *const offsets_;
    const zeb_stream_sink sink_;
    void *const context_;

    std::unique_ptr<Piece[]> pieces_;
    std::unique_ptr<uint8_t[]> pool_;
    int64_t npieces_ = 0, cap_ = 0;
    int threads_ = 1, nbufs_ = 0;

    std::mutex m_;
    std::condition_variable ready_;
    uint8_t *free_[kMaxThreads * kPoolPerThread] = {};
    int nfree_ = 0;
    int64_t next_ = 0;     // next piece to be coded
    int64_t emitted_ = 0;  // next piece to be handed over
    int64_t at_ = kHeaderSize;  // where it goes in the stream
    bool handing_ = false;
    int32_t failure_ = 0;
};

}  // namespace

int32_t encode_stream(int32_t compression_type, const void *data, int32_t slice, int32_t block_size,
                      int32_t nblocks, int32_t limit, int64_t pieces, int threads, int64_t every, int64_t *offsets,
                      zeb_stream_sink sink, void *context, uint8_t *header)
{
    if (!sink)
        return ZEB_E_BAD_ARGUMENT;
    const int32_t status = encode_check(compression_type, header, data, slice, block_size, nblocks, limit);
    if (status != ZEB_OK)
        return status;
    StreamEncoder enc(compression_type, data, slice, block_size, limit, every >= 1 ? every : 0,
                      every >= 1 ? offsets : nullptr, sink, context);
    if (nblocks > 0) {
        if (!enc.plan(nblocks, pieces, threads))
            return ZEB_E_NO_MEMORY;
        const int32_t s = enc.run();
        if (s != ZEB_OK)
            return s;
    }
    const int64_t size = enc.size();
    if (size > limit)
        return ZEB_E_NO_ROOM;
    if (size > limit - 9) {
        // Whether the one-thread coder's room test lets this stream through.
        std::unique_ptr<uint8_t[]> whole(new (std::nothrow) uint8_t[size_t(limit)]);
        if (!whole)
            return ZEB_E_NO_MEMORY;
        if (zeb_encode(compression_type, whole.get(), data, slice, block_size, nblocks, limit, 0) < 0)
            return ZEB_E_NO_ROOM;
    }
    encode_header(compression_type, header, slice, block_size, nblocks);
    return encode_finish(header, size, 0);
}

}  // namespace zeb::detail

extern "C" ZEB_API int32_t zeb_encode_to(int32_t compression_type, const void *data, int32_t slice,
                                         int32_t block_size, int32_t nblocks, int32_t limit, int32_t threads,
                                         int32_t every, int64_t *offsets, zeb_stream_sink sink, void *context,
                                         uint8_t *header)
{
    using namespace zeb::detail;
    const int width = zeb_compression_width(compression_type);
    const int64_t bytes = nblocks > 0 && block_size > 0 ? int64_t(nblocks) * block_size * width : 0;
    const int t = nblocks < 2 || bytes < parallel_min_bytes() ? 1 : resolve_threads(threads);
    const int64_t piece = stream_piece_bytes();
    return encode_stream(compression_type, data, slice, block_size, nblocks, limit,
                         std::max<int64_t>((bytes + piece - 1) / piece, t), t, every, offsets, sink, context,
                         header);
}
