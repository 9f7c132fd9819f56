// Encoding on several threads (provisional: one thread).
#include "zebcodec.h"

extern "C" ZEB_API int32_t zeb_encode_threads(int32_t compression_type, uint8_t *stream, const void *data,
                                              int32_t slice, int32_t block_size, int32_t nblocks, int32_t limit,
                                              int32_t host_big_endian, int32_t threads)
{
    (void)threads;
    return zeb_encode(compression_type, stream, data, slice, block_size, nblocks, limit, host_big_endian);
}
