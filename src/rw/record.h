// pyzeb's header record: its layout, building it and parsing it.  The record
// fills the header blocks after the first; docs/format.md gives its bytes.
#ifndef ZEB_RECORD_H
#define ZEB_RECORD_H

#include <cstdint>

#include "zebrw.h"

namespace zeb {

// Preamble offsets and sizes.
constexpr int64_t kRecordMagicSize = 8;
constexpr int64_t kRecordPreamble = 24;  // magic, version, preamble size, length, flags, CRC
constexpr int64_t kRecordCrcAt = 20;
constexpr int64_t kSectionHead = 8;      // type (2), flags (2), length (4)
constexpr int64_t kChecksumsSize = 24;   // flags, header CRC, data CRC, reserved, data length
constexpr int64_t kDtypeSize = 4;

// Section types.
enum : uint16_t {
    kSectionChecksums = 1,
    kSectionDtype = 2,
    kSectionMetadata = 3,
    kSectionIndex = 4,
    kSectionDeflated = ZEB_SECTION_DEFLATED_METADATA,
    kSectionQuantization = ZEB_SECTION_QUANTIZATION,
    kSectionTypes = 7  // one past the last type this library knows
};

// The seek index section: flags, every, count, reserved, then count 4-byte
// body offsets.
constexpr int64_t kIndexHead = 16;
constexpr int64_t kIndexEntry = 4;
// Most entries a record holds (4 KiB of offsets); fewer where metadata take
// the room.
constexpr int64_t kIndexMaxEntries = 1024;

// A seek index: where blocks every, 2 * every, ... start in the stream body.
struct SeekIndex {
    int64_t every = 0;
    int64_t count = 0;  // 0: no index
    int64_t offsets[kIndexMaxEntries] = {};
};

// Flags of the checksums section.
constexpr uint32_t kDataUnchecked = 1;

// What a record holds, to be written.
struct RecordContents {
    uint32_t header_crc = 0;
    uint32_t data_crc = 0;
    int64_t data_length = 0;
    bool data_unchecked = false;
    int32_t dtype = ZEB_DTYPE_STORED;
    const uint8_t *metadata = nullptr;
    int64_t metadata_len = -1;  // -1: no metadata section
    const SeekIndex *index = nullptr;  // null or count 0: no index section
    // Whole sections of the kept types (head and body), written as they are.
    const uint8_t *sections = nullptr;
    int64_t sections_len = 0;
};

// Whether n bytes are whole sections of the kept types, each type at most
// once: what RecordContents::sections may hold.
bool kept_sections_sound(const uint8_t *p, int64_t n);

// Entries of a seek index that fit in a record with the other contents of c
// (at most kIndexMaxEntries; 0 when not one fits).
int64_t index_room(const RecordContents &c);

// Bytes of the record of c, padding excluded.
int64_t record_length(const RecordContents &c);

// Writes the record of c into out (room for the record's whole blocks, which
// are zero-filled first) and seals it with its CRC.
void build_record(const RecordContents &c, uint8_t *out, int64_t blocks_size);

// The record's own CRC: bytes 0 to length - 1 with its CRC field as zeros.
uint32_t record_crc(const uint8_t *rec, int64_t length);

// Where the header CRC and the flags of the checksums section lie in a sound
// record (offsets from its start), or -1 without that section.
int64_t checksums_offset(const uint8_t *rec, int64_t length);

// Parses the n bytes of the blocks after the first into *out: state NONE
// when they do not begin with the record's magic (nor something within a
// few bits of it), DAMAGED with *fault (ZEB_RECORD_FAULT_*) when the record
// fails its own checks, else OK.  Never reads outside the n bytes.
// With index, a seek index section is read into it (count 0 without one).
int32_t parse_record(const uint8_t *blocks, int64_t n, zeb_record_info *out, int32_t *fault,
                     SeekIndex *index = nullptr);

// Whether n bytes begin with the exact magic.
bool has_record_magic(const uint8_t *p, int64_t n);

}  // namespace zeb

#endif
