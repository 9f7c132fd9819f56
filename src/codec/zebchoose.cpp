// Choosing the stream layout for an array (provisional: the plain code with
// slice 5 and row blocks, until the size model lands).
#include "zebcodec.h"

extern "C" ZEB_API int32_t zeb_choose_stream(int32_t width, const void *data, int64_t count,
                                             int32_t row_length, int32_t threads, zeb_stream_choice *choice)
{
    (void)data;
    (void)threads;
    if ((width != 1 && width != 2 && width != 4) || count < 1 || row_length < 1 || count % row_length != 0 ||
        count / row_length > INT32_MAX || !choice)
        return ZEB_E_BAD_ARGUMENT;
    choice->compression_type = width == 1 ? ZEB_CT_CRUNCH8 : width == 2 ? ZEB_CT_CRUNCH16 : ZEB_CT_CRUNCH32;
    choice->slice = 5;
    choice->block_size = row_length;
    choice->nblocks = static_cast<int32_t>(count / row_length);
    choice->stream_size = -1;
    return ZEB_OK;
}
