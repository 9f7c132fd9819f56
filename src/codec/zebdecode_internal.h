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

// Bands of blocks decoded side by side (zebdecode_lanes.cpp): kLanes bands
// of band_blocks blocks each (a multiple of every), band l from block
// l * band_blocks, out receiving the elements of all of them.  starts[l * m
// + i] (m = band_blocks / every, i = 0 .. m) is the offset in body where
// block l * band_blocks + i * every must begin; starts[kLanes * m] is where
// the last band must end.  Offsets lie in [0, len].
constexpr int kLanes = 16;
struct Bands {
    const uint8_t *body = nullptr;
    int64_t len = 0;
    void *out = nullptr;
    int32_t slice = 0;
    int32_t block_size = 0;
    int64_t band_blocks = 0;
    int64_t every = 1;
    const int64_t *starts = nullptr;
};

// Whether decode_bands can run for streams of this type and slice on this
// processor (the environment variable ZEB_DECODE_LANES=0, read once, turns
// it off, so that both ways can be compared).
bool bands_available(int32_t compression_type, int32_t slice);

// Turns the lanes on or off for the whole process, whatever the environment
// says (for the fuzz targets, which compare the two).
void set_decode_lanes(bool on);

// Decodes the bands of job, true when every code decoded and every block
// named by starts began exactly there.  False (with the elements
// unspecified) for anything else, and where the lanes are not available:
// the caller then decodes with the scalar decoder, which says what is wrong.
bool decode_bands(int32_t compression_type, const Bands &job);

}  // namespace zeb::detail

#endif
