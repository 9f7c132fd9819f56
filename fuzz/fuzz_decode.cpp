// Arbitrary bytes into every bounded decoder.  The first 10 bytes choose the
// compression type, slice, block size and block count; the rest is the body.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zebcodec.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ZEB_PARALLEL_MIN_BYTES", "0", 1);  // small arrays take the threaded paths too
    stderr = fopen("/dev/null", "w");  // the decoders' messages; sanitizer reports still reach fd 2
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    if (n < 10)
        return 0;
    int32_t ct = in[0] % 5;
    int32_t slice = static_cast<int8_t>(in[1]);  // negative and oversized slices too
    int32_t block_size, nblocks;
    std::memcpy(&block_size, in + 2, 4);
    std::memcpy(&nblocks, in + 6, 4);
    // Keep the output small: the decoders are given room for exactly the
    // elements they are told to produce, as their callers must do.
    block_size = block_size % 4097;
    nblocks = nblocks % 257;
    int64_t elements = int64_t(block_size > 0 ? block_size : 1) * (nblocks > 0 ? nblocks : 0);
    const uint8_t *body = in + 10;
    int64_t len = static_cast<int64_t>(n - 10);
    // A copy of exactly len bytes, so that any read past the body is caught.
    std::vector<uint8_t> exact(body, body + len);
    const uint8_t *b = exact.empty() ? nullptr : exact.data();
    std::vector<uint8_t> out(static_cast<size_t>(elements * 4 + 1));
    switch (ct) {
    case 0: zebdecrunch_bounded(b, len, reinterpret_cast<int16_t *>(out.data()), slice, block_size, nblocks, 1); break;
    case 1: zebdecrunch8_bounded(b, len, out.data(), slice, block_size, nblocks, 1); break;
    case 2: zebdecrunchrun_bounded(b, len, reinterpret_cast<int16_t *>(out.data()), slice, block_size, nblocks, 1); break;
    case 3: zebdecrunchrun8_bounded(b, len, out.data(), slice, block_size, nblocks, 1); break;
    default: zebdecrunch32_bounded(b, len, reinterpret_cast<int32_t *>(out.data()), slice, block_size, nblocks, 1); break;
    }
    zeb_decode_info info;
    const int32_t st = zeb_decode(ct, b, len, out.data(), elements, slice, block_size, nblocks, &info);

    // A seek index made of the body's last bytes (every: the body's first
    // byte), which mostly lies: decoding in its pieces, on one thread and on
    // three, must agree with each other, and where it succeeds give what the
    // serial decoder gives.
    if (len < 1 || nblocks < 1)
        return 0;
    const int32_t every = 1 + exact[0] % 8;
    const int64_t count = (int64_t(nblocks) - 1) / every;
    std::vector<int64_t> offsets(size_t(count) + 1, 0);
    for (int64_t i = 0; i < count; ++i)
        offsets[size_t(i)] = exact[size_t(len - 1 - (i % len))] + (i > 0 ? offsets[size_t(i - 1)] : 0);
    std::vector<uint8_t> one(out.size(), 0), three(out.size(), 0);
    zeb_decode_info i1, i3;
    const int32_t s1 = zeb_decode_indexed(ct, b, len, one.data(), elements, slice, block_size, nblocks, every,
                                          offsets.data(), count, 1, &i1);
    const int32_t s3 = zeb_decode_indexed(ct, b, len, three.data(), elements, slice, block_size, nblocks, every,
                                          offsets.data(), count, 3, &i3);
    if (s1 != s3 || std::memcmp(&i1, &i3, sizeof i1) != 0 || (s1 == ZEB_OK && one != three))
        __builtin_trap();
    if (s1 == ZEB_OK && (st != ZEB_OK || std::memcmp(one.data(), out.data(), size_t(elements) * size_t(
                                                         zeb_compression_width(ct))) != 0))
        __builtin_trap();
    return 0;
}
