// Arbitrary bytes as an F0 file image, read strictly and the classic way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zebrw.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    stderr = fopen("/dev/null", "w");  // the reader's messages; sanitizer reports still reach fd 2
    return 0;
}

// Bytes of data the header claims (0 when it has none to claim).  The classic
// read hands out a zero-filled buffer of that size whatever the file holds;
// huge claims only cost a lazy allocation there, but slow the fuzzer down.
static int64_t claimed_bytes(const uint8_t *in, size_t n)
{
    if (n < F0_HEADER_SIZE || in[8] > F0_MAX_DIMS)
        return 0;
    constexpr int64_t huge = int64_t(1) << 40;
    int64_t bytes = zeb_element_size(in[7]);
    for (int i = 0; i < in[8] && bytes > 0; ++i) {
        int32_t d;
        std::memcpy(&d, in + 192 + 4 * i, 4);
        if (d <= 0)
            return 0;
        if (bytes > huge / d)
            return huge;
        bytes *= d;
    }
    return bytes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    std::vector<uint8_t> exact(in, in + n);  // exactly n bytes: any overread is caught
    const bool classic_too = claimed_bytes(in, n) <= (int64_t(64) << 20);
    for (int32_t flags : {ZEB_READ_STRICT, 0}) {
        if (flags == 0 && !classic_too)
            break;
        zeb_image img;
        zeb_report report{};
        int32_t st = zeb_read_memory(exact.data(), static_cast<int64_t>(n), &img, &report, flags);
        zeb_report_print(&report, "fuzz");
        if (st == ZEB_OK && img.data_size > 0) {
            // Touch every byte handed out: it must all be initialised memory.
            volatile uint8_t sum = 0;
            for (int64_t i = 0; i < img.data_size; ++i)
                sum = static_cast<uint8_t>(sum + static_cast<uint8_t *>(img.data)[i]);
        }
        std::free(img.data);
    }
    return 0;
}
