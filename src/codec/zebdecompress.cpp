// zebdecompress: the crunch decoders.
//
// One algorithm, templated on the element width (8, 16 or 32 bits), on the
// body layout (plain or run-length) and on the bit reader, serves all entry
// points:
//
//  - zeb_decode, the core: bounded by body_len and capacity, prints nothing,
//    describes a failure in a zeb_decode_info record;
//  - the *_bounded decoders: zeb_decode plus the classic message on failure;
//  - the classic six-argument decoders: the same algorithm over a reader that
//    fetches exactly the bytes the classic procedure fetches (they have no
//    body length, so they must not read any further than it did).
//
// The stream is always decoded as the little-endian layout it is defined in,
// whatever the host, so the classic `host_little_endian` argument (every
// caller passes 1) is accepted and ignored.
//
// Deviations from the classic decoders, kept the same in every entry point:
//  - a slice the decoder cannot fetch whole (negative, or above 17 for 8- and
//    16-bit elements, above 32 for 32-bit ones) is refused (ZEB_E_BAD_SLICE)
//    instead of being decoded with out-of-range shifts;
//  - a block_size below 1 with blocks to decode stores nothing: the plain
//    decoders refuse it (ZEB_E_BAD_BLOCK_SIZE), the run-length decoders
//    report their bad loop (nc = block_size - 1, iy = 0, in = 1) as before
//    but without storing the element the array has no room for.
#include <cinttypes>
#include <cstdio>
#include <type_traits>

#include "bitreader.h"
#include "zebcodec.h"
#include "zebdecode_internal.h"

namespace {

using zeb::BoundedBits;
using zeb::CodeParams;
using zeb::ExactBits;
using zeb::detail::BlockStarts;

// The blocks of a decoding whose starts are checked, in order.
class StartCheck {
public:
    explicit StartCheck(const BlockStarts *s)
        : s_(s && s->count > 0 && s->every > 0 ? s : nullptr), next_(s_ ? s_->every : -1)
    {
    }

    // Whether block b may begin at byte: false where it is a block the
    // starts name and begins elsewhere.
    ZEB_INLINE bool fits(int64_t b, int64_t byte)
    {
        if (ZEB_LIKELY(b != next_))
            return true;
        if (byte != s_->offsets[i_] - s_->base)
            return false;
        next_ = ++i_ < s_->count ? next_ + s_->every : -1;
        return true;
    }

private:
    const BlockStarts *s_;
    int64_t next_;  // the next block to check, -1: none
    int64_t i_ = 0;
};

int32_t misplaced(zeb_decode_info &info, int64_t block, int64_t byte, int64_t elements)
{
    info.block = block;
    info.used = byte;
    info.elements = elements;
    return info.status = ZEB_E_BAD_INDEX;
}

template <int W>
struct Width {
    using elem = std::conditional_t<W == 8, uint8_t, std::conditional_t<W == 16, int16_t, int32_t>>;
    static constexpr int bytes = W / 8;
};

int32_t max_slice(int32_t compression_type)
{
    return compression_type == ZEB_CT_CRUNCH32 ? 32 : 17;
}

bool is_run_length(int32_t compression_type)
{
    return compression_type == ZEB_CT_CRUNCHRUN8 || compression_type == ZEB_CT_CRUNCHRUN16;
}

int32_t fail(zeb_decode_info &info, int32_t status, int64_t bit, int64_t element, int64_t block,
             int64_t elements)
{
    info.status = status;
    info.bit_index = bit;
    info.byte_index = bit >> 3;
    info.element = element;
    info.block = block;
    info.elements = elements;
    return status;
}

// Decodes codes j .. bs - 1 of a block into out: in groups of n codes per
// refill where they fit (R::plain_groups), one by one where they do not
// (counted in slow).  Returns false with *failed set to the failing code's
// index.
template <int n, int W, class R, class E>
ZEB_INLINE bool decode_groups(R &r, uint64_t &v, E *out, int64_t j, int64_t bs, int64_t *failed, int64_t &slow)
{
    for (;;) {
        if constexpr (n > 1)
            j = r.template plain_groups<n>(v, out, j, bs);
        if (j >= bs)
            return true;
        ++slow;
        if (!r.template code<W>(v)) {
            *failed = j;
            return false;
        }
        out[j++] = E(v);
    }
}

// Codes per refill (1: one at a time), chosen run by run (a block, or a
// literal segment).  A group that fails (a code does not fit in the bits of
// one refill, or is an escape) costs its work, a mispredicted branch and a
// round one code at a time (counted as 200 instructions); a group costs
// about 25 instructions besides its codes; one code at a time costs about
// 38 more a code.  Each run takes the size with the least cost from the
// share of codes that fell back to one at a time when that size was last
// used (0 for a size not tried since the last reset, every 256 runs, so that
// sizes get tried again), among the sizes that the average code length of
// the previous run lets fit in one refill (at first a guess from the
// slice).  At most 16 bytes of elements a group (they are saved aside), and
// never more codes than could fit however short they are.
template <int W>
class GroupSize {
public:
    static constexpr int max_group = W == 32 ? 4 : 8;

    explicit GroupSize(int slice) : fits_(56 / (slice + 1)), most_(limit(56 / (slice + 3))), group_(most_) {}

    int get() const { return group_; }

    // After a run of codes codes in bits bits, slow of them one at a time.
    void update(int64_t codes, int64_t bits, int64_t slow)
    {
        if (codes < 1)
            return;
        most_ = limit(56 * codes / (bits > 0 ? bits : 1));
        fallbacks_[group_] = 4096 * slow / codes;
        if ((++runs_ & 255) == 0)
            for (int64_t &f : fallbacks_)
                f = 0;
        int64_t best = 38 * 4096;
        group_ = 1;
        for (int n = 2; n <= most_; ++n) {
            const int64_t cost = 25 * 4096 / n + 200 * fallbacks_[n];
            if (cost <= best) {
                best = cost;
                group_ = n;
            }
        }
    }

private:
    int limit(int64_t n) const
    {
        n = n < fits_ ? n : fits_;
        return n < 1 ? 1 : n > max_group ? max_group : int(n);
    }

    int64_t fits_;
    int most_;
    int group_;
    int64_t runs_ = 0;
    int64_t fallbacks_[max_group + 1] = {};  // by size: per 4096 codes
};

// decode_groups with the group size of g.
template <int W, class R, class E>
ZEB_INLINE bool decode_run_of_codes(const GroupSize<W> &g, R &r, uint64_t &v, E *out, int64_t j, int64_t n,
                         int64_t *failed, int64_t &slow)
{
    constexpr int m = GroupSize<W>::max_group;
    switch (g.get()) {
    case 1: return decode_groups<1, W>(r, v, out, j, n, failed, slow);
    case 2: return decode_groups<2, W>(r, v, out, j, n, failed, slow);
    case 3: return decode_groups<3, W>(r, v, out, j, n, failed, slow);
    case 4: return decode_groups<4, W>(r, v, out, j, n, failed, slow);
    case 5: return decode_groups<m < 5 ? m : 5, W>(r, v, out, j, n, failed, slow);
    case 6: return decode_groups<m < 6 ? m : 6, W>(r, v, out, j, n, failed, slow);
    case 7: return decode_groups<m < 7 ? m : 7, W>(r, v, out, j, n, failed, slow);
    default: return decode_groups<m, W>(r, v, out, j, n, failed, slow);
    }
}

// Types 0, 1, 4: blocks of a first element and block_size - 1 codes, each
// block starting on a byte boundary.  Element o of the array is element
// o mod block_size of block o / block_size; stores at or past cap are skipped.
template <int W, class R>
int32_t decode_plain(R &r, typename Width<W>::elem *data, int64_t cap, int32_t bs, int32_t nb,
                     zeb_decode_info &info, StartCheck starts)
{
    using elem = typename Width<W>::elem;
    int64_t byte = 0;
    GroupSize<W> group(r.slice());
    for (int32_t b = 0; b < nb; ++b) {
        const int64_t o = int64_t(b) * bs;
        info.used = byte;
        if (!starts.fits(b, byte))
            return misplaced(info, b, byte, o);
        uint64_t v;
        if (!r.whole(byte, Width<W>::bytes, v))
            return fail(info, ZEB_E_BODY_END, 8 * byte, 0, b, o);
        r.start(byte + Width<W>::bytes);
        if (o + bs <= cap) {
            elem *out = data + o;
            out[0] = elem(v);
            if constexpr (R::bounded) {
                int64_t failed = 0, slow = 0;
                if (!decode_run_of_codes(group, r, v, out, 1, bs, &failed, slow))
                    return fail(info, r.fail_status, r.fail_bit, failed, b, o + failed);
                group.update(int64_t(bs) - 1, r.bitpos() - 8 * byte - W, slow);
            } else {
                for (int64_t j = 1; j < bs; ++j) {
                    if (ZEB_UNLIKELY(!r.template code<W>(v)))
                        return fail(info, r.fail_status, r.fail_bit, j, b, o + j);
                    out[j] = elem(v);
                }
            }
        } else {
            if (o < cap)
                data[o] = elem(v);
            for (int32_t j = 1; j < bs; ++j) {
                if (!r.template code<W>(v))
                    return fail(info, r.fail_status, r.fail_bit, j, b, o + j);
                if (o + j < cap)
                    data[o + j] = elem(v);
            }
        }
        byte = (r.bitpos() + 7) >> 3;
    }
    info.used = byte;
    info.elements = int64_t(nb) * bs;
    return ZEB_OK;
}

// Types 2 and 3: each block is its first element followed by segments, each
// opened by a count byte K: K < 128 is a literal segment of K codes padded
// to a byte boundary, K >= 128 a run of 257 - K equal differences given
// once.  The output index o runs on over all blocks; a segment that covers
// more differences than its block still misses is a bad loop, detected after
// the segment's elements are counted (those past cap are not stored).
template <int W, class R>
int32_t decode_run(R &r, typename Width<W>::elem *data, int64_t cap, int32_t bs, int32_t nb,
                   zeb_decode_info &info, StartCheck starts)
{
    using elem = typename Width<W>::elem;
    constexpr int wb = Width<W>::bytes;
    uint64_t v;
    if (bs == 1) {
        // One element per block, then a byte without meaning.
        for (int32_t b = 0; b < nb; ++b) {
            const int64_t at = int64_t(b) * (wb + 1);
            info.used = at;
            if (!starts.fits(b, at))
                return misplaced(info, b, at, b);
            if (!r.whole(at, wb, v))
                return fail(info, ZEB_E_BODY_END, 8 * at, 0, b, b);
            if (b < cap)
                data[b] = elem(v);
        }
        info.used = int64_t(nb) * (wb + 1);
        info.elements = nb;
        return ZEB_OK;
    }
    int64_t i = 0, o = 0;
    GroupSize<W> group(r.slice());
    for (int32_t b = 0; b < nb; ++b) {
        const int64_t block_start = o;
        info.used = i;
        if (!starts.fits(b, i))
            return misplaced(info, b, i, o);
        if (!r.whole(i, wb, v))
            return fail(info, ZEB_E_BODY_END, 8 * i, 0, b, o);
        if (o < cap)
            data[o] = elem(v);
        ++o;
        i += wb;
        int64_t missing = int64_t(bs) - 1;
        do {
            uint64_t k;
            if (!r.whole(i, 1, k))
                return fail(info, ZEB_E_BODY_END, 8 * i, o - block_start, b, o);
            int64_t count;
            if (k >= 128) {
                uint64_t d;  // 8-bit elements use only the first of the two bytes
                if (!r.whole(i + 1, wb, d))
                    return fail(info, ZEB_E_BODY_END, 8 * i, o - block_start, b, o);
                count = 257 - int64_t(k);
                int64_t stored = cap - o;
                stored = stored < 0 ? 0 : (stored > count ? count : stored);
                elem *out = data + (stored > 0 ? o : 0);
                for (int64_t t = 0; t < stored; ++t) {
                    v += d;
                    out[t] = elem(v);
                }
                v += d * uint64_t(count - stored);
                o += count;
                i += 3;
            } else {
                count = int64_t(k);
                r.start(i + 1);
                int64_t t = 0;
                if constexpr (R::bounded) {
                    // Groups where the whole segment is stored (the element
                    // before it is then in data too).
                    if (count > 1 && o + count <= cap) {
                        int64_t failed = 0, slow = 0;
                        if (!decode_run_of_codes(group, r, v, data + o, 0, count, &failed, slow)) {
                            o += failed;
                            return fail(info, r.fail_status, r.fail_bit, o - block_start, b, o);
                        }
                        group.update(count, r.bitpos() - 8 * (i + 1), slow);
                        o += count;
                        t = count;
                    }
                }
                for (; t < count; ++t) {
                    if (!r.template code<W>(v))
                        return fail(info, r.fail_status, r.fail_bit, o - block_start, b, o);
                    if (o < cap)
                        data[o] = elem(v);
                    ++o;
                }
                i = (r.bitpos() + 7) >> 3;
            }
            missing -= count;
            if (missing < 0) {
                info.element = o - block_start;
                info.block = b;
                info.nc = missing;
                info.in = info.elements = o;
                return info.status = ZEB_E_BAD_LOOP;
            }
        } while (missing > 0);
    }
    info.used = i;
    info.elements = o;
    return ZEB_OK;
}

template <int W, class R>
int32_t decode_width(R &r, bool run, void *data, int64_t cap, int32_t bs, int32_t nb, zeb_decode_info &info,
                     const BlockStarts *starts)
{
    auto *out = static_cast<typename Width<W>::elem *>(data);
    return run ? decode_run<W>(r, out, cap, bs, nb, info, StartCheck(starts))
               : decode_plain<W>(r, out, cap, bs, nb, info, StartCheck(starts));
}

// The checks every entry point shares, then the decoder of the type.  The
// compression type is known to be valid.  make_reader builds the reader from
// the code parameters once the slice is known to be in range.
template <class MakeReader>
int32_t decode_checked(int32_t ct, void *data, int64_t cap, int32_t slice, int32_t bs, int32_t nb,
                       zeb_decode_info &info, MakeReader make_reader, const BlockStarts *starts = nullptr)
{
    if (nb <= 0)
        return ZEB_OK;
    if (slice < 0 || slice > max_slice(ct))
        return info.status = ZEB_E_BAD_SLICE;
    if (bs < 1) {
        if (!is_run_length(ct))
            return info.status = ZEB_E_BAD_BLOCK_SIZE;
        // The classic run-length decoders store the first element and then
        // report a bad loop; the array has no room for it, so it is only counted.
        info.nc = int64_t(bs) - 1;
        info.block = 0;
        info.in = info.elements = 1;
        return info.status = ZEB_E_BAD_LOOP;
    }
    const int w = 8 * zeb_compression_width(ct);
    auto reader = make_reader(CodeParams(slice, w));
    const bool run = is_run_length(ct);
    int32_t status;
    switch (w) {
    case 8: status = decode_width<8>(reader, run, data, cap, bs, nb, info, starts); break;
    case 16: status = decode_width<16>(reader, run, data, cap, bs, nb, info, starts); break;
    default: status = decode_width<32>(reader, run, data, cap, bs, nb, info, starts); break;
    }
    return info.status = status;
}

void init_info(zeb_decode_info &info, int32_t ct, int32_t slice, int32_t bs)
{
    info = zeb_decode_info{};
    info.status = ZEB_OK;
    info.compression_type = ct;
    info.slice = slice;
    info.block_size = bs;
}

int64_t array_elements(int32_t bs, int32_t nb)
{
    return (bs > 0 && nb > 0) ? int64_t(bs) * nb : 0;
}

// The classic unchecked decoders: the exact-fetch reader, the classic report.
int32_t classic(int32_t ct, const uint8_t *body, void *data, int32_t slice, int32_t bs, int32_t nb)
{
    zeb_decode_info info;
    init_info(info, ct, slice, bs);
    const int64_t cap = array_elements(bs, nb);
    int32_t status;
    if (nb > 0 && (!body || (!data && cap > 0)))
        status = info.status = ZEB_E_BAD_ARGUMENT;
    else
        status = decode_checked(ct, data, cap, slice, bs, nb, info,
                                [body](const CodeParams &cp) { return ExactBits(body, cp); });
    if (status == ZEB_OK)
        return 1;
    zeb_decode_report(&info);
    return -1;
}

int32_t bounded(int32_t ct, const uint8_t *body, int64_t body_len, void *data, int32_t slice, int32_t bs,
                int32_t nb)
{
    zeb_decode_info info;
    if (zeb_decode(ct, body, body_len, data, array_elements(bs, nb), slice, bs, nb, &info) == ZEB_OK)
        return 1;
    zeb_decode_report(&info);
    return -1;
}

}  // namespace

int32_t zeb::detail::decode_with_starts(int32_t compression_type, const uint8_t *body, int64_t body_len, void *data,
                                        int64_t capacity, int32_t slice, int32_t block_size, int32_t nblocks,
                                        const BlockStarts *starts, zeb_decode_info *info)
{
    zeb_decode_info local;
    zeb_decode_info &inf = info ? *info : local;
    init_info(inf, compression_type, slice, block_size);
    if (zeb_compression_width(compression_type) == 0)
        return inf.status = ZEB_E_UNKNOWN_COMPRESSION;
    if (body_len < 0 || capacity < 0 || (!body && body_len > 0) || (!data && capacity > 0))
        return inf.status = ZEB_E_BAD_ARGUMENT;
    return decode_checked(
        compression_type, data, capacity, slice, block_size, nblocks, inf,
        [body, body_len](const CodeParams &cp) { return BoundedBits(body, body_len, cp); }, starts);
}

extern "C" {

ZEB_API int32_t zeb_decode(int32_t compression_type, const uint8_t *body, int64_t body_len, void *data,
                           int64_t capacity, int32_t slice, int32_t block_size, int32_t nblocks,
                           zeb_decode_info *info)
{
    return zeb::detail::decode_with_starts(compression_type, body, body_len, data, capacity, slice, block_size,
                                           nblocks, nullptr, info);
}

ZEB_API void zeb_decode_report(const zeb_decode_info *info)
{
    if (!info || info->status == ZEB_OK)
        return;
    const int32_t ct = info->compression_type;
    const bool run = is_run_length(ct);
    auto detail = [info, run]() {
        if (run)
            std::fprintf(stderr, "i = %" PRId64 ", r1 = %" PRId64 ", iy = %" PRId64 "\n", info->byte_index,
                         info->bit_index, info->block);
        else
            std::fprintf(stderr, "i = %" PRId64 ", r1 = %" PRId64 ", ix= %" PRId64 ", iy = %" PRId64 "\n",
                         info->byte_index, info->bit_index, info->element, info->block);
    };
    switch (info->status) {
    case ZEB_E_BAD_BITS:
        if (ct == ZEB_CT_CRUNCH8) {
            std::fputs("DECRUNCH -- bad bit sequence, cannot continue", stderr);
        } else {
            std::fputs("DECRUNCH -- bad bit sequence, cannot continue\n", stderr);
            detail();
        }
        break;
    case ZEB_E_BAD_LOOP:
        std::fprintf(stderr, "bad loop in %s, nc=%" PRId64 ", iy=%" PRId64 ", in= %" PRId64 "\n",
                     ct == ZEB_CT_CRUNCHRUN8 ? "decrunchrun8" : "decrunchrun", info->nc, info->block, info->in);
        break;
    case ZEB_E_BODY_END:
        std::fputs("DECRUNCH -- unexpected end of compressed data, cannot continue\n", stderr);
        detail();
        break;
    case ZEB_E_BAD_SLICE:
        std::fprintf(stderr, "DECRUNCH -- slice %d not supported (0 to %d), cannot continue\n", int(info->slice),
                     int(max_slice(ct)));
        break;
    case ZEB_E_BAD_BLOCK_SIZE:
        std::fprintf(stderr, "DECRUNCH -- bad block size %d, cannot continue\n", int(info->block_size));
        break;
    default:
        std::fprintf(stderr, "DECRUNCH -- %s, cannot continue\n", zeb_status_text(info->status));
        break;
    }
}

ZEB_API int32_t zebdecrunch8(const uint8_t *body, uint8_t *data, int32_t slice, int32_t block_size,
                             int32_t nblocks, int32_t /*host_little_endian*/)
{
    return classic(ZEB_CT_CRUNCH8, body, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunch(const uint8_t *body, int16_t *data, int32_t slice, int32_t block_size,
                            int32_t nblocks, int32_t /*host_little_endian*/)
{
    return classic(ZEB_CT_CRUNCH16, body, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunch32(const uint8_t *body, int32_t *data, int32_t slice, int32_t block_size,
                              int32_t nblocks, int32_t /*host_little_endian*/)
{
    return classic(ZEB_CT_CRUNCH32, body, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunchrun8(const uint8_t *body, uint8_t *data, int32_t slice, int32_t block_size,
                                int32_t nblocks, int32_t /*host_little_endian*/)
{
    return classic(ZEB_CT_CRUNCHRUN8, body, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunchrun(const uint8_t *body, int16_t *data, int32_t slice, int32_t block_size,
                               int32_t nblocks, int32_t /*host_little_endian*/)
{
    return classic(ZEB_CT_CRUNCHRUN16, body, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunch8_bounded(const uint8_t *body, int64_t body_len, uint8_t *data, int32_t slice,
                                     int32_t block_size, int32_t nblocks, int32_t /*host_little_endian*/)
{
    return bounded(ZEB_CT_CRUNCH8, body, body_len, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunch_bounded(const uint8_t *body, int64_t body_len, int16_t *data, int32_t slice,
                                    int32_t block_size, int32_t nblocks, int32_t /*host_little_endian*/)
{
    return bounded(ZEB_CT_CRUNCH16, body, body_len, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunch32_bounded(const uint8_t *body, int64_t body_len, int32_t *data, int32_t slice,
                                      int32_t block_size, int32_t nblocks, int32_t /*host_little_endian*/)
{
    return bounded(ZEB_CT_CRUNCH32, body, body_len, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunchrun8_bounded(const uint8_t *body, int64_t body_len, uint8_t *data, int32_t slice,
                                        int32_t block_size, int32_t nblocks, int32_t /*host_little_endian*/)
{
    return bounded(ZEB_CT_CRUNCHRUN8, body, body_len, data, slice, block_size, nblocks);
}

ZEB_API int32_t zebdecrunchrun_bounded(const uint8_t *body, int64_t body_len, int16_t *data, int32_t slice,
                                       int32_t block_size, int32_t nblocks, int32_t /*host_little_endian*/)
{
    return bounded(ZEB_CT_CRUNCHRUN16, body, body_len, data, slice, block_size, nblocks);
}

}  // extern "C"
