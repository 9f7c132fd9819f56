/*
 * zebrw.h - F0 files: the header record, the type codes, the header check,
 * byte swapping, and reading and writing whole files.
 *
 * An F0 file is a 512-byte f0_header (optionally followed by up to 15 more
 * 512-byte header blocks) and then the array data, raw or as one crunch
 * stream (see zebcodec.h).
 *
 * Two levels:
 *  - the classic functions (zeb_fzread, zeb_fzhead, zeb_fzwrite, zeb_fcwrite,
 *    ck_synch_hd) report problems as lines on standard error;
 *  - the core functions (zeb_read, zeb_write) print nothing: they return a
 *    status and record every event of the call in a zeb_report, which
 *    zeb_report_print turns into the classic lines.
 */
#ifndef ZEBRW_H
#define ZEBRW_H

#include <stdint.h>
#include <stdio.h>
#include "zebcommon.h"
#include "zebcodec.h"
#include "zebrecord.h"

#ifdef __cplusplus
extern "C" {
#endif

#define F0_HEADER_SIZE 512
#define F0_MAX_DIMS 16
#define F0_MAX_HEADER_BLOCKS 16
#define F0_HEADER_TEXT_SIZE 256
#define F0_SYNCH 0x5555aaaau
#define F0_SYNCH_REVERSED 0xaaaa5555u
#define F0_FLAG_COMPRESSED 0x01
#define F0_FLAG_SWAPPED 0x80
#define F0_MAX_DATA_SIZE 2147483647LL

/* The 512-byte header record, byte for byte as stored (little-endian). */
#pragma pack(push, 1)
typedef struct f0_header {
    uint32_t synch_pattern;   /* 0x5555aaaa (bytes AA AA 55 55) */
    uint8_t file_flags;       /* bit 0: compressed; bit 7: raw data byte order */
    uint8_t reserved0;
    uint8_t header_blocks;    /* 512-byte blocks, this one included; 0 means 1 */
    uint8_t datyp;            /* F0 type code */
    uint8_t dim_count;        /* 0 to 16 */
    uint8_t reserved1;
    int32_t data_size;        /* bytes of data after the header */
    uint8_t reserved2[178];
    int32_t dims[F0_MAX_DIMS];/* dims[0] varies fastest */
    char header_text[F0_HEADER_TEXT_SIZE];
} f0_header;
#pragma pack(pop)

/* F0 type codes. */
enum f0_type {
    F0_INT8 = 0, F0_INT16 = 1, F0_INT32 = 2, F0_FLOAT32 = 3, F0_FLOAT64 = 4, F0_INT64 = 5
};
#define F0_TYPE_COUNT 6

/* Bytes per element of a type code, 0 for a code outside 0..5. */
ZEB_API int32_t zeb_element_size(int32_t type);

/* Frees a buffer the library handed out (the data, dims and header text of
 * zeb_fzread, zeb_fzhead's text, zeb_image.data); null: nothing.  Callers
 * that share the library's C runtime may also use free(); on Windows, where
 * a program and a DLL may each have their own, this is the safe way. */
ZEB_API void zeb_free(void *p);

/* ---- classic interface --------------------------------------------------- */

/* Reads and checks the header of file (positioned at its start) into
 * header_record.  Returns -1 on failure (the stream is then closed) or the
 * reversed flag (0 or 1), leaving the stream at the first data byte. */
ZEB_API int32_t ck_synch_hd(FILE *file, f0_header *header_record, int32_t host_big_endian);

/* In-place byte reversal of count elements (count <= 0: nothing). */
ZEB_API void bswapi16(void *values, int32_t count);
ZEB_API void bswapi32(void *values, int32_t count);
ZEB_API void bswapi64(void *values, int32_t count);

/* Reads a whole F0 file.  Returns the data buffer (malloc) or null; see the
 * README for the outputs.  All buffers handed out belong to the caller, who
 * releases them with zeb_free. */
ZEB_API void *zeb_fzread(const char *file_name, int32_t **dims_out, int32_t *dim_count_out,
                         char **header_out, int32_t *type_out, int32_t *size_out);

/* Reads only the header text (malloc'd copy, for zeb_free), or null. */
ZEB_API char *zeb_fzhead(const char *file_name);

/* Writes a raw F0 file.  Returns 0 when the file was written whole, -1 when
 * it could not be opened, written whole or closed (with a message). */
ZEB_API int32_t zeb_fzwrite(const void *data, const char *file_name, const int32_t *dims,
                            int32_t dim_count, const char *header_text, int32_t type);

/* Writes a compressed F0 file, falling back to raw where compression fails or
 * does not pay.  Returns 0 or -1 as zeb_fzwrite does. */
ZEB_API int32_t zeb_fcwrite(const void *data, const char *file_name, const int32_t *dims,
                            int32_t dim_count, const char *header_text, int32_t type, int32_t slice);

/* ---- core interface ------------------------------------------------------ */

/* One thing that happened during a call, in order of occurrence. */
typedef struct zeb_event {
    int32_t code;             /* ZEB_EV_* */
    int32_t status;           /* the status this event stands for (ZEB_OK for warnings) */
    int64_t a, b;             /* event values (see zeb_report_print) */
    zeb_decode_info decode;   /* ZEB_EV_DECODE */
} zeb_event;

enum zeb_event_code {
    ZEB_EV_NOT_FOUND = 1, ZEB_EV_OPEN, ZEB_EV_SHORT_HEADER, ZEB_EV_BAD_SYNCH, ZEB_EV_REVERSED,
    ZEB_EV_HEADER_BLOCKS, ZEB_EV_HEADER_REFUSED, ZEB_EV_DIM_COUNT, ZEB_EV_NEGATIVE_DIM,
    ZEB_EV_TOO_LARGE, ZEB_EV_NO_MEMORY, ZEB_EV_UNKNOWN_TYPE, ZEB_EV_TRUNCATED,
    ZEB_EV_SHORT_COMPRESS_HEADER, ZEB_EV_BAD_STREAM_SIZE, ZEB_EV_SHORT_BODY, ZEB_EV_NBLOCKS,
    ZEB_EV_INCONSISTENT, ZEB_EV_WIDTH_MISMATCH, ZEB_EV_UNKNOWN_COMPRESSION,
    ZEB_EV_DECODE, ZEB_EV_INCOMPLETE,
    ZEB_EV_W_OPEN, ZEB_EV_W_WRITE, ZEB_EV_W_CLOSE, ZEB_EV_W_BAD_ARGUMENT, ZEB_EV_W_UNSUPPORTED,
    ZEB_EV_W_ENCODE, ZEB_EV_W_NO_ROOM, ZEB_EV_W_LARGER, ZEB_EV_W_NO_MEMORY,
    /* pyzeb's header record (zebrecord.h): */
    ZEB_EV_CHECKSUM,          /* ZEB_E_CHECKSUM: a = ZEB_CRC_PART_*, b = stored CRC << 32 | computed CRC */
    ZEB_EV_RECORD_DAMAGED,    /* ZEB_E_RECORD: a = ZEB_RECORD_FAULT_* */
    ZEB_EV_RECORD_SKIPPED,    /* warning (ZEB_OK): a = the record's version, b = sections not understood;
                                 what they hold was not checked */
    ZEB_EV_W_METADATA_TOO_LARGE, /* ZEB_E_METADATA_TOO_LARGE: a = metadata bytes, b = the most that fit */
    ZEB_EV_FOREIGN_BLOCKS,    /* ZEB_E_FOREIGN_BLOCKS: a = header blocks */
    ZEB_EV_TRAILING_BYTES,    /* ZEB_E_TRAILING_BYTES: a = bytes after the data */
    ZEB_EV_CHANGED,           /* ZEB_E_CHANGED */
    ZEB_EV_NEWER_RECORD       /* ZEB_E_NEWER_RECORD: a = the record's version */
};

/* What a ZEB_EV_CHECKSUM event is about. */
enum { ZEB_CRC_PART_HEADER = 0, ZEB_CRC_PART_DATA = 1 };

/* Why a record counts as damaged (ZEB_EV_RECORD_DAMAGED). */
enum {
    ZEB_RECORD_FAULT_MAGIC = 1,      /* its first 8 bytes are near, but not, the magic */
    ZEB_RECORD_FAULT_LAYOUT = 2,     /* lengths that do not fit its blocks, or sections that overrun it */
    ZEB_RECORD_FAULT_CRC = 3,        /* the record's own CRC-32C differs */
    ZEB_RECORD_FAULT_MISMATCH = 4,   /* sound, but not describing this file (data length, true dtype) */
    ZEB_RECORD_FAULT_MISPLACED = 5   /* a record where the data should begin: header_blocks damaged */
};

#define ZEB_REPORT_MAX 12
typedef struct zeb_report {
    const char *prefix;       /* function name of messages ("zeb_fzread") */
    int32_t count;            /* events recorded (at most ZEB_REPORT_MAX kept) */
    zeb_event events[ZEB_REPORT_MAX];
} zeb_report;

/* Prints every event of the report as the classic message lines, on standard
 * error (the encoder's limit message on standard output). */
ZEB_API void zeb_report_print(const zeb_report *report, const char *file_name);

/* A whole file in memory. */
typedef struct zeb_image {
    void *data;               /* malloc'd (zeb_free), data_size bytes (null when no header) */
    int64_t data_size;
    int32_t dims[F0_MAX_DIMS];
    int32_t dim_count;
    int32_t type;             /* F0 type code as stored (may be above 5) */
    int32_t compressed;       /* 1 when the file held a crunch stream */
    int32_t reversed;         /* 1 when the synch pattern was reversed */
    char header_text[F0_HEADER_TEXT_SIZE + 1];
    int32_t header_ok;        /* 1 once the header was accepted */
} zeb_image;

#define ZEB_READ_STRICT 1     /* stop at the first problem after the header and free the data */

/* Reads a whole F0 file into image.  Returns ZEB_OK when every element was
 * read exactly; otherwise the status of the first problem.  Without
 * ZEB_READ_STRICT the data buffer is still handed out (zero-filled where the
 * file gave nothing) once the header was accepted.  report may be null. */
ZEB_API int32_t zeb_read(const char *file_name, zeb_image *image, zeb_report *report, int32_t flags);

/* As zeb_read, from a file image in memory. */
ZEB_API int32_t zeb_read_memory(const uint8_t *bytes, int64_t length, zeb_image *image,
                                zeb_report *report, int32_t flags);

/* Writes an F0 file: compressed with the given slice when compress is 1
 * (falling back to raw where that fails or does not pay), else raw.
 * Returns ZEB_OK, or the status of the failure; *error_number receives errno
 * for open, write and close failures (may be null). */
ZEB_API int32_t zeb_write(const void *data, const char *file_name, const int32_t *dims,
                          int32_t dim_count, const char *header_text, int32_t type,
                          int32_t compress, int32_t slice, zeb_report *report, int32_t *error_number);

/* ---- reading in two steps: headers, then data into the caller's buffer ---- */

/* What a file's headers say. */
typedef struct zeb_info {
    int32_t type;             /* F0 type code (0..5) */
    int32_t dim_count;
    int32_t dims[F0_MAX_DIMS];/* dims[0] varies fastest */
    int32_t compressed;       /* 1: the data are one crunch stream */
    int32_t big_endian;       /* raw files: 1 when the data on disk are big-endian */
    int32_t header_blocks;    /* 512-byte header blocks, at least 1 */
    int64_t count;            /* elements */
    int64_t nbytes;           /* bytes of the array in memory: count * element size */
    int64_t data_offset;      /* bytes from the start of the file to the data */
    int64_t data_size;        /* bytes of data on disk (the whole stream for compressed files) */
    compress_header stream;   /* compressed files: the stream header */
    char header_text[F0_HEADER_TEXT_SIZE + 1];  /* always terminated */
} zeb_info;

typedef struct zeb_reader zeb_reader;  /* an open file or memory image */

/* Opens a file and reads its headers (the 512-byte header, the further
 * header blocks and, for a compressed file, the 14-byte stream header) into
 * info, refusing what cannot be read exactly (the same checks and statuses as
 * a strict zeb_read).  With reader null the file is closed again: a
 * header-only read, which does not check that the file holds all its data.  Otherwise *reader receives the open reader (on success
 * only), to be passed to zeb_read_data and zeb_close.  *error_number receives
 * errno for ZEB_E_NOT_FOUND and ZEB_E_OPEN (may be null).  A header-only read
 * costs an open, one small read and a close.  What zeb_open checks: the header
 * (and a file too short for its data, where its size is known), the layout,
 * the type and the stream header; the body's length where the size is not
 * known (a pipe), the pairing of stream and type and the body itself are
 * checked by zeb_read_data.  info->big_endian is 0 for compressed files
 * (streams are little-endian).  Prints nothing. */
ZEB_API int32_t zeb_open(const char *file_name, zeb_reader **reader, zeb_info *info, zeb_report *report,
                         int32_t *error_number);

/* As zeb_open, over a file image in memory (which must outlive the reader). */
ZEB_API int32_t zeb_open_memory(const uint8_t *bytes, int64_t length, zeb_reader **reader, zeb_info *info,
                                zeb_report *report);

/* Reads the data of an opened file into data (room for capacity bytes, at
 * least info.nbytes), in native byte order.  Returns ZEB_OK only when every
 * element was read exactly; otherwise the status of the first problem (the
 * buffer's contents are then unspecified).  Warnings (ZEB_EV_NBLOCKS,
 * ZEB_EV_INCONSISTENT) are events with status ZEB_OK.  Together with the
 * events of zeb_open, the report holds what a strict zeb_read reports.  Takes
 * a bounded amount of memory besides data: a compressed body is read and
 * decoded in windows of 1 MiB (larger only where one block needs more),
 * except that a body with a seek index is read whole (see
 * zeb_read_data_threads; it is smaller than the data).  The
 * file is closed once the data are read.  Call at most once per reader; a
 * second call, or capacity below info.nbytes, gives ZEB_E_BAD_ARGUMENT. */
ZEB_API int32_t zeb_read_data(zeb_reader *reader, void *data, int64_t capacity, zeb_report *report);

/* As zeb_read_data (which is this with threads 1).  A compressed file whose
 * record holds a seek index is read whole into memory (where the file is
 * known to hold its body) and decoded in the index's pieces on up to
 * `threads` threads (0 or below: one per core), each piece required to end
 * exactly where the next begins: an index that does not describe the stream
 * gives ZEB_E_BAD_INDEX (a ZEB_EV_DECODE event), never other values.  The
 * pieces and the statuses do not depend on threads.  Other files read as
 * with zeb_read_data. */
ZEB_API int32_t zeb_read_data_threads(zeb_reader *reader, void *data, int64_t capacity, int32_t threads,
                                      zeb_report *report);

/* Reads part of an opened file's data: elements [first, first + count) in
 * the file's element order (dims[0] varies fastest, so a run of whole
 * planes or rows along the last dimension is one such range), in native byte
 * order, into data (room for capacity bytes, at least count times the
 * element size).  The whole array (first 0, count info.count) is read as
 * zeb_read_data_threads reads it, checksum included.  A part is read without
 * reading the rest: raw data from their place in the file (passed over in a
 * pipe); a compressed body with a seek index from the indexed block before
 * the one at or before the part's first element (so that the entry the part
 * starts at is checked) to the one after its last, decoded in pieces on up
 * to `threads` threads (0 or below: one per core), each piece required to
 * end where the index says; a body without one from its start,
 * the blocks before the part decoded and dropped (in windows of bounded
 * size).  Since the data's checksum covers all of them, a part is checked
 * against the headers' checksum (at open) and the stream's own structure
 * only.  Statuses as for zeb_read_data; first, count or capacity outside
 * the array: ZEB_E_BAD_ARGUMENT.  Call once per reader, instead of
 * zeb_read_data. */
ZEB_API int32_t zeb_read_range(zeb_reader *reader, int64_t first, int64_t count, void *data, int64_t capacity,
                               int32_t threads, zeb_report *report);

/* ---- reading files with pyzeb's header record ---------------------------- */

#define ZEB_OPEN_NO_VERIFY 1   /* check no checksum, and take a damaged record for none */

/* zeb_open and zeb_open_memory with flags and the record: zeb_open(...) is
 * zeb_open_ex(..., 0, ..., null record, ...).
 *
 * Without ZEB_OPEN_NO_VERIFY a file with a record is verified: the record's
 * own CRC (a damaged record: ZEB_E_RECORD with a ZEB_EV_RECORD_DAMAGED
 * event), whether it describes this file (data length, true dtype: also
 * ZEB_E_RECORD), and the CRC of the first header block (ZEB_E_CHECKSUM with a
 * ZEB_EV_CHECKSUM event); zeb_read_data then checks the CRC of the data as
 * they are read, unless the record marks them unchecked.  A record of a newer
 * version, or sections this library does not know, give a
 * ZEB_EV_RECORD_SKIPPED warning (status ZEB_OK) and are used as far as they
 * are understood.  A file whose spare blocks hold anything else reads exactly
 * as before, with state ZEB_RECORD_NONE and no event.
 *
 * With ZEB_OPEN_NO_VERIFY nothing is refused for its checksums: a sound
 * record is still parsed (true dtype, metadata), a damaged one gives state
 * ZEB_RECORD_DAMAGED; the statuses and events are exactly those of a classic
 * file (no record events at all).
 *
 * record may be null; otherwise it is filled (state ZEB_RECORD_NONE for a
 * classic file) whatever the status, as far as the headers were read. */
ZEB_API int32_t zeb_open_ex(const char *file_name, int32_t flags, zeb_reader **reader, zeb_info *info,
                            zeb_record_info *record, zeb_report *report, int32_t *error_number);
ZEB_API int32_t zeb_open_memory_ex(const uint8_t *bytes, int64_t length, int32_t flags, zeb_reader **reader,
                                   zeb_info *info, zeb_record_info *record, zeb_report *report);

/* As zeb_open_memory_ex, over a file of `size` bytes held in part: its first
 * head_len bytes (at least its headers: the header blocks and a compressed
 * file's 14-byte stream header) and the span_len bytes at offset span_at,
 * which must outlive the reader.  A read that needs bytes not held comes up
 * short (as at a file's end): hold those zeb_read_extent names.  For ranged
 * reads of remote files: fetch the headers, open them with an empty span to
 * learn the extent of a part, fetch it and open both. */
ZEB_API int32_t zeb_open_span(const uint8_t *head, int64_t head_len, const uint8_t *span, int64_t span_at,
                              int64_t span_len, int64_t size, int32_t flags, zeb_reader **reader, zeb_info *info,
                              zeb_record_info *record, zeb_report *report);

/* The bytes of the file, [*offset, *offset + *length), that zeb_read_range
 * reads for elements [first, first + count) besides the headers: the raw
 * data of the part; a compressed body with a usable seek index from the
 * indexed block zeb_read_range starts at to the one it ends at; otherwise
 * the whole body.  Reads nothing; the reader can still be read.  Returns
 * ZEB_OK, or ZEB_E_BAD_ARGUMENT for a range outside the array. */
ZEB_API int32_t zeb_read_extent(const zeb_reader *reader, int64_t first, int64_t count, int64_t *offset,
                                int64_t *length);

/* Closes the reader (null: nothing). */
ZEB_API void zeb_close(zeb_reader *reader);

/* ---- writing in two steps: the file's bytes, then the file ------------- */

/* An F0 file ready to be written: its 512-byte header and its data. */
/* A file's identity, as stat gives it (see ZEB_WRITE_IF_UNCHANGED). */
typedef struct zeb_file_id {
    int64_t dev, ino, size, mtime_ns;
} zeb_file_id;

typedef struct zeb_payload {
    f0_header header;
    const void *data;         /* the data after the header: the caller's array (raw) or stream */
    int64_t size;             /* bytes at data */
    uint8_t *stream;          /* the malloc'd stream of a compressed file, else null */
    uint8_t *record;          /* the malloc'd header blocks after the first (the record), else null */
    int64_t record_size;      /* bytes at record: (header.header_blocks - 1) * 512, or 0 */
    zeb_file_id expect;       /* with ZEB_WRITE_IF_UNCHANGED: the file to be replaced */
    void *seek_index;         /* internal: where blocks start in the stream, for the record (or null) */
} zeb_payload;

#define ZEB_COMPRESS_RAW (-1)   /* raw data */
#define ZEB_COMPRESS_AUTO (-2)  /* the smallest stream (see zeb_choose_stream) */

/* Builds the F0 file of an array (native byte order, C order, dims fastest
 * first): raw for mode ZEB_COMPRESS_RAW, the smallest stream for
 * ZEB_COMPRESS_AUTO, or the plain stream of slice `mode` (>= 0).  Raw
 * wherever the type has no stream (64-bit types) or no stream is smaller than
 * the raw data.  header_text holds text_len bytes (at most 255), stored as
 * they are.  threads as for zeb_encode_threads.  On success *out must be
 * released with zeb_payload_free; out->data may point into data, which must
 * then outlive it.  Blocks are rows of dims[0] elements (the chosen layout for
 * ZEB_COMPRESS_AUTO).  Returns ZEB_OK, ZEB_E_BAD_ARGUMENT (with an event) for
 * what a file cannot hold (more than 16 dimensions, a negative dimension, a
 * type outside 0..5, data above 2^31 - 1 bytes, text_len above 255) or a mode
 * below ZEB_COMPRESS_AUTO, ZEB_E_BAD_SLICE for a slice the coder refuses
 * (whatever the data), or ZEB_E_NO_MEMORY.  A stream of at least 64 KiB of
 * array data in two blocks or more also gets the places of evenly spaced
 * blocks, for the seek index zeb_payload_add_record writes.  Prints
 * nothing. */
ZEB_API int32_t zeb_prepare(const void *data, int32_t type, const int32_t *dims, int32_t dim_count,
                            const char *header_text, int32_t text_len, int32_t mode, int32_t threads,
                            zeb_payload *out, zeb_report *report);

/* Adds pyzeb's header record to a payload from zeb_prepare: the CRC-32C of
 * the header and of the data (computed here, over payload->data), the true
 * dtype (ZEB_DTYPE_STORED for none; otherwise it must be one the payload's
 * F0 type stands in for), when metadata_len >= 0, a metadata section of
 * metadata_len bytes (stored as they are; the caller checks they are JSON),
 * and for a stream from zeb_prepare a seek index (one entry for every 64 KiB
 * of array data, at most 1024, fewer where the metadata leave less room).
 * Sets header.header_blocks and allocates payload->record (released by
 * zeb_payload_free).  Returns ZEB_OK; ZEB_E_METADATA_TOO_LARGE with a
 * ZEB_EV_W_METADATA_TOO_LARGE event (a = metadata_len, b = the most that fit,
 * as zeb_record_metadata_max) when the header cannot hold them;
 * ZEB_E_BAD_ARGUMENT (with an event) for a dtype that does not fit the type,
 * a payload that already has a record, or missing metadata; ZEB_E_NO_MEMORY.
 * On failure the payload is unchanged.  Prints nothing. */
ZEB_API int32_t zeb_payload_add_record(zeb_payload *payload, int32_t dtype, const uint8_t *metadata,
                                       int64_t metadata_len, zeb_report *report);

/* Frees what zeb_prepare and zeb_payload_add_record allocated (null: nothing). */
/* As zeb_payload_add_record, and with sections_len bytes of whole sections
 * of the kept types (ZEB_SECTION_*: each an 8-byte head, type, flags 0 and
 * body size, then the body; each type at most once), written into the record
 * as they are (ZEB_E_BAD_ARGUMENT with an event for anything else). */
ZEB_API int32_t zeb_payload_add_record_ex(zeb_payload *payload, int32_t dtype, const uint8_t *metadata,
                                          int64_t metadata_len, const uint8_t *sections, int64_t sections_len,
                                          zeb_report *report);

ZEB_API void zeb_payload_free(zeb_payload *payload);

#define ZEB_WRITE_ATOMIC 1   /* through a temporary file, fsync and rename */
#define ZEB_WRITE_IF_UNCHANGED 2  /* with ZEB_WRITE_ATOMIC: refuse (ZEB_E_CHANGED) unless the file
                                     replaced is still payload->expect, checked just before the rename */
#define ZEB_WRITE_NO_SYNC 4  /* with ZEB_WRITE_ATOMIC: renamed without flushing the file or its directory
                                to disk first (scratch files: whole or absent, but not durable) */

/* Writes the header and data of payload to file_name.  With ZEB_WRITE_ATOMIC
 * the bytes go to a new temporary file in the same directory, readable and
 * writable by its owner alone while it is written, are flushed to disk and
 * the file is renamed over file_name; on any failure the temporary file is removed and an
 * existing file_name is left untouched.  The temporary file is named
 * ".<name>.<12 hex digits>.tmp"; the directory is synced after the rename.
 * A symbolic link is kept (the file it leads to is replaced); devices,
 * pipes and other paths under /dev and /proc are written in place.  With or
 * without the flag, a path naming a descriptor of this process (/dev/stdout,
 * /dev/fd/N, /proc/self/fd/N) is written through that descriptor, at its
 * offset, without truncating it (a regular file behind it is synced).
 * Once complete, before the rename, the new file gets the permission bits
 * of the file it replaces and, where this process may give them, its owner
 * and group (a new name: the permissions a new file gets).  The rename, and
 * with ZEB_WRITE_IF_UNCHANGED the check before it, happen while holding the
 * exclusive lock of the lock file ".<name>.lock" beside the target (created
 * for the moment and removed after), which every replacement by this
 * library and zeb_checksum_file take: of two writers with the same expect,
 * one gets ZEB_E_CHANGED.  A writer that takes no such lock (another
 * program renaming over the file) is not excluded: its replacement may fall
 * between another's check and rename, and be lost.  Without the flag the file is created or
 * truncated and written in place, as zeb_write does.  Returns ZEB_OK,
 * ZEB_E_OPEN (the file or the temporary file could not be created, or the
 * rename failed), ZEB_E_WRITE (writing or syncing failed) or ZEB_E_CLOSE,
 * with *error_number set to errno (may be null) and an event; data are
 * written in pieces of at most 1 GiB.  Prints nothing. */
ZEB_API int32_t zeb_write_payload(const char *file_name, const zeb_payload *payload, int32_t flags,
                                  zeb_report *report, int32_t *error_number);

/* An array to be written by zeb_write_array: the arguments of zeb_prepare
 * (data to threads), whether pyzeb's header record is added as
 * zeb_payload_add_record adds it (record nonzero, with dtype, metadata and
 * metadata_len), and for ZEB_WRITE_IF_UNCHANGED the file to be replaced. */
typedef struct zeb_write_request {
    const void *data;
    int32_t type;
    const int32_t *dims;
    int32_t dim_count;
    const char *header_text;
    int32_t text_len;
    int32_t mode;
    int32_t threads;
    int32_t record;
    int32_t dtype;
    const uint8_t *metadata;
    int64_t metadata_len;
    zeb_file_id expect;
    const uint8_t *sections;  /* sections of the kept types, as zeb_payload_add_record_ex */
    int64_t sections_len;
} zeb_write_request;

/* zeb_prepare, zeb_payload_add_record (where asked for) and
 * zeb_write_payload in one call, with the same file, status, events and
 * *error_number as those three, and faster: a stream written atomically to
 * a regular file is coded in pieces (zeb_encode_to) that go to the
 * temporary file as they are done, each one's checksum taken while it is in
 * the cache and its writing to the device started, while later pieces are
 * still being coded; the header blocks, which hold the stream's size, its
 * checksum and seek index, follow last at the start of the file.  Raw data,
 * arrays of one block and everything written in place take the three calls'
 * path.  A temporary file is removed, and the target untouched, on every
 * failure.  Prints nothing. */
ZEB_API int32_t zeb_write_array(const char *file_name, const zeb_write_request *request, int32_t flags,
                                zeb_report *report, int32_t *error_number);

/* ---- maintaining the record of existing files ---------------------------- */

/* Marks the data of the file open on fd (read and write) as changed in
 * place: sets the record's "data unchecked" flag, renews the record's own
 * CRC, rewrites the record's blocks up to the end of its checksums section
 * (wherever that section lies) and syncs them, holding the file's lock
 * (flock, LockFileEx) meanwhile, as zeb_checksum_file does when it renews a
 * record in place.  Readers then check
 * the header but not the data until zeb_checksum_file renews the checksum.
 * A file without a record, or already marked, is left as it is (ZEB_OK).
 * Returns ZEB_OK, ZEB_E_RECORD for a damaged record, the header statuses of
 * zeb_open for a file that is no F0 file, ZEB_E_WRITE (errno in
 * *error_number) when the blocks cannot be written.  Uses pread and pwrite:
 * the descriptor's offset does not move.  Prints nothing. */
ZEB_API int32_t zeb_mark_unchecked(int fd, zeb_report *report, int32_t *error_number);

#define ZEB_CHECKSUM_DROP_BLOCKS 1    /* replace extra header blocks that are not pyzeb's record */
#define ZEB_CHECKSUM_DROP_TRAILING 2  /* drop bytes stored after the data */
#define ZEB_CHECKSUM_BREAK_LINKS 4    /* replace a file that has other hard links */

/* What zeb_checksum_file did.  ZEB_CHECKSUM_LINKED: nothing, since the file
 * would have had to be replaced and has other hard links (see
 * ZEB_CHECKSUM_BREAK_LINKS). */
enum { ZEB_CHECKSUM_KEPT = 0, ZEB_CHECKSUM_ADDED = 1, ZEB_CHECKSUM_RENEWED = 2, ZEB_CHECKSUM_LINKED = 3 };

/* Gives an existing file a record with checksums of its data as they are
 * stored, without re-encoding them: a compressed stream is decoded first to
 * make sure it is sound (a damaged one: its decoding status).  A file that
 * already has a sound, verified record is left alone (*action
 * ZEB_CHECKSUM_KEPT); one marked unchecked, or without a record, gets a new
 * record with its metadata and true dtype kept (ZEB_CHECKSUM_RENEWED or
 * ZEB_CHECKSUM_ADDED), if the file is still the one read.  Where the new
 * record fits the header blocks the file has (a renewal), those blocks alone
 * are rewritten in place and synced, under the target's lock file and the
 * file's own lock: maps and other names of the file see the new record.
 * Otherwise (a file without a record, foreign blocks or trailing bytes
 * dropped, a record that needs another number of blocks, a file this process
 * may not write) the file is replaced atomically through a temporary file,
 * as zeb_write_payload with ZEB_WRITE_IF_UNCHANGED replaces it: a map open
 * meanwhile keeps the old file.  A file with other hard links is then left
 * alone (ZEB_CHECKSUM_LINKED) unless ZEB_CHECKSUM_BREAK_LINKS.  Either way
 * the file keeps its modification time.  Refuses, leaving the file untouched: a record whose
 * data CRC does not match (ZEB_E_CHECKSUM: the data are damaged), a damaged
 * record (ZEB_E_RECORD), a newer record (ZEB_E_NEWER_RECORD), extra header
 * blocks that are not a record (ZEB_E_FOREIGN_BLOCKS unless
 * ZEB_CHECKSUM_DROP_BLOCKS), bytes after the data (ZEB_E_TRAILING_BYTES
 * unless ZEB_CHECKSUM_DROP_TRAILING), a file changed meanwhile
 * (ZEB_E_CHANGED); and every status of zeb_open, zeb_read_data and
 * zeb_write_payload.  action may be null.  Prints nothing. */
ZEB_API int32_t zeb_checksum_file(const char *file_name, int32_t flags, int32_t *action, zeb_report *report,
                                  int32_t *error_number);

#ifdef __cplusplus
}
#endif

#endif
