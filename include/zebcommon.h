/*
 * zebcommon.h - what every layer of the pyzeb library shares: the export
 * macro and the status codes that the core functions return.
 *
 * Core functions never print: they return a status (0 or one of the negative
 * ZEB_E_* codes below) and fill a small info record with the details.  The
 * classic C entry points (zeb_fzread, zebdecrunch, ...) sit on top of the core
 * and print the library's traditional messages from those records.
 */
#ifndef ZEBCOMMON_H
#define ZEBCOMMON_H

#include <stdint.h>

/* ZEB_API marks the library's public functions.  On Windows they are
 * exported while the library itself is built (ZEB_BUILDING), imported by
 * programs that use the DLL, and plain for a static library (ZEB_STATIC, which
 * the CMake target and zeb.pc of a static build pass on).  Elsewhere they are
 * the only symbols with default visibility: the library is built with hidden
 * visibility, so nothing else is exported. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(ZEB_STATIC)
#    define ZEB_API
#  elif defined(ZEB_BUILDING)
#    define ZEB_API __declspec(dllexport)
#  else
#    define ZEB_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define ZEB_API __attribute__((visibility("default")))
#else
#  define ZEB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum zeb_status {
    ZEB_OK = 0,
    ZEB_E_NOT_FOUND = -1,            /* the file does not exist */
    ZEB_E_OPEN = -2,                 /* the file could not be opened (errno) */
    ZEB_E_SHORT_HEADER = -3,         /* fewer than 512 header bytes */
    ZEB_E_BAD_SYNCH = -4,            /* no F0 synch pattern */
    ZEB_E_HEADER_BLOCKS = -5,        /* more than 16 header blocks */
    ZEB_E_DIM_COUNT = -6,            /* more than 16 dimensions */
    ZEB_E_NEGATIVE_DIM = -7,         /* a dimension below zero */
    ZEB_E_TOO_LARGE = -8,            /* data above 2^31 - 1 bytes */
    ZEB_E_NO_MEMORY = -9,            /* an allocation failed */
    ZEB_E_UNKNOWN_TYPE = -10,        /* F0 type code above 5 */
    ZEB_E_TRUNCATED = -11,           /* raw data end before they are complete */
    ZEB_E_SHORT_COMPRESS_HEADER = -12, /* fewer than 14 bytes of compress_header */
    ZEB_E_BAD_STREAM_SIZE = -13,     /* stream_size below 14 */
    ZEB_E_SHORT_BODY = -14,          /* compressed body shorter than stream_size says */
    ZEB_E_UNKNOWN_COMPRESSION = -15, /* compression_type above 4 */
    ZEB_E_WIDTH_MISMATCH = -16,      /* stream element width differs from the F0 type */
    ZEB_E_BAD_BITS = -17,            /* decoder: bad bit sequence */
    ZEB_E_BAD_LOOP = -18,            /* run-length decoder: segment past the block end */
    ZEB_E_BODY_END = -19,            /* decoder: ran into the end of the body */
    ZEB_E_BAD_SLICE = -20,           /* slice outside what the coder can handle */
    ZEB_E_BAD_BLOCK_SIZE = -21,      /* block_size below 1 with blocks to code */
    ZEB_E_INCOMPLETE = -22,          /* fewer decoded elements than the dimensions call for */
    ZEB_E_LIMIT_TOO_SMALL = -23,     /* encoder: limit of 24 bytes or less */
    ZEB_E_NO_ROOM = -24,             /* encoder: stream does not fit in limit */
    ZEB_E_WRITE = -25,               /* writing the file failed (errno) */
    ZEB_E_CLOSE = -26,               /* closing the file failed (errno) */
    ZEB_E_BAD_ARGUMENT = -27,        /* an argument out of range */
    ZEB_E_CHECKSUM = -28,            /* a stored CRC-32C differs from the bytes: the file is damaged */
    ZEB_E_RECORD = -29,              /* pyzeb's header record fails its own check */
    ZEB_E_METADATA_TOO_LARGE = -30,  /* metadata do not fit in the 16 header blocks */
    ZEB_E_FOREIGN_BLOCKS = -31,      /* extra header blocks that are not pyzeb's record */
    ZEB_E_TRAILING_BYTES = -32,      /* bytes stored after the data */
    ZEB_E_CHANGED = -33,             /* the file changed while it was being rewritten */
    ZEB_E_NEWER_RECORD = -34,        /* a record of a newer version, which this library will not rewrite */
    ZEB_E_BAD_INDEX = -35            /* the seek index does not match the compressed stream */
};

/* A short English description of a status code ("ok" for ZEB_OK). */
ZEB_API const char *zeb_status_text(int32_t status);

/* The version of the library the program runs with ("1.2.0", "1.2.1.dev4"),
 * as zebversion.h's ZEB_VERSION_STRING of its build says it: a program can
 * compare it with the header it was compiled with.  A static string. */
ZEB_API const char *zeb_version(void);

#ifdef __cplusplus
}
#endif

#endif
