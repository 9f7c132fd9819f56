// Internals of the file writers shared by f0_write.cpp (the writers and the
// two-step writing of payloads) and f0_write_streamed.cpp (streams written
// while they are coded).
#ifndef ZEB_F0_WRITE_INTERNAL_H
#define ZEB_F0_WRITE_INTERNAL_H

#include <cstdint>
#include <string>

#include "f0_internal.h"
#include "record.h"
#include "zebcodec.h"
#include "zebrw.h"

namespace zeb::writer {

using zeb::add_event;

// What the writers are given, checked once.
struct Request {
    const void *data;
    const char *file_name;
    const int32_t *dims;
    int32_t dim_count;
    const char *header_text;
    int32_t type;
    int32_t text_len = -1;  // bytes of header_text stored as they are; -1: a C string
    int64_t count = 0;      // elements
    int64_t raw_size = 0;   // bytes of raw data
};

// Reasons of a ZEB_EV_W_BAD_ARGUMENT event (see zeb_report_print).
enum : int32_t {
    kMissingArgument = 0, kTooManyDims = 1, kNegativeDim = 2, kTooLarge = 3, kUnknownType = 4,
    kTextTooLong = 5, kBadMode = 6, kBadDtype = 7, kHasRecord = 8, kBadSections = 9
};

// A ZEB_EV_W_BAD_ARGUMENT event; returns ZEB_E_BAD_ARGUMENT.
int32_t bad_argument(zeb_report *report, int32_t reason);

// Sets *error_number to err and adds the event; returns status.
int fail_with(zeb_report *report, int32_t code, int32_t status, int err, int32_t *error_number);

// The first header block of the request's file.
void build_header(const Request &r, uint8_t flags, int32_t data_size, f0_header *h);

// A new temporary file ".<name>.<random>.tmp" beside the file it will replace.
struct TempFile {
    std::string target, tmp, dir;
    int fd = -1;
    bool durable = true;  // false (ZEB_WRITE_NO_SYNC): renamed without being flushed to disk first
};

// The lock file beside target that every replacement of it holds from its
// check through its rename: ".<name>.lock", never renamed itself.
std::string lock_name(const std::string &target);

// Creates the temporary file for target (readable by its owner alone); ZEB_OK, or ZEB_E_OPEN with an event.
int32_t open_temporary(const std::string &target, TempFile *t, zeb_report *report, int32_t *error_number);

// Completes a temporary file whose bytes are written (status ZEB_OK) or
// abandons it (any other status, which is returned): fsync, close, rename
// over the target (if it is still expect, where given), fsync the directory.
// Any failure removes the temporary file and leaves the target as it was.
int32_t finish_temporary(TempFile &t, int32_t status, const zeb_file_id *expect, zeb_report *report,
                         int32_t *error_number);

// Replaces the regular file file_name by the payload as
// zeb_write_payload(ZEB_WRITE_ATOMIC | ZEB_WRITE_IF_UNCHANGED) does, the
// new file given the modification time mtime_ns before the rename.
int32_t replace_keeping_time(const char *file_name, const zeb_payload &p, int64_t mtime_ns, zeb_report *report,
                             int32_t *error_number);

// Whether a write with these flags goes through a temporary file, with the
// file to be replaced in *target.
bool atomic_target(const char *file_name, int32_t flags, std::string *target);

// A seek index for the stream of layout c, its places to be filled while
// it is coded, or null where it gets none.
zeb::SeekIndex *new_index(const Request &r, const zeb_stream_choice &c);

// What zeb_prepare decides before coding: the raw payload in *out, the
// checked request in *req and, where a stream is to be coded, its layout in
// *choice with *encode set.  Returns ZEB_OK or zeb_prepare's failure status.
int32_t plan_payload(const void *data, int32_t type, const int32_t *dims, int32_t dim_count,
                     const char *header_text, int32_t text_len, int32_t mode, int32_t threads, zeb_payload *out,
                     Request *req, zeb_stream_choice *choice, bool *encode, zeb_report *report);

// Makes the planned payload compressed: its stream coded in memory (or left
// raw where no stream is smaller).
int32_t encode_payload(const Request &r, const zeb_stream_choice &c, int32_t threads, zeb_payload *out,
                       zeb_report *report);

// The checks of zeb_payload_add_record, and the record's contents but for
// its checksums and index.
int32_t record_contents(const zeb_payload *payload, int32_t dtype, const uint8_t *metadata, int64_t metadata_len,
                        zeb::RecordContents *c, zeb_report *report, const uint8_t *sections = nullptr,
                        int64_t sections_len = 0);

// Bytes of the header blocks of a record of c with the index `from` as
// attach_record thins it (none: null).
int64_t record_blocks_size(zeb::RecordContents c, const zeb::SeekIndex *from);

// Builds the record of c, with the data CRC given and the index `from`
// thinned to the room left, for the payload's header and size, into the
// payload.  On failure the payload is unchanged.
int32_t attach_record(zeb_payload *payload, zeb::RecordContents c, const zeb::SeekIndex *from, uint32_t data_crc,
                      zeb_report *report);

}  // namespace zeb::writer

#endif
