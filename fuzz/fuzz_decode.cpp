// Arbitrary bytes into every bounded decoder.  The first 10 bytes choose the
// compression type, slice, block size and block count; the rest is the body.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zebcodec.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
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
    zeb_decode(ct, b, len, out.data(), elements, slice, block_size, nblocks, &info);
    return 0;
}
