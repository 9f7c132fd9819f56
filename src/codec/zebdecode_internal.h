// Internal pieces of the decoder, shared by zebdecompress.cpp and
// zebdecode_threads.cpp.  Not part of the library's interface.
#ifndef ZEBDECODE_INTERNAL_H
#define ZEBDECODE_INTERNAL_H

#include <cstdint>

#include "zebcodec.h"

namespace zeb::detail {

// Where some blocks of a body must begin, as a seek index gives them: block
// (i + 1) * every begins at body offset offsets[i] - base, for i < count.
struct BlockStarts {
    int64_t every = 1;
    const int64_t *offsets = nullptr;
    int64_t count = 0;
    int64_t base = 0;
};

// zeb_decode, which also requires each block that starts names to begin
// exactly where it says (checked as the decoding reaches the block, so the
// cost is one comparison a block).  A block that begins elsewhere stops the
// decoding with ZEB_E_BAD_INDEX, info->block that block and info->used the
// offset where it really begins.
int32_t decode_with_starts(int32_t compression_type, const uint8_t *body, int64_t body_len, void *data,
                           int64_t capacity, int32_t slice, int32_t block_size, int32_t nblocks,
                           const BlockStarts *starts, zeb_decode_info *info);

}  // namespace zeb::detail

#endif
