/*
 * zebcodec.h - the crunch codec: compressed stream header, compression types,
 * encoders (zebcompress) and decoders (zebdecompress).
 *
 * A stream is a 14-byte compress_header followed by the body.  All multi-byte
 * integers are little-endian; body bits are numbered from the least
 * significant bit of each byte.
 *
 * Three families of entry points:
 *
 *  - The classic six-argument decoders (zebdecrunch, ...) take no body length.
 *    They are UNCHECKED: the caller must hand them a whole, well-formed stream
 *    body followed by at least 4 spare readable bytes.  On a damaged or short
 *    body they may read up to 4 bytes past the last byte the codes lead them
 *    to.  Never give them untrusted input; use the _bounded variants instead.
 *
 *  - The bounded decoders (zebdecrunch_bounded, ...) take the body length in
 *    bytes and never read outside [body, body + body_len), whatever the input.
 *    Running into the end of the body is a failure (-1 and a message).  They
 *    never write outside nblocks * block_size elements of data.
 *
 *  - The core functions zeb_decode and zeb_encode print nothing: they return a
 *    status and fill an info record; zeb_decode_report and zeb_encode_report
 *    print the classic message for a failure.
 *
 * The classic encoders print "limit (%d) too small in ..." on standard output;
 * the decoders print their failures on standard error.  None of these
 * functions keeps state; all are reentrant.
 */
#ifndef ZEBCODEC_H
#define ZEBCODEC_H

#include <stdint.h>
#include "zebcommon.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEB_COMPRESS_HEADER_SIZE 14

/* The compress_header as values (the stream stores it packed, little-endian:
 * stream_size at offset 0, nblocks at 4, block_size at 8, slice at 12,
 * compression_type at 13). */
typedef struct compress_header {
    int32_t stream_size;      /* bytes of the whole stream, header included */
    int32_t nblocks;          /* number of blocks */
    int32_t block_size;       /* elements per block */
    uint8_t slice;            /* low-order bits stored verbatim */
    uint8_t compression_type; /* one of ZEB_CT_* */
} compress_header;

enum zeb_compression_type {
    ZEB_CT_CRUNCH16 = 0,    /* plain, 16-bit elements */
    ZEB_CT_CRUNCH8 = 1,     /* plain, 8-bit elements */
    ZEB_CT_CRUNCHRUN16 = 2, /* run-length, 16-bit elements */
    ZEB_CT_CRUNCHRUN8 = 3,  /* run-length, 8-bit elements */
    ZEB_CT_CRUNCH32 = 4     /* plain, 32-bit elements */
};

/* Element width in bytes of a compression type (1, 2 or 4), 0 if unknown. */
ZEB_API int32_t zeb_compression_width(int32_t compression_type);

/* Parses the first 14 bytes of src (len bytes available).  Returns ZEB_OK or
 * ZEB_E_SHORT_COMPRESS_HEADER when len < 14. */
ZEB_API int32_t zeb_parse_compress_header(const uint8_t *src, int64_t len, compress_header *out);

/* ---- decoders ---------------------------------------------------------- */

/* Details of a decoding run.  On failure the fields that describe the place
 * of the failure are filled as the classic messages print them. */
typedef struct zeb_decode_info {
    int32_t status;           /* ZEB_OK or a negative ZEB_E_* code */
    int32_t compression_type;
    int32_t slice;
    int32_t block_size;
    int64_t elements;         /* elements decoded (stored or, past the end of data, counted) */
    int64_t byte_index;       /* bad bit sequence / end of body: body byte of the zero count */
    int64_t bit_index;        /* ... and its body bit index */
    int64_t element;          /* plain decoders: element index within its block */
    int64_t block;            /* block index */
    int64_t nc;               /* bad loop: differences missing minus the segment's count */
    int64_t in;               /* bad loop: elements counted since the start */
    int64_t used;             /* body bytes taken by the blocks decoded whole (on failure:
                                 the byte where the failing block starts) */
} zeb_decode_info;

/* Core decoder: decodes a body of body_len bytes of the given compression
 * type into data, which has room for capacity elements of the type's width
 * (stores beyond capacity are skipped).  Never reads outside the body.
 * slice, block_size and nblocks are the stream header's fields (see
 * zeb_parse_compress_header).  Prints nothing.  Returns ZEB_OK or a
 * negative status; info may be null. */
ZEB_API int32_t zeb_decode(int32_t compression_type, const uint8_t *body, int64_t body_len,
                           void *data, int64_t capacity, int32_t slice, int32_t block_size,
                           int32_t nblocks, zeb_decode_info *info);

/* Prints the classic message of a failed decoding to standard error
 * (nothing for ZEB_OK). */
ZEB_API void zeb_decode_report(const zeb_decode_info *info);

/* Classic decoders, UNCHECKED (see above).  Return 1 when all blocks were
 * decoded, -1 on a bad bit sequence or bad loop (with a message). */
ZEB_API int32_t zebdecrunch8(const uint8_t *body, uint8_t *data, int32_t slice, int32_t block_size,
                             int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunch(const uint8_t *body, int16_t *data, int32_t slice, int32_t block_size,
                            int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunch32(const uint8_t *body, int32_t *data, int32_t slice, int32_t block_size,
                              int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunchrun8(const uint8_t *body, uint8_t *data, int32_t slice, int32_t block_size,
                                int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunchrun(const uint8_t *body, int16_t *data, int32_t slice, int32_t block_size,
                               int32_t nblocks, int32_t host_little_endian);

/* Bounded decoders: as above, but the body is body_len bytes and nothing
 * outside it is read; data must have room for nblocks * block_size elements.
 * Return 1 on success, -1 with a message on any failure, running into the end
 * of the body, a slice the decoder cannot fetch whole (above 17 for 8- and
 * 16-bit, above 32 for 32-bit, or negative) and a block_size below 1 included. */
ZEB_API int32_t zebdecrunch8_bounded(const uint8_t *body, int64_t body_len, uint8_t *data, int32_t slice,
                                     int32_t block_size, int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunch_bounded(const uint8_t *body, int64_t body_len, int16_t *data, int32_t slice,
                                    int32_t block_size, int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunch32_bounded(const uint8_t *body, int64_t body_len, int32_t *data, int32_t slice,
                                      int32_t block_size, int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunchrun8_bounded(const uint8_t *body, int64_t body_len, uint8_t *data, int32_t slice,
                                        int32_t block_size, int32_t nblocks, int32_t host_little_endian);
ZEB_API int32_t zebdecrunchrun_bounded(const uint8_t *body, int64_t body_len, int16_t *data, int32_t slice,
                                       int32_t block_size, int32_t nblocks, int32_t host_little_endian);

/* ---- encoders ---------------------------------------------------------- */

/* Core encoder: builds the whole stream (header and body) of the given
 * compression type in stream[0 .. limit).  Never writes at or beyond limit and
 * never reads data beyond nblocks * block_size elements.  Prints nothing.
 * Returns the stream size (>= 14) or a negative status:
 * ZEB_E_LIMIT_TOO_SMALL (limit <= 24), ZEB_E_NO_ROOM, ZEB_E_BAD_SLICE,
 * ZEB_E_BAD_BLOCK_SIZE, ZEB_E_UNKNOWN_COMPRESSION.
 * Slices taken: 0 to 17 for the 16-bit and run-length types, 0 to 32 for
 * ZEB_CT_CRUNCH32, any from 0 for ZEB_CT_CRUNCH8, which codes with the
 * smaller of slice and 8 and records that one in the header.  So decode
 * with the slice byte of the stream's header, not with this argument. */
ZEB_API int32_t zeb_encode(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice,
                           int32_t block_size, int32_t nblocks, int32_t limit, int32_t host_big_endian);

/* Prints the classic encoder message for a status returned by zeb_encode
 * (on standard output; nothing for statuses that have none). */
ZEB_API void zeb_encode_report(int32_t compression_type, int32_t status, int32_t limit, int32_t slice);

/* A limit with which zeb_encode never fails for lack of room, whatever the
 * data (-1 if it would exceed INT32_MAX or the arguments are invalid). */
ZEB_API int64_t zeb_compress_bound(int32_t compression_type, int32_t slice, int32_t block_size,
                                   int32_t nblocks);

/* As zeb_encode, with the blocks coded in pieces on up to `threads` threads
 * (0 or below: one per core the process may run on) and joined.  Blocks
 * start on byte boundaries and are coded independently, so the result is
 * byte for byte what zeb_encode gives: the same return value (stream size or
 * status), the same stream bytes, nothing written at or beyond limit.
 * Arrays below 1 MiB, and arrays of one block, are coded on one thread (the
 * environment variable ZEB_PARALLEL_MIN_BYTES, read once, overrides the
 * size).  Pieces after the first are coded into buffers of their own and
 * copied; when those cannot be allocated the array is coded on one thread.
 * Prints nothing. */
ZEB_API int32_t zeb_encode_threads(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice,
                                   int32_t block_size, int32_t nblocks, int32_t limit, int32_t host_big_endian,
                                   int32_t threads);

/* As zeb_encode_threads, and records where blocks start: offsets[i]
 * receives the body offset (bytes after the 14-byte stream header) of block
 * (i + 1) * every, for the (nblocks - 1) / every blocks after the first that
 * are multiples of every.  offsets must have room for that many; every below
 * 1 or offsets null record nothing.  The stream is byte for byte that of
 * zeb_encode.  offsets are set only when the result is a stream size. */
ZEB_API int32_t zeb_encode_indexed(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice,
                                   int32_t block_size, int32_t nblocks, int32_t limit, int32_t threads,
                                   int32_t every, int64_t *offsets);


/* Receives a stream from zeb_encode_to: the n bytes (n > 0) that belong at
 * byte `offset` of the stream.  Returns 0 to go on, or a negative status
 * that stops the encoding (zeb_encode_to then returns it). */
typedef int32_t (*zeb_stream_sink)(void *context, const uint8_t *bytes, int64_t n, int64_t offset);

/* As zeb_encode_indexed (host_big_endian 0), without a buffer for the whole
 * stream: the body is coded in pieces of about 512 KiB of array data on up
 * to `threads` threads and handed to sink piece by piece, in stream order
 * (offsets 14, 14 + the first piece's bytes, ...), as soon as a piece and
 * all before it are done, so that the caller can store one piece while
 * others are coded.  The sink is never called by two threads at once (but
 * may be called by any of them); it must not keep the bytes' address.  On
 * success the 14 header bytes, which hold the stream size and are known
 * last, go to header (room for ZEB_COMPRESS_HEADER_SIZE bytes) and the
 * result is the stream size: header and the bytes handed over are byte for
 * byte zeb_encode's stream, and offsets are set as zeb_encode_indexed sets
 * them.  The result is otherwise zeb_encode's status for the same limit
 * (ZEB_E_NO_ROOM for a stream that does not fit, often before the whole
 * body is coded), the sink's own status, or ZEB_E_NO_MEMORY; what the sink
 * received is then no stream.  Prints nothing. */
ZEB_API int32_t zeb_encode_to(int32_t compression_type, const void *data, int32_t slice, int32_t block_size,
                              int32_t nblocks, int32_t limit, int32_t threads, int32_t every, int64_t *offsets,
                              zeb_stream_sink sink, void *context, uint8_t *header);
/* Decodes a body as zeb_decode does, in pieces that start at the blocks a
 * seek index gives, on up to `threads` threads (0 or below: one per core;
 * arrays below ZEB_PARALLEL_MIN_BYTES, see zeb_encode_threads, on one).
 * The index is `count` body offsets: offsets[i] is where block (i + 1) *
 * every starts.  It must match the stream: count = (nblocks - 1) / every,
 * offsets strictly increasing, above 0 and below body_len, and every piece
 * but the last must end exactly where the next begins (neither earlier nor
 * by running into it); otherwise the result is ZEB_E_BAD_INDEX (info->block:
 * the indexed block where the mismatch shows).  There are at most 64 pieces,
 * each of ceil((count + 1) / 64) entries but at least 16 where there are 32
 * entries or more (block 0's included), so that the processor's vector unit
 * can decode 16 bands of a piece side by side (the last piece may have
 * fewer); the decoding of a piece requires
 * each block an entry inside it names to begin exactly at that entry's
 * offset (the same ZEB_E_BAD_INDEX otherwise), so an index that lets the
 * whole body decode names the start of every block it lists.
 * Every piece is bounded by its own bytes and elements, so a wrong index
 * never reads or writes outside the body and the array.  A stream that
 * fails to decode gives what zeb_decode gives for it (positions in the whole
 * body), whatever the thread count; the offsets are checked on one thread
 * too, so the result never depends on threads.  After a failure the
 * array's elements are unspecified.  The environment variable
 * ZEB_DECODE_LANES=0 (read once) keeps the decoding to the scalar decoder;
 * the results are the same either way.  Prints nothing. */
ZEB_API int32_t zeb_decode_indexed(int32_t compression_type, const uint8_t *body, int64_t body_len, void *data,
                                   int64_t capacity, int32_t slice, int32_t block_size, int32_t nblocks,
                                   int32_t every, const int64_t *offsets, int64_t count, int32_t threads,
                                   zeb_decode_info *info);

/* Where zeb_decode_indexed_from takes a piece's bytes from: returns a
 * pointer to bytes [at, at + len) of the body (reading them, say), valid
 * until that piece is decoded (the thread's next fetch, or the decoding's
 * return, may reuse them), or null when they cannot be had.  Called once
 * for each piece it decodes (piece numbers from 0, in any order, from the
 * thread that decodes it, so possibly at the same time as for others), for
 * ranges that do not overlap. */
typedef const uint8_t *(*zeb_body_fetch)(void *context, int64_t piece, int64_t at, int64_t len);

/* As zeb_decode_indexed, with the bytes of each piece from fetch, so that
 * reading them (and checking them) is spread over the threads too.  A piece
 * whose bytes cannot be had decodes as a body that ends where it begins.
 * With arguments zeb_decode refuses, the whole body is fetched as piece 0
 * and the result is zeb_decode's. */
ZEB_API int32_t zeb_decode_indexed_from(int32_t compression_type, zeb_body_fetch fetch, void *context,
                                        int64_t body_len, void *data, int64_t capacity, int32_t slice,
                                        int32_t block_size, int32_t nblocks, int32_t every, const int64_t *offsets,
                                        int64_t count, int32_t threads, zeb_decode_info *info);

/* ---- choosing a stream --------------------------------------------------- */

/* A stream layout for an array: type, slice and blocks. */
typedef struct zeb_stream_choice {
    int32_t compression_type; /* ZEB_CT_* */
    int32_t slice;
    int32_t block_size;       /* elements per block; divides the element count */
    int32_t nblocks;
    int64_t stream_size;      /* bytes of the whole stream, header included: exactly what
                                 zeb_encode returns for this layout */
} zeb_stream_choice;

/* Picks, for count elements of the given width in bytes (1, 2 or 4; native
 * order) laid out in rows of row_length elements, the layout that gives the
 * smallest stream: the plain and run-length codes for 1- and 2-byte elements
 * (every slice they carry), the 32-bit code for 4-byte ones; blocks are rows,
 * or one block for the whole array where that is smaller (run-length).
 * Arrays of up to 4096 elements get the smallest layout exactly; larger ones
 * the best of a model from a sample of rows, counted exactly together with
 * its close rivals.  Either way every field of the choice is exact
 * (stream_size is the size of that stream) and the stream is never larger
 * than the plain one with slice 5 and rows as blocks.  Prints nothing,
 * allocates nothing that outlives the call.  Returns ZEB_OK,
 * ZEB_E_BAD_ARGUMENT (width, count or row_length out of range, row_length
 * not dividing count, more than INT32_MAX rows, data or choice null) or
 * ZEB_E_NO_MEMORY.  threads as for zeb_encode_threads (the counting goes
 * parallel from 4 MiB of data). */
ZEB_API int32_t zeb_choose_stream(int32_t width, const void *data, int64_t count, int32_t row_length,
                                  int32_t threads, zeb_stream_choice *choice);

/* Classic encoders: return the stream size, or -1 when limit is too small
 * (with a message on standard output when limit <= 24) or the arguments are
 * out of range. */
ZEB_API int32_t zebcrunch8(uint8_t *stream, const uint8_t *data, int32_t slice, int32_t block_size,
                           int32_t nblocks, int32_t limit, int32_t host_big_endian);
ZEB_API int32_t zebcrunch(uint8_t *stream, const int16_t *data, int32_t slice, int32_t block_size,
                          int32_t nblocks, int32_t limit, int32_t host_big_endian);
ZEB_API int32_t zebcrunch32(uint8_t *stream, const int32_t *data, int32_t slice, int32_t block_size,
                            int32_t nblocks, int32_t limit, int32_t host_big_endian);
ZEB_API int32_t zebcrunchrun8(uint8_t *stream, const uint8_t *data, int32_t slice, int32_t block_size,
                              int32_t nblocks, int32_t limit, int32_t host_big_endian);
ZEB_API int32_t zebcrunchrun(uint8_t *stream, const int16_t *data, int32_t slice, int32_t block_size,
                             int32_t nblocks, int32_t limit, int32_t host_big_endian);

#ifdef __cplusplus
}
#endif

#endif
