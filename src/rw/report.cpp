// Turns the events of a core call into the library's classic message lines.
#include <cstring>

#include "zebrw.h"

namespace {

const char *or_empty(const char *s) { return s ? s : ""; }

void print_event(const zeb_event &e, const char *prefix, const char *name)
{
    FILE *err = stderr;
    switch (e.code) {
    case ZEB_EV_NOT_FOUND:
        fprintf(err, "%s: error: file \"%s\" not found.\n", prefix, name);
        break;
    case ZEB_EV_OPEN:
        fprintf(err, "%s: error: could not open file \"%s\": %s!\n", prefix, name, strerror(int(e.a)));
        break;
    case ZEB_EV_SHORT_HEADER:
        fputs("error in fzread while reading header\n", err);
        break;
    case ZEB_EV_BAD_SYNCH:
        fprintf(err, "ck_synch_hd: error: file does not have the F0 synch pattern (found 0x%x instead)\n",
                unsigned(e.a));
        break;
    case ZEB_EV_REVERSED:
        fputs("ck_synch_hd: warning: reversed F0 synch pattern\n", err);
        break;
    case ZEB_EV_HEADER_BLOCKS:
        fputs("ck_synch_hd: error: cannot handle header more than 16 blocks!\n", err);
        break;
    case ZEB_EV_HEADER_REFUSED:
        fprintf(err, "%s: error: ck_sync_hd error!\n", prefix);
        break;
    case ZEB_EV_DIM_COUNT:
        fprintf(err, "%s: error: file \"%s\" has %lld dimensions, at most 16 are supported!\n", prefix,
                name, (long long)e.a);
        break;
    case ZEB_EV_NEGATIVE_DIM:
        fprintf(err, "%s: error: file \"%s\" has a negative dimension (%lld)!\n", prefix, name,
                (long long)e.a);
        break;
    case ZEB_EV_TOO_LARGE:
        fprintf(err, "%s: error: data of file \"%s\" too large (%s%lld bytes, at most 2147483647)!\n",
                prefix, name, e.b ? "more than " : "", (long long)e.a);
        break;
    case ZEB_EV_NO_MEMORY:
        fprintf(err, "%s: error: could not allocate %lld bytes for file \"%s\"!\n", prefix,
                (long long)e.a, name);
        break;
    case ZEB_EV_UNKNOWN_TYPE:
        fprintf(err, "%s: error: unknown data type %lld in file \"%s\"!\n", prefix, (long long)e.a, name);
        break;
    case ZEB_EV_TRUNCATED:
        fputs("error: unexpected end of file\n", err);
        break;
    case ZEB_EV_SHORT_COMPRESS_HEADER:
        fputs("error reading in compression header\n", err);
        break;
    case ZEB_EV_BAD_STREAM_SIZE:
        fprintf(err, "error reading in compression header: stream size %lld below 14 bytes\n", (long long)e.a);
        break;
    case ZEB_EV_SHORT_BODY:
        fputs("error reading in compressed data\n", err);
        break;
    case ZEB_EV_NBLOCKS:
        fprintf(err, "warning, bad ch.nblocks = %d\ncorrecting to %d, hope this is right!\n", int(e.a), int(e.b));
        break;
    case ZEB_EV_INCONSISTENT:
        fputs("inconsistent compression type\n", err);
        break;
    case ZEB_EV_WIDTH_MISMATCH:
        fprintf(err, "error: compressed data of %lld-bit elements do not fit data type %lld, not decoded\n",
                (long long)e.a, (long long)e.b);
        break;
    case ZEB_EV_UNKNOWN_COMPRESSION:
        fprintf(err, "error in data type for compressed data, fh.datyp =%d\n", int(e.a));
        break;
    case ZEB_EV_DECODE:
        zeb_decode_report(&e.decode);
        break;
    case ZEB_EV_INCOMPLETE:
        fprintf(err, "error: compressed data hold %lld of the %lld elements the dimensions call for\n",
                (long long)e.a, (long long)e.b);
        break;
    case ZEB_EV_W_OPEN:
        fprintf(err, "%s: error: could not open file \"%s\" for writing: %s!\n", prefix, name, strerror(int(e.a)));
        break;
    case ZEB_EV_W_WRITE:
        fprintf(err, "%s: error: could not write file \"%s\": %s!\n", prefix, name, strerror(int(e.a)));
        break;
    case ZEB_EV_W_CLOSE:
        fprintf(err, "%s: error: could not close file \"%s\": %s!\n", prefix, name, strerror(int(e.a)));
        break;
    case ZEB_EV_W_BAD_ARGUMENT:
        fprintf(err, "%s: error: cannot write file \"%s\": %s!\n", prefix, name,
                e.a == 1 ? "more than 16 dimensions" : e.a == 2 ? "negative dimension"
                : e.a == 3 ? "data larger than 2147483647 bytes" : e.a == 5 ? "header text longer than 255 bytes"
                : e.a == 6 ? "unknown compression mode" : e.a == 7 ? "true dtype does not fit the data type"
                : e.a == 8 ? "the file already has a header record"
                : e.a == 9 ? "record sections that are not whole sections of the kept types" : "unknown data type");
        break;
    case ZEB_EV_W_UNSUPPORTED:
        fputs("zeb_fcwrite: warning: FCWRITE: unsupported variable type.\n", err);
        break;
    case ZEB_EV_W_ENCODE:
        zeb_encode_report(int32_t(e.a), e.status, int32_t(e.b), e.decode.slice);
        break;
    case ZEB_EV_W_NO_ROOM:
        fprintf(err, "zeb_fcwrite: warning: not enough space allocated (%d bytes) for compressed array, "
                     "trying uncompressed!\n", int(e.a));
        break;
    case ZEB_EV_W_LARGER:
        fprintf(err, "zeb_fcwrite: warning: compressed data (%d bytes) larger than raw data (%d bytes), "
                     "writing uncompressed!\n", int(e.a), int(e.b));
        break;
    case ZEB_EV_W_NO_MEMORY:
        fprintf(err, "zeb_fcwrite: warning: could not allocate %lld bytes for compressed array, "
                     "trying uncompressed!\n", (long long)e.a);
        break;
    case ZEB_EV_CHECKSUM:
        fprintf(err, "%s: error: file \"%s\": checksum mismatch in the %s (stored 0x%08x, computed 0x%08x): "
                     "the file is damaged\n", prefix, name, e.a == ZEB_CRC_PART_HEADER ? "header" : "data",
                unsigned(uint64_t(e.b) >> 32), unsigned(uint64_t(e.b) & 0xFFFFFFFFu));
        break;
    case ZEB_EV_RECORD_DAMAGED:
        fprintf(err, "%s: error: file \"%s\": the pyzeb header record is damaged (%s)\n", prefix, name,
                e.a == ZEB_RECORD_FAULT_MAGIC ? "its magic" : e.a == ZEB_RECORD_FAULT_LAYOUT ? "its layout"
                : e.a == ZEB_RECORD_FAULT_CRC ? "its checksum" : e.a == ZEB_RECORD_FAULT_MISMATCH
                ? "it does not describe this file" : "header_blocks does not count it");
        break;
    case ZEB_EV_RECORD_SKIPPED:
        fprintf(err, "%s: warning: file \"%s\": header record of version %lld, %lld section(s) not understood "
                     "and not checked\n", prefix, name, (long long)e.a, (long long)e.b);
        break;
    case ZEB_EV_W_METADATA_TOO_LARGE:
        fprintf(err, "%s: error: metadata too large: %lld bytes, at most %lld fit in the header\n", prefix,
                (long long)e.a, (long long)e.b);
        break;
    case ZEB_EV_FOREIGN_BLOCKS:
        fprintf(err, "%s: error: file \"%s\" has %lld header blocks that are not a pyzeb record\n", prefix, name,
                (long long)e.a);
        break;
    case ZEB_EV_TRAILING_BYTES:
        fprintf(err, "%s: error: file \"%s\" has %lld bytes after its data\n", prefix, name, (long long)e.a);
        break;
    case ZEB_EV_CHANGED:
        fprintf(err, "%s: error: file \"%s\" changed while it was being rewritten\n", prefix, name);
        break;
    case ZEB_EV_NEWER_RECORD:
        fprintf(err, "%s: error: file \"%s\" has a header record of version %lld, newer than this library's\n",
                prefix, name, (long long)e.a);
        break;
    default:
        break;
    }
}

}  // namespace

extern "C" ZEB_API void zeb_report_print(const zeb_report *report, const char *file_name)
{
    if (!report)
        return;
    const char *prefix = report->prefix ? report->prefix : "zeb_fzread";
    int32_t n = report->count < ZEB_REPORT_MAX ? report->count : ZEB_REPORT_MAX;
    for (int32_t i = 0; i < n; ++i)
        print_event(report->events[i], prefix, or_empty(file_name));
}
