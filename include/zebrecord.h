/*
 * zebrecord.h - pyzeb's own header record and CRC-32C.
 *
 * A file written with the record carries, in the header blocks after the
 * first (which every F0 reader skips), a versioned record: CRC-32C checksums
 * of the first header block and of the data as stored, optional metadata
 * (UTF-8 JSON bytes, opaque to the C library) and the array's true dtype
 * where the stored F0 type stands in for it (unsigned integers stored as the
 * signed type of the same width, bool as int8).  docs/format.md describes it
 * byte by byte.  The functions that read and write files with the record are
 * declared in zebrw.h.
 */
#ifndef ZEBRECORD_H
#define ZEBRECORD_H

#include <stddef.h>
#include <stdint.h>
#include "zebcommon.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- CRC-32C (Castagnoli, reflected, init and final xor 0xFFFFFFFF) ---- */

/* The CRC-32C of n bytes, continuing from crc: start with 0, and feed a
 * result back in to extend it over further bytes (the convention of zlib's
 * crc32).  zeb_crc32c(0, "123456789", 9) == 0xE3069283.  Uses the CPU's CRC
 * instructions where it has them (SSE4.2, ARMv8 CRC). */
ZEB_API uint32_t zeb_crc32c(uint32_t crc, const void *data, size_t n);

/* The ways of computing it, all with identical results (for tests and
 * benchmarks): */
enum zeb_crc32c_method {
    ZEB_CRC32C_BEST = 0,        /* what zeb_crc32c uses */
    ZEB_CRC32C_PORTABLE = 1,    /* slicing-by-8 tables, any CPU */
    ZEB_CRC32C_HARDWARE = 2,    /* one stream of CRC instructions */
    ZEB_CRC32C_INTERLEAVED = 3, /* three interleaved streams of CRC instructions */
    ZEB_CRC32C_FOLDING = 4      /* x86-64: carry-less multiplication folding (PCLMULQDQ) */
};

/* As zeb_crc32c with a chosen method: *crc is the running value in and the
 * result out.  Returns ZEB_OK, or ZEB_E_BAD_ARGUMENT (and leaves *crc alone)
 * when this build or CPU does not have the method. */
ZEB_API int32_t zeb_crc32c_with(int32_t method, uint32_t *crc, const void *data, size_t n);

/* The method zeb_crc32c uses on this CPU (never ZEB_CRC32C_BEST). */
ZEB_API int32_t zeb_crc32c_method(void);

/* ---- the record ----------------------------------------------------------- */

#define ZEB_RECORD_VERSION 1           /* the version this library writes and fully understands */
#define ZEB_RECORD_MAGIC "PYZEBREC"    /* its first 8 bytes */
#define ZEB_RECORD_MAX_BYTES 7680      /* 15 blocks of 512 bytes: the header holds at most 16 */
#define ZEB_RECORD_MAX_SKIPPED 8

/* True dtypes: what the stored F0 type stands in for. */
enum zeb_dtype {
    ZEB_DTYPE_STORED = 0,   /* the F0 type as stored: no stand-in */
    ZEB_DTYPE_UINT8 = 1,    /* stored as int8 (F0 type 0) */
    ZEB_DTYPE_UINT16 = 2,   /* stored as int16 (1) */
    ZEB_DTYPE_UINT32 = 3,   /* stored as int32 (2) */
    ZEB_DTYPE_UINT64 = 4,   /* stored as int64 (5) */
    ZEB_DTYPE_BOOL = 5,     /* stored as int8 (0), one byte per element */
    /* Floats holding whole numbers, stored as those numbers in a narrower
     * integer type (values, not bits: the reader converts them back). */
    ZEB_DTYPE_FLOAT32_INT8 = 6,   /* float32 stored as int8 (0) */
    ZEB_DTYPE_FLOAT32_INT16 = 7,  /* float32 stored as int16 (1) */
    ZEB_DTYPE_FLOAT32_INT32 = 8,  /* float32 stored as int32 (2) */
    ZEB_DTYPE_FLOAT64_INT8 = 9,   /* float64 stored as int8 (0) */
    ZEB_DTYPE_FLOAT64_INT16 = 10, /* float64 stored as int16 (1) */
    ZEB_DTYPE_FLOAT64_INT32 = 11, /* float64 stored as int32 (2) */
    /* Floats quantized to int32 (lossy, by request); the quantization
     * section of the record says how to restore them. */
    ZEB_DTYPE_FLOAT32_QUANTIZED = 12,
    ZEB_DTYPE_FLOAT64_QUANTIZED = 13
};

/* Section types the library keeps without interpreting their bodies: it
 * writes them as the caller forms them and hands them back as stored
 * (zeb_record_info.sections). */
#define ZEB_SECTION_DEFLATED_METADATA 5  /* metadata deflated with zlib */
#define ZEB_SECTION_QUANTIZATION 6       /* how quantized floats are restored */

/* The F0 type code that stores a true dtype (-1 for an unknown one). */
ZEB_API int32_t zeb_dtype_stored_type(int32_t dtype);

/* What a file's record says, from zeb_open_ex. */
enum zeb_record_state {
    ZEB_RECORD_NONE = 0,     /* no record: a classic file (foreign spare blocks included) */
    ZEB_RECORD_OK = 1,       /* a sound record; the fields below are its contents */
    ZEB_RECORD_DAMAGED = 2   /* a record of ours that fails its own check; fields below unset */
};

typedef struct zeb_record_info {
    int32_t state;            /* ZEB_RECORD_* */
    int32_t version;          /* the record's version (may be above ZEB_RECORD_VERSION) */
    int32_t checksum;         /* 1: the record holds the checksums below */
    int32_t data_unchecked;   /* 1: the data were changed in place; their CRC is not valid */
    uint32_t header_crc;      /* stored CRC-32C of the first 512 bytes */
    uint32_t data_crc;        /* stored CRC-32C of the data_length data bytes */
    int64_t data_length;      /* bytes the data CRC covers (raw size, or the whole stream) */
    int32_t dtype;            /* ZEB_DTYPE_*: the true dtype, STORED when none is recorded */
    int32_t has_metadata;     /* 1: a metadata section is present (possibly empty) */
    int64_t metadata_size;    /* its bytes at metadata */
    int32_t record_blocks;    /* 512-byte blocks the record takes (header_blocks - 1) */
    int32_t record_length;    /* bytes of the record itself, padding excluded */
    int32_t skipped_count;    /* sections this library did not understand */
    int32_t skipped_types[ZEB_RECORD_MAX_SKIPPED];  /* the first of their type codes */
    uint8_t metadata[ZEB_RECORD_MAX_BYTES];         /* UTF-8 bytes, not terminated */
    int64_t sections_size;    /* bytes at sections */
    /* The sections of the kept types (ZEB_SECTION_DEFLATED_METADATA,
     * ZEB_SECTION_QUANTIZATION) as stored, each with its 8-byte head (type,
     * flags, size), in their order. */
    uint8_t sections[ZEB_RECORD_MAX_BYTES];
} zeb_record_info;

/* The most metadata bytes a record can hold alongside the checksums and,
 * unless dtype is ZEB_DTYPE_STORED, the true dtype. */
ZEB_API int64_t zeb_record_metadata_max(int32_t dtype);

#ifdef __cplusplus
}
#endif

#endif
