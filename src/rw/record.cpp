// pyzeb's header record: building it, sealing it with its CRC and parsing it.
#include "record.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "crc32c.h"

namespace {

using zeb::kRecordPreamble;
using zeb::kSectionHead;

// Little-endian stores and loads at byte offsets.
void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void put64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t get64(const uint8_t *p) { return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32; }

const uint8_t *magic() { return reinterpret_cast<const uint8_t *>(ZEB_RECORD_MAGIC); }

// Bits in which the first 8 bytes differ from the magic.
int magic_distance(const uint8_t *p)
{
    int d = 0;
    for (int i = 0; i < zeb::kRecordMagicSize; ++i)
        d += std::popcount(unsigned(p[i] ^ magic()[i]));
    return d;
}

// A damaged magic still marks the record as ours when it is this close: a
// foreign block comes within 4 bits of these 64 only by design.
constexpr int kMagicSlack = 4;

uint8_t *put_section(uint8_t *p, uint16_t type, int64_t length)
{
    put16(p, type);
    put16(p + 2, 0);
    put32(p + 4, uint32_t(length));
    return p + kSectionHead;
}

void add_skipped(zeb_record_info *out, int32_t type)
{
    if (out->skipped_count < ZEB_RECORD_MAX_SKIPPED)
        out->skipped_types[out->skipped_count] = type;
    ++out->skipped_count;
}

// The sections of a record whose preamble and CRC are sound.  Returns a
// fault or 0.
int32_t parse_sections(const uint8_t *rec, int64_t begin, int64_t length, zeb_record_info *out,
                       zeb::SeekIndex *index)
{
    bool seen[zeb::kSectionTypes] = {};
    int64_t at = begin;
    while (at < length) {
        if (length - at < kSectionHead)
            return ZEB_RECORD_FAULT_LAYOUT;
        const uint16_t type = get16(rec + at);
        const int64_t n = get32(rec + at + 4);
        const uint8_t *body = rec + at + kSectionHead;
        if (n > length - at - kSectionHead)
            return ZEB_RECORD_FAULT_LAYOUT;
        if (type >= 1 && type < zeb::kSectionTypes) {
            if (seen[type])
                return ZEB_RECORD_FAULT_LAYOUT;
            seen[type] = true;
        }
        // Known sections may grow in later versions: their known fields come first.
        switch (type) {
        case zeb::kSectionChecksums:
            if (n < zeb::kChecksumsSize)
                return ZEB_RECORD_FAULT_LAYOUT;
            out->checksum = 1;
            out->data_unchecked = (get32(body) & zeb::kDataUnchecked) != 0;
            out->header_crc = get32(body + 4);
            out->data_crc = get32(body + 8);
            out->data_length = int64_t(get64(body + 16) & INT64_MAX);
            if (get64(body + 16) > uint64_t(INT64_MAX))
                return ZEB_RECORD_FAULT_LAYOUT;
            break;
        case zeb::kSectionDtype: {
            if (n < zeb::kDtypeSize)
                return ZEB_RECORD_FAULT_LAYOUT;
            uint32_t code = get32(body);
            if (code <= 0x7FFFFFFF && zeb_dtype_stored_type(int32_t(code)) >= 0)
                out->dtype = int32_t(code);
            else
                add_skipped(out, type);  // a dtype of a later version: read as the stored type
            break;
        }
        case zeb::kSectionMetadata:
            out->has_metadata = 1;
            out->metadata_size = n;
            std::memcpy(out->metadata, body, size_t(n));  // n < ZEB_RECORD_MAX_BYTES: within the record
            break;
        case zeb::kSectionIndex: {
            // Known fields first: the section may grow in later versions.
            if (n < zeb::kIndexHead)
                return ZEB_RECORD_FAULT_LAYOUT;
            const int64_t every = get32(body + 4), count = get32(body + 8);
            if (every < 1 || every > INT32_MAX || count > zeb::kIndexMaxEntries || count * zeb::kIndexEntry > n - zeb::kIndexHead)
                return ZEB_RECORD_FAULT_LAYOUT;
            if (index) {
                index->every = every;
                index->count = count;
                for (int64_t i = 0; i < count; ++i)
                    index->offsets[i] = get32(body + zeb::kIndexHead + zeb::kIndexEntry * i);
            }
            break;
        }
        case zeb::kSectionDeflated:
        case zeb::kSectionQuantization:
            // kept as stored: the caller interprets them
            std::memcpy(out->sections + out->sections_size, rec + at, size_t(kSectionHead + n));
            out->sections_size += kSectionHead + n;  // together at most the record's length
            break;
        default:
            add_skipped(out, type);
            break;
        }
        at += kSectionHead + n;
    }
    return 0;
}

}  // namespace

namespace zeb {

namespace {

bool has_index(const RecordContents &c) { return c.index && c.index->count > 0; }

}  // namespace

int64_t record_length(const RecordContents &c)
{
    int64_t n = kRecordPreamble + kSectionHead + kChecksumsSize;
    if (c.dtype != ZEB_DTYPE_STORED)
        n += kSectionHead + kDtypeSize;
    if (c.metadata_len >= 0)
        n += kSectionHead + c.metadata_len;
    if (has_index(c))
        n += kSectionHead + kIndexHead + kIndexEntry * c.index->count;
    return n + c.sections_len;
}

bool kept_sections_sound(const uint8_t *p, int64_t n)
{
    bool seen[kSectionTypes] = {};
    int64_t at = 0;
    while (at < n) {
        if (n - at < kSectionHead)
            return false;
        const uint16_t type = get16(p + at);
        const int64_t size = get32(p + at + 4);
        if ((type != kSectionDeflated && type != kSectionQuantization) || seen[type] || size > n - at - kSectionHead)
            return false;
        seen[type] = true;
        at += kSectionHead + size;
    }
    return true;
}

int64_t index_room(const RecordContents &c)
{
    RecordContents without = c;
    without.index = nullptr;
    const int64_t left = ZEB_RECORD_MAX_BYTES - record_length(without) - kSectionHead - kIndexHead;
    return left < kIndexEntry ? 0 : std::min(kIndexMaxEntries, left / kIndexEntry);
}

uint32_t record_crc(const uint8_t *rec, int64_t length)
{
    static const uint8_t zeros[4] = {};
    uint32_t crc = crc32c(0, rec, size_t(kRecordCrcAt));
    crc = crc32c(crc, zeros, sizeof zeros);
    return crc32c(crc, rec + kRecordCrcAt + 4, size_t(length - kRecordCrcAt - 4));
}

void build_record(const RecordContents &c, uint8_t *out, int64_t blocks_size)
{
    const int64_t length = record_length(c);
    std::memset(out, 0, size_t(blocks_size));
    std::memcpy(out, magic(), kRecordMagicSize);
    put16(out + 8, ZEB_RECORD_VERSION);
    put16(out + 10, uint16_t(kRecordPreamble));
    put32(out + 12, uint32_t(length));
    put32(out + 16, 0);
    uint8_t *p = put_section(out + kRecordPreamble, kSectionChecksums, kChecksumsSize);
    put32(p, c.data_unchecked ? kDataUnchecked : 0);
    put32(p + 4, c.header_crc);
    put32(p + 8, c.data_crc);
    put32(p + 12, 0);
    put64(p + 16, uint64_t(c.data_length));
    p += kChecksumsSize;
    if (c.dtype != ZEB_DTYPE_STORED) {
        p = put_section(p, kSectionDtype, kDtypeSize);
        put32(p, uint32_t(c.dtype));
        p += kDtypeSize;
    }
    if (c.metadata_len >= 0) {
        p = put_section(p, kSectionMetadata, c.metadata_len);
        if (c.metadata_len > 0)
            std::memcpy(p, c.metadata, size_t(c.metadata_len));
        p += c.metadata_len;
    }
    if (c.sections_len > 0) {
        std::memcpy(p, c.sections, size_t(c.sections_len));
        p += c.sections_len;
    }
    if (has_index(c)) {
        const SeekIndex &ix = *c.index;
        p = put_section(p, kSectionIndex, kIndexHead + kIndexEntry * ix.count);
        put32(p, 0);
        put32(p + 4, uint32_t(ix.every));
        put32(p + 8, uint32_t(ix.count));
        put32(p + 12, 0);
        for (int64_t i = 0; i < ix.count; ++i)
            put32(p + kIndexHead + kIndexEntry * i, uint32_t(ix.offsets[i]));
    }
    put32(out + kRecordCrcAt, record_crc(out, length));
}

int64_t checksums_offset(const uint8_t *rec, int64_t length)
{
    int64_t at = get16(rec + 10);
    while (at + kSectionHead <= length) {
        int64_t n = get32(rec + at + 4);
        if (get16(rec + at) == kSectionChecksums)
            return at + kSectionHead;
        at += kSectionHead + n;
    }
    return -1;
}

bool has_record_magic(const uint8_t *p, int64_t n)
{
    return n >= kRecordMagicSize && std::memcmp(p, magic(), kRecordMagicSize) == 0;
}

int32_t parse_record(const uint8_t *rec, int64_t n, zeb_record_info *out, int32_t *fault, SeekIndex *index)
{
    std::memset(out, 0, sizeof *out);
    if (index)
        index->count = 0;
    *fault = 0;
    if (n < kRecordMagicSize || magic_distance(rec) > kMagicSlack)
        return ZEB_RECORD_NONE;
    auto damaged = [&](int32_t f) {
        std::memset(out, 0, sizeof *out);
        out->state = ZEB_RECORD_DAMAGED;
        *fault = f;
        return ZEB_RECORD_DAMAGED;
    };
    if (magic_distance(rec) != 0)
        return damaged(ZEB_RECORD_FAULT_MAGIC);
    if (n < kRecordPreamble)
        return damaged(ZEB_RECORD_FAULT_LAYOUT);
    const int32_t version = get16(rec + 8);
    const int64_t begin = get16(rec + 10);
    const int64_t length = get32(rec + 12);
    if (version < 1 || begin < kRecordPreamble || length < begin || length > n ||
        length > ZEB_RECORD_MAX_BYTES)
        return damaged(ZEB_RECORD_FAULT_LAYOUT);
    if (get32(rec + kRecordCrcAt) != record_crc(rec, length))
        return damaged(ZEB_RECORD_FAULT_CRC);
    out->version = version;
    out->dtype = ZEB_DTYPE_STORED;
    if (int32_t f = parse_sections(rec, begin, length, out, index)) {
        if (index)
            index->count = 0;
        return damaged(f);
    }
    out->state = ZEB_RECORD_OK;
    out->record_length = int32_t(length);
    out->record_blocks = int32_t((n + F0_HEADER_SIZE - 1) / F0_HEADER_SIZE);
    return ZEB_RECORD_OK;
}

}  // namespace zeb

extern "C" {

ZEB_API int32_t zeb_dtype_stored_type(int32_t dtype)
{
    switch (dtype) {
    case ZEB_DTYPE_STORED: return -1;
    case ZEB_DTYPE_UINT8:
    case ZEB_DTYPE_BOOL: return F0_INT8;
    case ZEB_DTYPE_UINT16: return F0_INT16;
    case ZEB_DTYPE_UINT32: return F0_INT32;
    case ZEB_DTYPE_UINT64: return F0_INT64;
    case ZEB_DTYPE_FLOAT32_INT8:
    case ZEB_DTYPE_FLOAT64_INT8: return F0_INT8;
    case ZEB_DTYPE_FLOAT32_INT16:
    case ZEB_DTYPE_FLOAT64_INT16: return F0_INT16;
    case ZEB_DTYPE_FLOAT32_INT32:
    case ZEB_DTYPE_FLOAT64_INT32:
    case ZEB_DTYPE_FLOAT32_QUANTIZED:
    case ZEB_DTYPE_FLOAT64_QUANTIZED: return F0_INT32;
    default: return -1;
    }
}

ZEB_API int64_t zeb_record_metadata_max(int32_t dtype)
{
    zeb::RecordContents c;
    c.dtype = dtype;
    c.metadata_len = 0;
    return ZEB_RECORD_MAX_BYTES - zeb::record_length(c);
}

}  // extern "C"
