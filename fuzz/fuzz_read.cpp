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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    std::vector<uint8_t> exact(in, in + n);  // exactly n bytes: any overread is caught
    for (int32_t flags : {0, ZEB_READ_STRICT}) {
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
