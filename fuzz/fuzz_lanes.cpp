// Indexed decoding with the vector lanes against the scalar decoder.  The
// input picks a plain stream type, slice, row length, index spacing and the
// array's differences (small ones, spikes that need escapes, runs), then
// edits to the index entries and to the body's bytes.  Decoded with the
// lanes and without, on one thread, the two must give the same status and
// failure record, and where they succeed the same elements.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../src/codec/zebdecode_internal.h"
#include "zebcodec.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ZEB_PARALLEL_MIN_BYTES", "0", 1);
    return 0;
}

namespace {

using Input = FuzzInput;

struct Outcome {
    int32_t status;
    zeb_decode_info info;
    std::vector<uint8_t> out;
};

Outcome decode(bool lanes, int32_t ct, const std::vector<uint8_t> &body, int64_t bytes, int32_t slice, int32_t bs,
               int32_t nb, int32_t every, const std::vector<int64_t> &offsets)
{
    zeb::detail::set_decode_lanes(lanes);
    Outcome o;
    o.out.assign(size_t(bytes), 0x5a);
    o.info = zeb_decode_info{};
    // An exact copy of the body, so that a read past it is caught.
    std::vector<uint8_t> exact(body);
    o.status = zeb_decode_indexed(ct, exact.data(), int64_t(exact.size()), o.out.data(), int64_t(nb) * bs, slice,
                                  bs, nb, every, offsets.data(), int64_t(offsets.size()), 1, &o.info);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size};
    static const int32_t types[3] = {ZEB_CT_CRUNCH8, ZEB_CT_CRUNCH16, ZEB_CT_CRUNCH32};
    const int32_t ct = types[in.byte() % 3];
    const int width = zeb_compression_width(ct);
    const int32_t slice = in.byte() % (ct == ZEB_CT_CRUNCH32 ? 33 : 18);
    const int32_t bs = 1 + in.byte() % 40;
    const int32_t every = 1 + in.byte() % 3;
    const int32_t nb = 32 * every + in.byte() % 40;  // pieces of 16 entries or more
    const int64_t n = int64_t(bs) * nb;
    // The elements: a walk whose steps the input gives, a byte a step (the
    // byte's top bits choose a small step, a spike or a repeat).
    std::vector<uint8_t> arr(static_cast<size_t>(n * width));
    uint32_t v = 1000;
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t b = in.byte();
        switch (b >> 6) {
        case 0: v += uint32_t(int32_t(b & 63) - 32); break;
        case 1: v += uint32_t(int32_t(b & 63) - 32) << 10; break;
        case 2: v ^= uint32_t(b) << 24 | uint32_t(b) << 9; break;
        default: break;
        }
        std::memcpy(arr.data() + i * width, &v, size_t(width));  // little-endian hosts
    }
    const int64_t bound = zeb_compress_bound(ct, slice, bs, nb);
    std::vector<uint8_t> stream(static_cast<size_t>(bound));
    std::vector<int64_t> offsets(static_cast<size_t>((nb - 1) / every));
    const int32_t got = zeb_encode_indexed(ct, stream.data(), arr.data(), slice, bs, nb, int32_t(bound), 1, every,
                                           offsets.data());
    if (got < 14)
        return 0;
    const int32_t hslice = stream[12];  // 8-bit streams record at most 8
    std::vector<uint8_t> body(stream.begin() + 14, stream.begin() + got);
    // Edits: (what, where, amount) triples.
    while (in.n >= 3) {
        const uint8_t what = in.byte(), where = in.byte(), amount = in.byte();
        if (what & 1) {
            if (!offsets.empty())
                offsets[where % offsets.size()] += int64_t(amount % 9) - 4;
        } else if (what & 2) {
            if (!body.empty())
                body[(size_t(where) * 131 + amount) % body.size()] ^= uint8_t(1 << (amount & 7));
        } else if (body.size() > 1) {
            body.resize(body.size() - 1 - amount % 8 % body.size());
        }
    }
    const Outcome a = decode(true, ct, body, n * width, hslice, bs, nb, every, offsets);
    const Outcome b = decode(false, ct, body, n * width, hslice, bs, nb, every, offsets);
    CHECK(a.status == b.status);
    CHECK(std::memcmp(&a.info, &b.info, sizeof a.info) == 0);
    if (a.status == ZEB_OK)
        CHECK(a.out == b.out);
    return 0;
}
