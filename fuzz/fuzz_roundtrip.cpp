// Encode, decode, compare.  The first 4 bytes choose the compression type,
// slice, block size and a tight output limit (the first also how many pieces
// the threaded encoder cuts the blocks into, and on how many threads); the
// rest are the elements.  The encoder must never write at or beyond its
// limit, must succeed with the bound it advertises, and a tight limit gives
// either -1 or the same stream.  The threaded encoder, and the encoder that
// hands the stream out in pieces, must give exactly what the one-thread
// encoder gives, with either limit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zebcodec.h"
#include "../src/codec/zebencode_internal.h"

namespace {
constexpr uint8_t kCanary = 0xA5;
constexpr size_t kGuard = 32;

// What zeb_encode_to hands out, appended in order (any gap or overlap aborts).
struct Collected {
    std::vector<uint8_t> bytes;
};

int32_t collect(void *context, const uint8_t *p, int64_t n, int64_t offset)
{
    auto *c = static_cast<Collected *>(context);
    if (n <= 0 || offset != int64_t(c->bytes.size()))
        std::abort();
    c->bytes.insert(c->bytes.end(), p, p + n);
    return 0;
}

void check_canary(const std::vector<uint8_t> &buf, size_t from)
{
    for (size_t i = from; i < buf.size(); ++i)
        if (buf[i] != kCanary)
            std::abort();  // written at or beyond limit
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    if (n < 4)
        return 0;
    const int32_t ct = in[0] % 5;
    const int32_t width = zeb_compression_width(ct);
    const int32_t max_slice = ct == ZEB_CT_CRUNCH32 ? 32 : ct == ZEB_CT_CRUNCH8 ? 9 : 17;
    const int32_t slice = in[1] % (max_slice + 1);
    const int32_t block_size = 1 + in[2] % 200;
    const size_t elements = (n - 4) / width;
    const int32_t nblocks = static_cast<int32_t>(elements / block_size);
    const uint8_t *data = in + 4;
    std::vector<uint8_t> copy(data, data + size_t(nblocks) * block_size * width);  // exact-size input

    int64_t bound = zeb_compress_bound(ct, slice, block_size, nblocks);
    if (bound < 25)
        std::abort();
    std::vector<uint8_t> stream(size_t(bound) + kGuard, kCanary);
    int32_t size = zeb_encode(ct, stream.data(), copy.data(), slice, block_size, nblocks, int32_t(bound), 0);
    if (size < ZEB_COMPRESS_HEADER_SIZE || size > bound)
        std::abort();  // the advertised bound must always suffice
    check_canary(stream, size_t(bound));

    std::vector<uint8_t> out(copy.size() + 1);
    zeb_decode_info info;
    int32_t st = zeb_decode(ct, stream.data() + ZEB_COMPRESS_HEADER_SIZE, size - ZEB_COMPRESS_HEADER_SIZE,
                            out.data(), int64_t(nblocks) * block_size, stream[12], block_size, nblocks, &info);
    if (st != ZEB_OK || info.elements != int64_t(nblocks) * block_size ||
        (!copy.empty() && std::memcmp(out.data(), copy.data(), copy.size()) != 0))
        std::abort();  // lossless round trip

    // A tight limit: -1, or exactly the same stream; never a byte past it.
    int32_t limit = 25 + int32_t(in[3] * (size - 10) / 255);
    std::vector<uint8_t> tight(size_t(limit) + kGuard, kCanary);
    int32_t r = zeb_encode(ct, tight.data(), copy.data(), slice, block_size, nblocks, limit, 0);
    check_canary(tight, size_t(limit));
    if (r >= 0 && (r != size || std::memcmp(tight.data(), stream.data(), size_t(size)) != 0))
        std::abort();
    if (r < 0 && r != ZEB_E_NO_ROOM)
        std::abort();

    // The blocks in pieces: the same result and bytes, with the bound, the
    // tight limit and a limit just around the stream's end.
    const int32_t pieces = 1 + (in[0] / 5) % 6, threads = 1 + (in[0] / 30) % 2;
    const int32_t near = size + 8 - int32_t(in[3] % 12);
    for (int32_t lim : {int32_t(bound), limit, near < 25 ? 25 : near}) {
        std::vector<uint8_t> one(size_t(lim) + kGuard, kCanary), par(size_t(lim) + kGuard, kCanary);
        const int32_t r1 = zeb_encode(ct, one.data(), copy.data(), slice, block_size, nblocks, lim, 0);
        const int64_t every = 1 + in[3] % 5, marks = nblocks > 0 ? (nblocks - 1) / every : 0;
        std::vector<int64_t> offsets_p(size_t(marks) + 1, -1), offsets_s(size_t(marks) + 1, -1);
        const int32_t rp = zeb::detail::encode_pieces(ct, par.data(), copy.data(), slice, block_size, nblocks, lim, 0,
                                                      pieces, threads, every, offsets_p.data());
        check_canary(par, size_t(lim));
        if (rp != r1 || (r1 >= 0 && std::memcmp(one.data(), par.data(), size_t(r1)) != 0))
            std::abort();
        // Handed out piece by piece: in order, back to back, the same bytes.
        Collected got;
        got.bytes.assign(ZEB_COMPRESS_HEADER_SIZE, 0);
        uint8_t header[ZEB_COMPRESS_HEADER_SIZE];
        const int32_t rs = zeb::detail::encode_stream(ct, copy.data(), slice, block_size, nblocks, lim, pieces, threads,
                                                      every, offsets_s.data(), &collect, &got, header);
        if (rs >= 0)
            std::memcpy(got.bytes.data(), header, sizeof header);
        if (rs >= 0 && offsets_s != offsets_p)
            std::abort();  // the same seek index
        if (rs != r1 || (r1 >= 0 && (got.bytes.size() != size_t(r1) ||
                                     std::memcmp(one.data(), got.bytes.data(), size_t(r1)) != 0)))
            std::abort();
    }

    // The stream choice, with the rows of this input (the model and its
    // exact check for every other input, every layout counted for the rest):
    // its size is exact and never above the slice-5 plain stream.
    if (nblocks > 0) {
        const int32_t plain = width == 1 ? ZEB_CT_CRUNCH8 : width == 2 ? ZEB_CT_CRUNCH16 : ZEB_CT_CRUNCH32;
        zeb_stream_choice ch;
        if (zeb::detail::choose_stream(width, copy.data(), int64_t(nblocks) * block_size, block_size, threads,
                                       in[3] & 1 ? 0 : 1 << 20, &ch) != ZEB_OK)
            std::abort();
        auto sized = [&](int32_t type, int32_t s, int32_t bs, int32_t nb) {
            const int64_t b = zeb_compress_bound(type, s, bs, nb);
            std::vector<uint8_t> buf(static_cast<size_t>(b));
            return zeb_encode(type, buf.data(), copy.data(), s, bs, nb, int32_t(b), 0);
        };
        const int32_t chosen = sized(ch.compression_type, ch.slice, ch.block_size, ch.nblocks);
        if (chosen != ch.stream_size || chosen > sized(plain, 5, block_size, nblocks) ||
            int64_t(ch.block_size) * ch.nblocks != int64_t(nblocks) * block_size)
            std::abort();
    }
    return 0;
}
