// Decoding on several threads, with a seek index.
//
// A seek index gives the body offsets of evenly spaced blocks.  Blocks start
// on byte boundaries and are decoded without reference to any other, so the
// body splits at the indexed blocks into pieces that decode at the same
// time.  Each piece is decoded over its own bytes only (from its offset to
// the next piece's) into its own elements only, so an index that lies can
// make a piece fail, never read or write outside the body and the array.  A
// piece other than the last must use its bytes exactly: one that ends early
// or runs into the next piece's offset means the index does not describe the
// stream.  A piece spans several entries where there are more than 64 (each
// piece restarts the decoder's adaptation to the data, which costs about a
// block's worth of speed); the decoding of a piece checks that each block an
// entry inside it names begins exactly at that entry's offset.  So every
// entry is proved the start of its own block: the first piece starts at the
// body's start, and each next one where the one before really ended.  The
// pieces depend on the index alone, never on the thread count, and so does
// the outcome.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "zebcodec.h"
#include "zebdecode_internal.h"
#include "zebparallel.h"

namespace {

int32_t bad_index(zeb_decode_info &info, int64_t block)
{
    info.block = block;
    return info.status = ZEB_E_BAD_INDEX;
}

// Moves the places of a piece's failure from the piece to the whole body.
void to_whole_body(zeb_decode_info &info, int64_t first_block, int64_t first_element, int64_t offset)
{
    const int32_t st = info.status;
    info.used += offset;
    info.elements += first_element;
    if (st == ZEB_E_BAD_BITS || st == ZEB_E_BODY_END || st == ZEB_E_BAD_LOOP)
        info.block += first_block;
    if (st == ZEB_E_BAD_BITS || st == ZEB_E_BODY_END) {
        info.byte_index += offset;
        info.bit_index += 8 * offset;
    }
    if (st == ZEB_E_BAD_LOOP)
        info.in += first_element;
}

// Decodes a piece (entries e0 .. e1 - 1 of the index, entry e beginning at
// body offset start(e), the piece's bytes at body offset at) with its first
// entries' blocks in bands side by side and the rest, if any, with the scalar
// decoder.  ZEB_OK with info as a scalar decoding of the piece gives it;
// anything else means the piece must be decoded again with the scalar
// decoder, which then says what is wrong.
template <class Start>
int32_t decode_piece_in_bands(int32_t ct, const uint8_t *bytes, int64_t len, void *out, int32_t slice,
                              int32_t block_size, int32_t every, int64_t e0, int64_t e1, int32_t nblocks,
                              int64_t count, const int64_t *offsets, const Start &start, int64_t at,
                              zeb_decode_info *info)
{
    using namespace zeb::detail;
    constexpr int64_t kMostPerLane = 64;
    // Bands are of whole entries: the stream's last entry may be short.
    int64_t whole = e1 - e0;
    if (e1 == count + 1 && int64_t(nblocks) - count * every < every)
        --whole;
    const int64_t m = std::min(whole / kLanes, kMostPerLane), n = kLanes * m;
    if (m < 1)
        return ZEB_E_BAD_ARGUMENT;
    int64_t rel[kLanes * kMostPerLane + 1];
    for (int64_t i = 0; i <= n; ++i)
        rel[i] = start(e0 + i) - at;
    Bands job;
    job.body = bytes;
    job.len = len;
    job.out = out;
    job.slice = slice;
    job.block_size = block_size;
    job.band_blocks = m * every;
    job.every = every;
    job.starts = rel;
    if (!decode_bands(ct, job))
        return ZEB_E_BAD_ARGUMENT;
    // The blocks after the bands, from the entry where the last band ended.
    const int64_t done = n * every;
    const int64_t rest = std::min<int64_t>(nblocks, e1 * int64_t(every)) - e0 * every - done;
    int32_t st = ZEB_OK;
    int64_t used = 0;
    if (rest > 0) {
        const int64_t e = e0 + n;
        const BlockStarts inner{every, offsets + e, e1 - 1 - e, start(e)};
        const int64_t skip = done * block_size * zeb_compression_width(ct);
        st = decode_with_starts(ct, bytes + rel[n], len - rel[n], static_cast<uint8_t *>(out) + skip,
                                rest * block_size, slice, block_size, static_cast<int32_t>(rest), &inner, info);
        used = info->used;
    } else {
        *info = zeb_decode_info{};
        info->compression_type = ct;
        info->slice = slice;
        info->block_size = block_size;
    }
    if (st != ZEB_OK)
        return st;  // decoded again whole, so that the failure is told of the piece
    info->used = rel[n] + used;
    info->elements = (done + rest) * block_size;
    return info->status = ZEB_OK;
}

}  // namespace

extern "C" ZEB_API int32_t zeb_decode_indexed_from(int32_t compression_type, zeb_body_fetch fetch, void *context,
                                                   int64_t body_len, void *data, int64_t capacity, int32_t slice,
                                                   int32_t block_size, int32_t nblocks, int32_t every,
                                                   const int64_t *offsets, int64_t count, int32_t threads,
                                                   zeb_decode_info *info)
{
    using namespace zeb::detail;
    zeb_decode_info local;
    zeb_decode_info &inf = info ? *info : local;
    const int32_t width = zeb_compression_width(compression_type);
    // What zeb_decode refuses before decoding, it refuses here the same way
    // (over the whole body, fetched as one piece).
    if (width == 0 || body_len < 0 || capacity < 0 || !fetch || (!data && capacity > 0) || nblocks <= 0 ||
        block_size < 1 || slice < 0) {
        const uint8_t *body = fetch && body_len > 0 ? fetch(context, 0, 0, body_len) : nullptr;
        return zeb_decode(compression_type, body, body ? body_len : 0, data, capacity, slice, block_size, nblocks,
                          info);
    }
    inf = zeb_decode_info{};
    inf.compression_type = compression_type;
    inf.slice = slice;
    inf.block_size = block_size;
    if (every < 1 || count < 0 || (!offsets && count > 0) || count != (int64_t(nblocks) - 1) / every)
        return bad_index(inf, 0);
    for (int64_t i = 0; i < count; ++i) {
        const int64_t prev = i == 0 ? 0 : offsets[i - 1];
        if (offsets[i] <= prev || offsets[i] >= body_len)
            return bad_index(inf, (i + 1) * every);
    }

    // Entry k (from 0 = block 0) begins at start(k).  Piece p: entries
    // [p * step, (p + 1) * step), at most kMaxPieces pieces, so that a piece
    // is long enough that starting it costs little.  Tasks decode runs of
    // consecutive pieces and stop at their first failure.
    auto start = [&](int64_t k) { return k == 0 ? 0 : k > count ? body_len : offsets[k - 1]; };
    // Where there are entries enough for two pieces of kLanes entries, a
    // piece has at least kLanes of them, so that its bands can be decoded
    // side by side (the pieces are the same whether or not they are).
    constexpr int64_t kMaxPieces = 64;
    const int64_t step = count + 1 >= 2 * kLanes ? std::max<int64_t>(kLanes, (count + kMaxPieces) / kMaxPieces)
                                                 : (count + kMaxPieces) / kMaxPieces;
    const bool lanes = bands_available(compression_type, slice);
    const int64_t pieces = (count + step) / step;
    const int64_t bytes = int64_t(nblocks) * block_size * width;
    const int t = bytes < parallel_min_bytes() ? 1 : resolve_threads(threads);
    const int tasks = static_cast<int>(std::min<int64_t>(pieces, 4 * int64_t(t)));
    struct Failure {
        int64_t piece = -1;  // -1: none
        bool index = false;  // the piece did not end where the next begins
        zeb_decode_info info{};
    };
    Failure failed[4 * kMaxThreads];
    std::atomic<int64_t> first_failed{pieces};  // later pieces need not be decoded
    run_tasks(tasks, t, [&](int j) {
        Failure &f = failed[j];
        for (int64_t k = pieces * j / tasks; k < pieces * (j + 1) / tasks; ++k) {
            if (k > first_failed.load(std::memory_order_relaxed))
                return;
            const int64_t b0 = k * step * every, b1 = std::min<int64_t>(nblocks, b0 + step * every);
            const int64_t e0 = b0 * block_size;
            const int64_t room = std::clamp<int64_t>(capacity - e0, 0, (b1 - b0) * block_size);
            void *out = room > 0 ? static_cast<uint8_t *>(data) + e0 * width : nullptr;
            const int64_t at = start(k * step), len = start((k + 1) * step) - at;
            const uint8_t *bytes = fetch(context, k, at, len);
            // The entries inside the piece name blocks every, 2 * every, ...
            // of it, at their offsets less the piece's.
            const BlockStarts inner{every, offsets + k * step, std::min((k + 1) * step, count + 1) - 1 - k * step,
                                    at};
            // Bytes that cannot be had end the body where the piece begins.
            int32_t st = ZEB_E_BAD_ARGUMENT;
            if (lanes && bytes && room == (b1 - b0) * block_size)
                st = decode_piece_in_bands(compression_type, bytes, len, out, slice, block_size, every, k * step,
                                           std::min((k + 1) * step, count + 1), nblocks, count, offsets, start, at,
                                           &f.info);
            if (st != ZEB_OK)
                st = decode_with_starts(compression_type, bytes, bytes ? len : 0, out, room, slice, block_size,
                                        static_cast<int32_t>(b1 - b0), &inner, &f.info);
            // A piece that runs into its end, or ends early, does not end
            // where the index says the next block begins.
            const bool last = k == pieces - 1;
            const bool misplaced = !last && (st == ZEB_E_BODY_END || (st == ZEB_OK && f.info.used != len));
            if (st != ZEB_OK || misplaced) {
                f.piece = k;
                f.index = misplaced;
                int64_t seen = first_failed.load(std::memory_order_relaxed);
                while (k < seen && !first_failed.compare_exchange_weak(seen, k, std::memory_order_relaxed)) {
                }
                return;
            }
        }
    });
    // The first failure in stream order is the one a serial decoding meets.
    for (int j = 0; j < tasks; ++j) {
        Failure &f = failed[j];
        if (f.piece < 0)
            continue;
        if (f.index)
            return bad_index(inf, (f.piece + 1) * step * every);
        const int64_t b0 = f.piece * step * every;
        if (f.info.status == ZEB_E_BAD_INDEX)  // an entry inside the piece
            return bad_index(inf, b0 + f.info.block);
        to_whole_body(f.info, b0, b0 * int64_t(block_size), start(f.piece * step));
        inf = f.info;
        return inf.status;
    }
    inf.used = start((pieces - 1) * step) + failed[tasks - 1].info.used;
    inf.elements = int64_t(nblocks) * block_size;
    return inf.status = ZEB_OK;
}

namespace {

const uint8_t *in_memory(void *body, int64_t, int64_t at, int64_t) { return static_cast<const uint8_t *>(body) + at; }

}  // namespace

extern "C" ZEB_API int32_t zeb_decode_indexed(int32_t compression_type, const uint8_t *body, int64_t body_len,
                                              void *data, int64_t capacity, int32_t slice, int32_t block_size,
                                              int32_t nblocks, int32_t every, const int64_t *offsets, int64_t count,
                                              int32_t threads, zeb_decode_info *info)
{
    if (!body && body_len > 0)  // refused as zeb_decode refuses it
        return zeb_decode(compression_type, body, body_len, data, capacity, slice, block_size, nblocks, info);
    return zeb_decode_indexed_from(compression_type, in_memory, const_cast<uint8_t *>(body), body_len, data,
                                   capacity, slice, block_size, nblocks, every, offsets, count, threads, info);
}
