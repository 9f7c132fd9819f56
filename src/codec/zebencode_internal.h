// Internal pieces of the encoder, shared by zebcompress.cpp (one thread),
// zebencode_threads.cpp (blocks coded in pieces on several threads),
// zebencode_stream.cpp (pieces handed out as they are done),
// zebchoose.cpp and the fuzz targets.  Not part of the library's interface.
#ifndef ZEBENCODE_INTERNAL_H
#define ZEBENCODE_INTERNAL_H

#include <cstdint>

#include "zebcodec.h"

namespace zeb::detail {

// The argument checks of zeb_encode, in its order: ZEB_OK or its status.
int32_t encode_check(int32_t compression_type, const uint8_t *stream, const void *data, int32_t slice,
                     int32_t block_size, int32_t nblocks, int32_t limit);

// Header bytes 4 to 13 (nblocks, block_size in host order, slice as coded, type).
void encode_header(int32_t compression_type, uint8_t *stream, int32_t slice, int32_t block_size, int32_t nblocks);

// Codes blocks [b0, b1) of data (checked arguments) into out from byte pos.
// Nothing is written at or beyond byte limit of out, and a difference is
// coded only while its first bit lies in a byte not beyond room_end (the one-
// thread stream uses limit - 10; room_end = limit tests nothing but the
// bytes written).  Every block starts on a byte boundary and depends on no
// other, so the bytes of a block do not depend on pos.  Returns the byte
// after the last block, or ZEB_E_NO_ROOM.
int64_t encode_blocks(int32_t compression_type, uint8_t *out, int64_t pos, int64_t limit, int64_t room_end,
                      const void *data, int32_t slice, int64_t block_size, int64_t b0, int64_t b1);

// Stores stream_size (<= INT32_MAX), swaps the header fields for a big-endian
// host as zeb_encode does, and returns stream_size.
int32_t encode_finish(uint8_t *stream, int64_t stream_size, int32_t host_big_endian);

// zeb_encode_threads with the piece count forced: blocks in `pieces`
// contiguous ranges (at most nblocks), run on up to `threads` threads, for any
// array size.  Same results as zeb_encode.  With offsets, records where
// blocks start as zeb_encode_indexed does (every >= 1).
int32_t encode_pieces(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice,
                      int32_t block_size, int32_t nblocks, int32_t limit, int32_t host_big_endian, int32_t pieces,
                      int32_t threads, int64_t every = 0, int64_t *offsets = nullptr);

// zeb_encode_to with the piece count forced (1 to nblocks) and on up to
// `threads` threads, for any array size.
int32_t encode_stream(int32_t compression_type, const void *data, int32_t slice, int32_t block_size,
                      int32_t nblocks, int32_t limit, int64_t pieces, int threads, int64_t every, int64_t *offsets,
                      zeb_stream_sink sink, void *context, uint8_t *header);

// zeb_choose_stream with the size up to which every layout is counted
// exactly (the model and the exact check of its pick above it).
int32_t choose_stream(int32_t width, const void *data, int64_t count, int32_t row_length, int32_t threads,
                      int64_t exhaustive_max, zeb_stream_choice *choice);

}  // namespace zeb::detail

#endif
