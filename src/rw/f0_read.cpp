// Reading F0 files: the header, then raw or crunch-compressed data; whole
// files, or headers first and then the data into the caller's buffer.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "crc32c.h"
#include "f0_internal.h"
#include "platform.h"
#include "record.h"

namespace {

using zeb::add_event;

// Checks the header values the data layout depends on and computes the
// element count.  Returns a negative status when the file must be refused.
int32_t check_layout(const f0_header &h, int64_t *count, zeb_report *report)
{
    if (h.dim_count > F0_MAX_DIMS) {
        add_event(report, ZEB_EV_DIM_COUNT, ZEB_E_DIM_COUNT, h.dim_count);
        return ZEB_E_DIM_COUNT;
    }
    for (int i = 0; i < h.dim_count; ++i) {
        if (h.dims[i] < 0) {
            add_event(report, ZEB_EV_NEGATIVE_DIM, ZEB_E_NEGATIVE_DIM, h.dims[i]);
            return ZEB_E_NEGATIVE_DIM;
        }
    }
    *count = zeb::element_count(h.dims, h.dim_count);
    int64_t size = zeb_element_size(h.datyp);
    if (size > 0 && *count > F0_MAX_DATA_SIZE / size) {
        // The count saturates (see element_count): say "more than" then.
        add_event(report, ZEB_EV_TOO_LARGE, ZEB_E_TOO_LARGE, *count * size, *count >= zeb::kElementCountCap);
        return ZEB_E_TOO_LARGE;
    }
    return ZEB_OK;
}

// Keeps the first problem of a call as its status.
void note(int32_t *status, int32_t s)
{
    if (*status == ZEB_OK)
        *status = s;
}

// What the headers of a file say, once they have been checked.
struct Layout {
    f0_header h;
    int32_t reversed = 0;
    int64_t count = 0;       // elements
    int32_t size = 0;        // bytes per element (0: unknown type)
    bool compressed = false;
    bool swap = false;       // raw data are stored in the other byte order
    compress_header ch{};    // compressed files, once read
    uint8_t stream_raw[ZEB_COMPRESS_HEADER_SIZE] = {};  // the stream header as stored
};

// What a reader of the record keeps besides the layout.
struct Checks {
    bool want = false;       // the record is looked for (the core calls with flags)
    bool verify = false;     // and checked, with the checksums
    zeb_record_info rec{};
    zeb::SeekIndex index;    // a sound record's seek index (count 0: none)
    // Whether zeb_read_data computes the CRC of the data.
    bool data_crc() const { return verify && rec.state == ZEB_RECORD_OK && rec.checksum && !rec.data_unchecked; }
};

int32_t record_damaged(zeb_report *report, int32_t fault)
{
    add_event(report, ZEB_EV_RECORD_DAMAGED, ZEB_E_RECORD, fault);
    return ZEB_E_RECORD;
}

int32_t checksum_mismatch(zeb_report *report, int32_t part, uint32_t stored, uint32_t computed)
{
    add_event(report, ZEB_EV_CHECKSUM, ZEB_E_CHECKSUM, part, int64_t(uint64_t(stored) << 32 | computed));
    return ZEB_E_CHECKSUM;
}

// Parses the record in the blocks after the first and checks the first
// block against it.  Where the header says there is a single block but a
// record's magic begins where the data should, header_blocks itself was
// damaged.
int32_t check_record(zeb::Source &src, const Layout &l, const uint8_t *blocks, int64_t got, Checks &c,
                     zeb_report *report)
{
    // A file that ends inside its header blocks is reported as short when
    // its data are read, as any such file.
    int32_t fault = 0;
    if (l.h.header_blocks >= 2 && got == int64_t(F0_HEADER_SIZE) * (l.h.header_blocks - 1))
        zeb::parse_record(blocks, got, &c.rec, &fault, &c.index);
    zeb_record_info &r = c.rec;
    if (r.state == ZEB_RECORD_NONE) {
        const uint8_t *next = l.h.header_blocks < 2 ? src.buffered(zeb::kRecordMagicSize) : nullptr;
        if (c.verify && next && zeb::has_record_magic(next, zeb::kRecordMagicSize))
            return record_damaged(report, ZEB_RECORD_FAULT_MISPLACED);
        return ZEB_OK;
    }
    if (r.state == ZEB_RECORD_DAMAGED)
        return c.verify ? record_damaged(report, fault) : ZEB_OK;
    if (c.verify && (r.version > ZEB_RECORD_VERSION || r.skipped_count > 0))
        add_event(report, ZEB_EV_RECORD_SKIPPED, ZEB_OK, r.version, r.skipped_count);
    if (r.dtype != ZEB_DTYPE_STORED && zeb_dtype_stored_type(r.dtype) != l.h.datyp) {
        if (c.verify)
            return record_damaged(report, ZEB_RECORD_FAULT_MISMATCH);
        r.dtype = ZEB_DTYPE_STORED;  // unverified: never a wider or narrower element than stored
    }
    if (c.verify && r.checksum) {
        uint32_t crc = zeb::crc32c(0, &l.h, F0_HEADER_SIZE);
        if (crc != r.header_crc)
            return checksum_mismatch(report, ZEB_CRC_PART_HEADER, r.header_crc, crc);
    }
    return ZEB_OK;
}

// Reads and checks the 512-byte header, the record where one is looked
// for, and the layout the header describes.
int32_t read_checked_header(zeb::Source &src, Layout &l, zeb_report *report, Checks *checks = nullptr)
{
    int32_t status;
    if (checks && checks->want) {
        uint8_t blocks[ZEB_RECORD_MAX_BYTES];
        int64_t got = 0;
        l.reversed = zeb::read_header(src, &l.h, 0, report, blocks, &got);
        if (l.reversed >= 0 && (status = check_record(src, l, blocks, got, *checks, report)) != ZEB_OK)
            return status;
    } else {
        l.reversed = zeb::read_header(src, &l.h, 0, report);
    }
    if (l.reversed < 0) {
        add_event(report, ZEB_EV_HEADER_REFUSED, l.reversed);
        return l.reversed;
    }
    status = check_layout(l.h, &l.count, report);
    if (status != ZEB_OK)
        return status;
    l.size = zeb_element_size(l.h.datyp);
    l.compressed = l.h.file_flags & F0_FLAG_COMPRESSED;
    l.swap = ((l.h.file_flags & F0_FLAG_SWAPPED) != 0) != (l.reversed != 0);
    return ZEB_OK;
}

// A strict read refuses, before allocating, a file too short to hold its
// data: raw data byte for byte, or a stream that could not produce that
// many elements (no code takes less than 1 bit, no run segment less than
// 3 bytes for 129 elements).
int32_t check_room(const zeb::Source &src, const Layout &l, zeb_report *report)
{
    int64_t data_size = l.count * l.size;
    int64_t left = src.remaining();
    if (left < 0)
        return ZEB_OK;
    bool raw_short = !l.compressed && left < data_size;
    bool stream_short = l.compressed && l.count > 64 * left + 64;
    if (!raw_short && !stream_short)
        return ZEB_OK;
    int32_t status = raw_short ? ZEB_E_TRUNCATED : ZEB_E_SHORT_BODY;
    add_event(report, raw_short ? ZEB_EV_TRUNCATED : ZEB_EV_SHORT_BODY, status, left, data_size);
    return status;
}

// Refuses a stream body that the file is known to be too short for.
int32_t check_body_room(const zeb::Source &src, const Layout &l, zeb_report *report)
{
    int64_t claimed = int64_t(l.ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE;
    int64_t left = src.remaining();
    if (left >= 0 && left < claimed) {
        add_event(report, ZEB_EV_SHORT_BODY, ZEB_E_SHORT_BODY, left, claimed);
        return ZEB_E_SHORT_BODY;
    }
    return ZEB_OK;
}

int32_t check_data_length(const Layout &l, const Checks &checks, zeb_report *report);

// Reads the 14-byte stream header; a strict read also refuses a body that
// the file is known to be too short for.  With checks, a verified record's
// data length comes first: any damage to the stream's header is damage to
// the data.
int32_t read_stream_header(zeb::Source &src, Layout &l, bool strict, zeb_report *report,
                           const Checks *checks = nullptr)
{
    uint8_t *raw_header = l.stream_raw;
    if (zeb_parse_compress_header(raw_header, src.read(raw_header, ZEB_COMPRESS_HEADER_SIZE), &l.ch) != ZEB_OK) {
        add_event(report, ZEB_EV_SHORT_COMPRESS_HEADER, ZEB_E_SHORT_COMPRESS_HEADER);
        return ZEB_E_SHORT_COMPRESS_HEADER;
    }
    int32_t status;
    if (checks && (status = check_data_length(l, *checks, report)) != ZEB_OK)
        return status;
    if (l.ch.stream_size < ZEB_COMPRESS_HEADER_SIZE) {
        add_event(report, ZEB_EV_BAD_STREAM_SIZE, ZEB_E_BAD_STREAM_SIZE, l.ch.stream_size);
        return ZEB_E_BAD_STREAM_SIZE;
    }
    return strict ? check_body_room(src, l, report) : ZEB_OK;
}

// Raw data are read in pieces this large, each checked while it is still in
// the core's cache: the check then costs little more than the CRC
// instructions themselves.  (A second thread checking one piece behind the
// reading gained nothing on a busy two-core machine, and lost under load.)
constexpr int64_t kCrcPiece = int64_t(256) << 10;

// Reads n bytes into p in pieces, extending *crc over each; returns the
// bytes read.
int64_t read_checked(zeb::Source &src, uint8_t *p, int64_t n, uint32_t *crc)
{
    int64_t got = 0;
    while (got < n) {
        int64_t want = std::min(kCrcPiece, n - got);
        int64_t k = src.read(p + got, want);
        *crc = zeb::crc32c(*crc, p + got, size_t(k));
        got += k;
        if (k < want)
            break;
    }
    return got;
}

// Reads raw data into data (n bytes) and swaps them where needed.  With crc,
// *crc is extended over the bytes as stored.
int32_t read_raw(zeb::Source &src, const Layout &l, void *data, int64_t n, zeb_report *report,
                 uint32_t *crc = nullptr)
{
    int32_t status = ZEB_OK;
    int64_t got = 0;
    if (!crc) {
        got = src.read(data, n);
    } else {
        got = read_checked(src, static_cast<uint8_t *>(data), n, crc);
    }
    src.done();
    if (got < n) {
        add_event(report, ZEB_EV_TRUNCATED, ZEB_E_TRUNCATED, got, n);
        note(&status, ZEB_E_TRUNCATED);
    }
    if (l.swap)
        zeb::swap_elements(data, n / l.size, l.size);
    return status;
}

// A source that extends a CRC over every byte read through it (passing
// over bytes reads them too).
class CrcSource final : public zeb::Source {
public:
    CrcSource(zeb::Source &in, uint32_t crc) : in_(in), crc_(crc) {}
    int64_t read(void *dst, int64_t n) override
    {
        int64_t k = in_.read(dst, n);
        if (k > 0)
            crc_ = zeb::crc32c(crc_, dst, size_t(k));
        return k;
    }
    int64_t remaining() const override { return in_.remaining(); }
    void done() override { in_.done(); }
    uint32_t crc() const { return crc_; }

private:
    zeb::Source &in_;
    uint32_t crc_;
};

void append_events(zeb_report *report, const zeb_report &from)
{
    for (int32_t i = 0; i < from.count && i < ZEB_REPORT_MAX; ++i)
        if (zeb_event *e = add_event(report, 0, 0))
            *e = from.events[i];
}

// How a stream with a seek index is decoded.
struct Pieces {
    const zeb::SeekIndex *index = nullptr;  // null or count 0: no index
    int32_t threads = 1;
};

// The body of a stream with a seek index, handed to zeb_decode_indexed_from
// piece by piece: from memory where the source holds it, else read from the
// file into one buffer by the thread that decodes the piece, so that reading
// (a copy from the system's cache, mostly) is spread over the threads too.
// Each piece's CRC is taken there as well, while its bytes are in cache, and
// the pieces' CRCs are joined in order afterwards.
class PieceReader {
public:
    static constexpr int kPieces = 64;  // what zeb_decode_indexed_from uses at most

    // length: the body's bytes (those the source holds, at most claimed).
    PieceReader(const zeb::Source &src, const uint8_t *memory, int64_t length, bool crc)
        : src_(src), memory_(memory), length_(length), crc_(crc)
    {
        if (!memory_)
            buffer_.reset(static_cast<uint8_t *>(std::malloc(size_t(std::max<int64_t>(length_, 1)))));
    }
    bool ready() const { return memory_ || buffer_; }
    bool failed() const { return failed_.load(); }

    static const uint8_t *fetch(void *self, int64_t piece, int64_t at, int64_t len)
    {
        return static_cast<PieceReader *>(self)->get(piece, at, len);
    }

    // The CRC of the whole body continued from crc: joined from the pieces'
    // where they cover it, else taken again over all of it.
    uint32_t crc(uint32_t crc)
    {
        int64_t next = 0;
        uint32_t joined = crc;
        for (int p = 0; p < kPieces && next < length_; ++p) {
            if (!piece_[p].got || piece_[p].at != next)
                break;
            joined = zeb::crc32c_combine(joined, piece_[p].crc, uint64_t(piece_[p].len));
            next += piece_[p].len;
        }
        if (next == length_)
            return joined;
        const uint8_t *all = memory_;
        if (!all && src_.read_ahead(buffer_.get(), length_, 0) == length_)
            all = buffer_.get();
        return all ? zeb::crc32c(crc, all, size_t(length_)) : ~crc;  // unreadable: no match
    }

private:
    const uint8_t *get(int64_t piece, int64_t at, int64_t len)
    {
        if (at < 0 || len < 0 || at > length_ || len > length_ - at)
            return nullptr;
        const uint8_t *p = memory_ ? memory_ + at : buffer_.get() + at;
        if (!memory_ && src_.read_ahead(buffer_.get() + at, len, at) != len) {
            failed_.store(true);
            return nullptr;
        }
        if (piece >= 0 && piece < kPieces) {
            piece_[piece] = Piece{at, len, crc_ ? zeb::crc32c(0, p, size_t(len)) : 0, true};
        }
        return p;
    }

    struct Piece {
        int64_t at = 0, len = 0;
        uint32_t crc = 0;
        bool got = false;
    };
    const zeb::Source &src_;
    const uint8_t *memory_;
    int64_t length_;
    bool crc_;
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer_{nullptr, &std::free};
    std::atomic<bool> failed_{false};
    Piece piece_[kPieces];  // each written by the one thread that fetches that piece
};

// The events and status of a decoding that was to give `need` elements
// (of the `total` the file's dimensions call for); `memory` is what could
// not be allocated.
int32_t decoding_outcome(zeb_report *found, int32_t st, const zeb_decode_info &info, int64_t need, int64_t total,
                         int64_t memory)
{
    if (st == ZEB_E_NO_MEMORY) {
        add_event(found, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, memory);
        return st;
    }
    if (st != ZEB_OK) {
        if (zeb_event *e = add_event(found, ZEB_EV_DECODE, st))
            e->decode = info;
        return st;
    }
    if (info.elements < need) {
        add_event(found, ZEB_EV_INCOMPLETE, ZEB_E_INCOMPLETE, info.elements, total);
        return ZEB_E_INCOMPLETE;
    }
    return ZEB_OK;
}

// What is checked of a stream before it is decoded into count elements:
// more blocks than the array holds (a warning: *nblocks is corrected to keep
// the decoder inside the array), the pairing of the stream with the file's
// type.  Events go to found; returns the status that rules out decoding.
int32_t check_stream(const Layout &l, int64_t count, zeb_report *found, int32_t *nblocks)
{
    const compress_header &ch = l.ch;
    *nblocks = ch.nblocks;
    if (int64_t(ch.nblocks) * ch.block_size > count && ch.block_size != 0) {
        int32_t corrected = static_cast<int32_t>(count / ch.block_size);
        add_event(found, ZEB_EV_NBLOCKS, ZEB_OK, ch.nblocks, corrected);
        *nblocks = corrected;
    }
    if (l.h.datyp == (ch.compression_type & 1))
        add_event(found, ZEB_EV_INCONSISTENT, ZEB_OK);
    const int32_t width = zeb_compression_width(ch.compression_type);
    if (width == 0) {
        add_event(found, ZEB_EV_UNKNOWN_COMPRESSION, ZEB_E_UNKNOWN_COMPRESSION, l.h.datyp, ch.compression_type);
        return ZEB_E_UNKNOWN_COMPRESSION;
    }
    if (width != l.size) {
        add_event(found, ZEB_EV_WIDTH_MISMATCH, ZEB_E_WIDTH_MISMATCH, width * 8, l.h.datyp);
        return ZEB_E_WIDTH_MISMATCH;
    }
    return ZEB_OK;
}

// Reads the stream body that follows the stream header and decodes it into
// data (count elements).  The body is decoded from memory where the source
// is memory, else in windows of `window` bytes (a body with a seek index,
// which the file holds whole, in pieces on several threads); either way the
// whole body is read (or passed over) before the result is known, so that a
// body that comes up short is reported as such first, as a read of the whole
// body into one buffer would report it.
int32_t read_stream(zeb::Source &src_in, const Layout &l, void *data, int64_t count, bool strict, int64_t window,
                    zeb_report *report, uint32_t *crc = nullptr, const Pieces &pieces = Pieces{})
{
    // With crc, every body byte passes through the CRC: from memory in one
    // go, from a file window by window as it is read.
    CrcSource checked(src_in, crc ? *crc : 0);
    int64_t in_memory = 0;
    const bool body_in_memory = src_in.peek(&in_memory) != nullptr;
    zeb::Source &src = crc && !body_in_memory ? static_cast<zeb::Source &>(checked) : src_in;
    const compress_header &ch = l.ch;
    const int64_t claimed = int64_t(ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE;
    zeb_report found{};  // what decoding finds, reported after the body's length
    int32_t status = ZEB_OK;

    int32_t nblocks = 0;
    int64_t consumed = 0;
    bool in_pieces = false;  // the body was read and checked piece by piece
    if ((status = check_stream(l, count, &found, &nblocks)) == ZEB_OK) {
        zeb_decode_info info;
        int64_t avail = 0;
        int32_t st;
        const zeb::SeekIndex *ix = pieces.index && pieces.index->count > 0 && nblocks == ch.nblocks ? pieces.index
                                                                                                   : nullptr;
        const uint8_t *body = src.peek(&avail);
        std::optional<PieceReader> reader;
        // A file that holds the whole body is read in pieces by the decoding
        // threads (where the memory for it is there; else window by window).
        if (ix && (body || (claimed > 0 && src_in.remaining() >= claimed)))
            reader.emplace(src_in, body, body ? std::min(avail, claimed) : claimed, crc != nullptr);
        if (reader && reader->ready()) {
            consumed = body ? std::min(avail, claimed) : claimed;
            st = zeb_decode_indexed_from(ch.compression_type, PieceReader::fetch, &*reader, consumed, data, count,
                                         ch.slice, ch.block_size, nblocks, int32_t(ix->every), ix->offsets,
                                         ix->count, pieces.threads, &info);
            if (reader->failed()) {
                consumed = 0;  // read it again below, and learn where it ends
            } else {
                if (crc)
                    *crc = reader->crc(*crc);
                src_in.skip(consumed);
                in_pieces = true;
            }
        } else if (body) {
            consumed = avail < claimed ? avail : claimed;
            if (crc)
                *crc = zeb::crc32c(*crc, body, size_t(consumed));
            st = zeb_decode(ch.compression_type, body, consumed, data, count, ch.slice, ch.block_size, nblocks,
                            &info);
            src.skip(consumed);
        } else {
            st = zeb::decode_body(src, claimed, ch.compression_type, data, count, ch.slice, ch.block_size,
                                  nblocks, window, &info, &consumed);
        }
        status = decoding_outcome(&found, st, info, count, count, window);
    }
    int64_t got = consumed;
    if (crc && body_in_memory) {
        int64_t avail = 0;
        const uint8_t *rest = src.peek(&avail);
        got += src.skip(claimed - consumed);
        *crc = zeb::crc32c(*crc, rest, size_t(got - consumed));
    } else {
        got += src.skip(claimed - consumed);
    }
    src.done();
    if (crc && !body_in_memory && !in_pieces)
        *crc = checked.crc();
    int32_t result = ZEB_OK;
    if (got < claimed) {
        add_event(report, ZEB_EV_SHORT_BODY, ZEB_E_SHORT_BODY, got, claimed);
        result = ZEB_E_SHORT_BODY;
        if (strict)
            return result;
    }
    append_events(report, found);
    note(&result, status);
    return result;
}

// Whether a seek index can describe a stream body of body_len bytes in
// nblocks blocks: its number of entries, and offsets strictly increasing
// inside the body.  Otherwise *info says where it fails, as indexed
// decoding would.
bool index_fits(const zeb::SeekIndex &ix, int32_t nblocks, int64_t body_len, zeb_decode_info *info)
{
    int64_t bad = -1;
    if (ix.every < 1 || ix.count != (int64_t(nblocks) - 1) / ix.every)
        bad = 0;
    for (int64_t i = 0; bad < 0 && i < ix.count; ++i)
        if (ix.offsets[i] <= (i ? ix.offsets[i - 1] : 0) || ix.offsets[i] >= body_len)
            bad = (i + 1) * ix.every;
    if (bad < 0)
        return true;
    *info = zeb_decode_info{};
    info->status = ZEB_E_BAD_INDEX;
    info->block = bad;
    return false;
}

// Decodes blocks [d0, d1) of a body with a seek index into out (room for
// their elements), from the indexed block d0 (a multiple of ix.every) up to
// d1 (the next indexed block or the last): only those bytes of the body are
// read (from memory where src holds it), and decoded in the index's pieces on
// `threads`.  The last piece must end exactly at the next indexed block.
// *info speaks of the whole body.  A body that ends before those bytes gives
// ZEB_E_SHORT_BODY, with *got the bytes it holds.
int32_t decode_indexed_blocks(zeb::Source &src, const Layout &l, const zeb::SeekIndex &ix, int64_t d0, int64_t d1,
                              int32_t nblocks, void *out, int32_t threads, zeb_decode_info *info, int64_t *got)
{
    const compress_header &ch = l.ch;
    const int64_t claimed = int64_t(ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE;
    const int64_t k0 = d0 / ix.every, k1 = std::min(ix.count + 1, (d1 + ix.every - 1) / ix.every);
    auto start = [&](int64_t k) { return k == 0 ? 0 : k > ix.count ? claimed : ix.offsets[k - 1]; };
    const int64_t at = start(k0), len = start(k1) - at;
    std::unique_ptr<uint8_t, decltype(&std::free)> copy(nullptr, &std::free);
    int64_t avail = 0;
    const uint8_t *body = src.peek(&avail);
    if (body) {
        body += std::min(at, avail);
        avail = std::clamp<int64_t>(avail - at, 0, len);
    } else {
        copy.reset(static_cast<uint8_t *>(std::malloc(size_t(std::max<int64_t>(len, 1)))));
        if (!copy) {
            *info = zeb_decode_info{};
            return info->status = ZEB_E_NO_MEMORY;
        }
        avail = src.skip(at) == at ? src.read(copy.get(), len) : 0;
        body = copy.get();
    }
    if (avail < len) {
        *got = at + avail;
        return ZEB_E_SHORT_BODY;
    }
    int64_t sub[zeb::kIndexMaxEntries];
    for (int64_t k = k0 + 1; k < k1; ++k)
        sub[k - k0 - 1] = ix.offsets[k - 1] - at;
    const int64_t blocks = std::min<int64_t>(nblocks, k1 * ix.every) - d0;
    int32_t st = zeb_decode_indexed(ch.compression_type, body, len, out, blocks * ch.block_size, ch.slice,
                                    ch.block_size, static_cast<int32_t>(blocks), static_cast<int32_t>(ix.every),
                                    sub, k1 - k0 - 1, threads, info);
    // The last piece ends where the next indexed block begins (or the body
    // does): one that stops short of it or runs into it does not fit the index.
    if (k1 <= ix.count && (st == ZEB_E_BODY_END || (st == ZEB_OK && info->used != len))) {
        *info = zeb_decode_info{};
        info->block = blocks;
        st = info->status = ZEB_E_BAD_INDEX;
    }
    if (st == ZEB_E_BAD_INDEX)
        info->block += d0;
    zeb::shift_places(info, at, d0, d0 * ch.block_size);
    return st;
}

// Reads elements [first, first + count) (count above 0, inside the array)
// of a compressed file into data.  The blocks that hold them are decoded
// into a buffer of their own (or straight into data where they are exactly
// those elements) and the elements copied out.  With a usable seek index
// the decoding starts one entry before the indexed block at or before the
// first of them and reads only the bytes up to the indexed block after the
// last; without
// one it starts at the body's start and drops the blocks before them.
// What follows is not read, so a body cut short after the range goes
// unnoticed, and so does damage to the rest of the data.
int32_t read_stream_range(zeb::Source &src, const Layout &l, const zeb::SeekIndex &index, int64_t first,
                          int64_t count, void *data, int32_t threads, zeb_report *report)
{
    const compress_header &ch = l.ch;
    const int64_t claimed = int64_t(ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE;
    zeb_report found{};
    int32_t nblocks = 0;
    int32_t status = check_stream(l, l.count, &found, &nblocks);
    zeb_decode_info info{};
    if (status == ZEB_OK && (ch.block_size < 1 || nblocks < 1)) {
        // Nothing to find the range in: decoding says what is wrong.
        int32_t st = zeb_decode(ch.compression_type, nullptr, 0, nullptr, 0, ch.slice, ch.block_size, nblocks, &info);
        status = decoding_outcome(&found, st, info, first + count, l.count, 0);
    }
    if (status != ZEB_OK) {
        append_events(report, found);
        src.done();
        return status;
    }
    const int64_t bs = ch.block_size, width = l.size, end = first + count;
    int64_t d0 = first / bs, d1 = std::min<int64_t>((end + bs - 1) / bs, nblocks);
    const zeb::SeekIndex *ix = index.count > 0 && nblocks == ch.nblocks ? &index : nullptr;
    bool indexed = ix && index_fits(*ix, nblocks, claimed, &info);
    if (indexed) {
        // From the indexed block before the part's first element, and one
        // entry earlier still: that piece must end exactly where the part's
        // first piece begins, which shows that entry to be a block's start
        // (a piece begun at a wrong offset can fall back into step with the
        // blocks and end where the next entry says, with wrong values).
        d0 -= d0 % ix->every;
        d0 = d0 >= ix->every ? d0 - ix->every : 0;
        d1 = std::min<int64_t>(nblocks, (d1 + ix->every - 1) / ix->every * ix->every);
    }
    int32_t st = ZEB_OK;
    bool short_body = false;
    int64_t memory = 0, got = 0;  // bytes of the body read, where it comes up short
    if (ix && !indexed) {
        st = ZEB_E_BAD_INDEX;
    } else if (d1 <= d0) {
        info.elements = int64_t(nblocks) * bs;  // the range lies past the stream's blocks
    } else {
        const bool direct = first == d0 * bs && end == d1 * bs;
        memory = direct ? 0 : (d1 - d0) * bs * width;
        std::unique_ptr<uint8_t, decltype(&std::free)> scratch(
            direct ? nullptr : static_cast<uint8_t *>(zeb::alloc_buffer(memory)), &std::free);
        void *out = direct ? data : scratch.get();
        if (!out) {
            st = ZEB_E_NO_MEMORY;
        } else if (indexed) {
            st = decode_indexed_blocks(src, l, *ix, d0, d1, nblocks, out, threads, &info, &got);
            short_body = st == ZEB_E_SHORT_BODY;
        } else {
            memory = zeb::kStreamWindow;
            st = zeb::decode_body(src, claimed, ch.compression_type, out, (d1 - d0) * bs, ch.slice, ch.block_size,
                                  static_cast<int32_t>(d1), zeb::kStreamWindow, &info, &got, d0);
            short_body = st == ZEB_E_BODY_END && got < claimed;
        }
        if (st == ZEB_OK && !direct && info.elements >= end)
            std::memcpy(data, scratch.get() + (first - d0 * bs) * width, size_t(count * width));
    }
    src.done();
    if (short_body) {
        add_event(report, ZEB_EV_SHORT_BODY, ZEB_E_SHORT_BODY, got, claimed);
        return ZEB_E_SHORT_BODY;
    }
    status = decoding_outcome(&found, st, info, end, l.count, memory);
    append_events(report, found);
    return status;
}

// Everything after the file has been opened.
int32_t read_image(zeb::Source &src, zeb_image *img, zeb_report *report, int32_t flags, int64_t window)
{
    const bool strict = flags & ZEB_READ_STRICT;
    Layout l;
    int32_t status = read_checked_header(src, l, report);
    if (status != ZEB_OK)
        return status;

    img->dim_count = l.h.dim_count;
    std::memcpy(img->dims, l.h.dims, sizeof(int32_t) * l.h.dim_count);
    img->type = l.h.datyp;
    img->compressed = l.compressed;
    img->reversed = l.reversed;
    std::memcpy(img->header_text, l.h.header_text, F0_HEADER_TEXT_SIZE);
    img->header_text[F0_HEADER_TEXT_SIZE] = '\0';

    if (l.size == 0) {
        // No element size: hand the type back with an empty buffer.
        add_event(report, ZEB_EV_UNKNOWN_TYPE, ZEB_E_UNKNOWN_TYPE, l.h.datyp);
        if (!strict && !(img->data = zeb::alloc_buffer(0))) {
            add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, 1);
            return ZEB_E_NO_MEMORY;
        }
        img->header_ok = 1;
        return ZEB_E_UNKNOWN_TYPE;
    }
    if (strict && (status = check_room(src, l, report)) != ZEB_OK) {
        img->header_ok = 1;
        return status;
    }
    int64_t data_size = l.count * l.size;
    img->data = zeb::alloc_buffer(data_size);
    if (!img->data) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, data_size);
        return ZEB_E_NO_MEMORY;
    }
    img->data_size = data_size;
    img->header_ok = 1;
    if (!l.compressed)
        return read_raw(src, l, img->data, data_size, report);
    if ((status = read_stream_header(src, l, strict, report)) != ZEB_OK)
        return status;
    return read_stream(src, l, img->data, l.count, strict, window, report);
}

int32_t finish(zeb_image *img, int32_t status, int32_t flags)
{
    if (status != ZEB_OK && (flags & ZEB_READ_STRICT)) {
        std::free(img->data);
        img->data = nullptr;
    }
    return status;
}

// Opens a file for reading: ZEB_E_NOT_FOUND where it does not exist (or its
// status cannot be had), ZEB_E_OPEN where it cannot be opened, with an event
// and errno.  Returns the descriptor or -1.
int open_for_reading(const char *file_name, zeb_report *report, int32_t *status, int32_t *error_number)
{
    int err = ENOENT;
    int fd = file_name ? zeb::os::open_read(file_name, &err) : -1;
    if (fd >= 0)
        return fd;
    zeb::os::FileStatus st;
    if (file_name)
        st = zeb::os::status_of(file_name, true);
    if (st.kind == zeb::os::Kind::missing) {
        if (file_name)
            err = st.err;
        add_event(report, ZEB_EV_NOT_FOUND, ZEB_E_NOT_FOUND);
        *status = ZEB_E_NOT_FOUND;
    } else {
        add_event(report, ZEB_EV_OPEN, ZEB_E_OPEN, err);
        *status = ZEB_E_OPEN;
    }
    if (error_number)
        *error_number = err;
    return -1;
}

// The checks of zeb_open: everything a strict read checks before the data.
// A header-only open does not ask whether the file still holds all its data
// (it is not read, and a damaged file's headers are worth seeing).
int32_t open_layout(zeb::Source &src, Layout &l, bool header_only, Checks &checks, zeb_report *report)
{
    int32_t status = read_checked_header(src, l, report, &checks);
    if (status != ZEB_OK)
        return status;
    if (l.size == 0) {
        add_event(report, ZEB_EV_UNKNOWN_TYPE, ZEB_E_UNKNOWN_TYPE, l.h.datyp);
        return ZEB_E_UNKNOWN_TYPE;
    }
    if (!header_only && (status = check_room(src, l, report)) != ZEB_OK)
        return status;
    if (l.compressed)
        return read_stream_header(src, l, !header_only, report, &checks);
    return check_data_length(l, checks, report);
}

// A verified record must describe the data: their length as stored.
int32_t check_data_length(const Layout &l, const Checks &checks, zeb_report *report)
{
    // A stream's length is part of the data the CRC covers (its header), so a
    // different one is damage to the data; a raw length comes from the
    // header, which passed its check: then the record is not this file's.
    const zeb_record_info &r = checks.rec;
    if (!checks.verify || r.state != ZEB_RECORD_OK || !r.checksum)
        return ZEB_OK;
    if (l.compressed && r.data_length != int64_t(l.ch.stream_size))
        return checksum_mismatch(report, ZEB_CRC_PART_DATA, r.data_crc, 0);
    if (!l.compressed && r.data_length != l.count * l.size)
        return record_damaged(report, ZEB_RECORD_FAULT_MISMATCH);
    return ZEB_OK;
}

void fill_info(const Layout &l, zeb_info *info)
{
    info->type = l.h.datyp;
    info->dim_count = l.h.dim_count;
    std::memcpy(info->dims, l.h.dims, sizeof(int32_t) * l.h.dim_count);
    info->compressed = l.compressed;
    info->big_endian = !l.compressed && l.swap;  // the host is little-endian; streams always are
    info->header_blocks = l.h.header_blocks > 1 ? l.h.header_blocks : 1;
    info->count = l.count;
    info->nbytes = l.count * l.size;
    info->data_offset = int64_t(F0_HEADER_SIZE) * info->header_blocks;
    info->data_size = l.compressed ? int64_t(l.ch.stream_size) : info->nbytes;
    info->stream = l.ch;
    std::memcpy(info->header_text, l.h.header_text, F0_HEADER_TEXT_SIZE);
    info->header_text[F0_HEADER_TEXT_SIZE] = '\0';
}

}  // namespace

namespace zeb {

void shift_places(zeb_decode_info *info, int64_t offset, int64_t first_block, int64_t first_element)
{
    const int32_t st = info->status;
    info->used += offset;
    info->elements += first_element;
    if (st == ZEB_E_BAD_BITS || st == ZEB_E_BODY_END || st == ZEB_E_BAD_LOOP)
        info->block += first_block;
    if (st == ZEB_E_BAD_BITS || st == ZEB_E_BODY_END) {
        info->byte_index += offset;
        info->bit_index += 8 * offset;
    }
    if (st == ZEB_E_BAD_LOOP)
        info->in += first_element;
}

int32_t decode_body(Source &src, int64_t body_len, int32_t ct, void *data, int64_t capacity, int32_t slice,
                    int32_t block_size, int32_t nblocks, int64_t window, zeb_decode_info *info, int64_t *consumed,
                    int64_t from_block)
{
    *consumed = 0;
    if (body_len <= 0 || nblocks <= 0)
        return zeb_decode(ct, nullptr, 0, data, capacity, slice, block_size, nblocks, info);
    const int64_t width = zeb_compression_width(ct);
    int64_t cap = window < 1 ? 1 : (window < body_len ? window : body_len);
    std::unique_ptr<uint8_t, decltype(&std::free)> buf(static_cast<uint8_t *>(std::malloc(size_t(cap))), &std::free);
    // Blocks before from_block are decoded into `passed`, a few at a time, and dropped.
    from_block = std::clamp<int64_t>(from_block, 0, nblocks);
    const int64_t block_bytes = std::max<int64_t>(int64_t(block_size) * width, 1);
    const int64_t pass_blocks = std::max<int64_t>(window / block_bytes, 1);
    std::unique_ptr<uint8_t, decltype(&std::free)> passed(nullptr, &std::free);
    if (from_block > 0)
        passed.reset(static_cast<uint8_t *>(alloc_buffer(std::min(pass_blocks, from_block) * block_bytes)));
    int64_t off = 0;       // body offset of buf[0]
    int64_t have = 0;      // bytes in buf
    int64_t first = 0;     // first block still to decode
    bool end = false;      // the source has nothing more to give
    for (;;) {
        if (!buf || (from_block > 0 && !passed)) {
            *info = zeb_decode_info{};
            info->status = ZEB_E_NO_MEMORY;
            return ZEB_E_NO_MEMORY;
        }
        if (!end && have < cap) {
            int64_t want = std::min(cap - have, body_len - *consumed);
            int64_t got = src.read(buf.get() + have, want);
            have += got;
            *consumed += got;
            end = got < want || *consumed == body_len;
        }
        // The blocks from `first` on, into their place in data, or a few of
        // those before from_block into `passed`.
        const bool passing = first < from_block;
        const int64_t n = passing ? std::min(pass_blocks, from_block - first) : nblocks - first;
        const int64_t at = passing ? 0 : (first - from_block) * block_size;
        const int64_t room = passing ? n * block_size : std::max<int64_t>(capacity - at, 0);
        void *out = passing ? passed.get() : room > 0 ? static_cast<uint8_t *>(data) + at * width : data;
        int32_t st = zeb_decode(ct, buf.get(), have, out, room, slice, block_size, static_cast<int32_t>(n), info);
        shift_places(info, off, first, first * int64_t(block_size));
        if (passing && st == ZEB_OK)
            info->block = first + n;  // passed: go on from the next block
        else if (st != ZEB_E_BODY_END || end)
            return st;
        // The window ended inside block info->block (or the blocks passed
        // over end before it): keep that block and what follows, and read on;
        // where it is the window's first block, the window is too small for
        // it and grows.
        const int64_t keep_from = info->used - off;
        if (info->block > first) {
            if (keep_from <= have) {
                std::memmove(buf.get(), buf.get() + keep_from, size_t(have - keep_from));
                have -= keep_from;
            } else {
                // One-element run-length blocks end in a byte without meaning,
                // which the last whole block may leave past the window.
                int64_t want = std::min(keep_from - have, body_len - *consumed);
                int64_t got = src.skip(want);
                *consumed += got;
                end = got < want || *consumed == body_len;
                have = 0;
            }
            off = info->used;
            first = info->block;
        } else {
            cap = std::min(cap * 2, body_len - off);
            uint8_t *bigger = static_cast<uint8_t *>(std::realloc(buf.get(), size_t(cap)));
            if (bigger) {
                (void)buf.release();
                buf.reset(bigger);
            } else {
                buf.reset();
            }
        }
    }
}

}  // namespace zeb

namespace {

// A file held in part: its first head_len bytes (the headers) and the
// span_len bytes from span_at on, of a file of `size` bytes.  What a read
// of the rest would have given is not at hand: such a read comes up short,
// as it would at a file's end.  Ranged reads of remote files open these with
// the bytes zeb_read_extent names.
class SpanSource final : public zeb::Source {
public:
    SpanSource(const uint8_t *head, int64_t head_len, const uint8_t *span, int64_t span_at, int64_t span_len,
               int64_t size)
        : head_(head), head_len_(head ? std::clamp<int64_t>(head_len, 0, std::max<int64_t>(size, 0)) : 0),
          span_(span), span_at_(std::max<int64_t>(span_at, 0)), size_(std::max<int64_t>(size, 0))
    {
        span_len_ = span && span_at_ < size_ ? std::clamp<int64_t>(span_len, 0, size_ - span_at_) : 0;
    }
    int64_t read(void *dst, int64_t n) override
    {
        int64_t k = read_ahead(dst, n, 0);
        pos_ += k;
        return k;
    }
    int64_t remaining() const override { return size_ - pos_; }
    int64_t skip(int64_t n) override
    {
        int64_t k = std::clamp<int64_t>(n, 0, remaining());
        pos_ += k;
        return k;
    }
    const uint8_t *peek(int64_t *avail) const override
    {
        // All the unread bytes, where they are at hand in one piece.
        *avail = remaining();
        const uint8_t *p = at(pos_, *avail);
        if (!p)
            *avail = 0;
        return p;
    }
    const uint8_t *buffered(int64_t n) const override { return at(pos_, n); }
    int64_t read_ahead(void *dst, int64_t n, int64_t ahead) const override
    {
        int64_t pos = pos_ + std::max<int64_t>(ahead, 0), done = 0;
        n = std::clamp<int64_t>(n, 0, std::max<int64_t>(size_ - pos, 0));
        while (done < n) {
            int64_t avail = 0;
            const uint8_t *p = held(pos, &avail);
            if (!p)
                break;
            int64_t k = std::min(avail, n - done);
            std::memcpy(static_cast<uint8_t *>(dst) + done, p, size_t(k));
            done += k;
            pos += k;
        }
        return done;
    }

private:
    // The held bytes from pos on, with their number in *avail; null where
    // the byte at pos is not held.
    const uint8_t *held(int64_t pos, int64_t *avail) const
    {
        if (pos >= span_at_ && pos - span_at_ < span_len_) {
            *avail = span_len_ - (pos - span_at_);
            return span_ + (pos - span_at_);
        }
        if (pos < head_len_) {
            *avail = head_len_ - pos;
            return head_ + pos;
        }
        *avail = 0;
        return nullptr;
    }
    // The n bytes from pos on where they are held in one piece, else null.
    const uint8_t *at(int64_t pos, int64_t n) const
    {
        int64_t avail = 0;
        const uint8_t *p = held(pos, &avail);
        return p && avail >= n ? p : nullptr;
    }

    const uint8_t *head_;
    int64_t head_len_;
    const uint8_t *span_;
    int64_t span_at_, span_len_ = 0, size_, pos_ = 0;
};

}  // namespace

struct zeb_reader {
    std::unique_ptr<zeb::Source> src;
    Layout layout;
    Checks checks;
    bool read = false;
};

namespace {

// The record, as far as the headers were read, for the caller.
void hand_out(const Checks &checks, zeb_record_info *record)
{
    if (record)
        std::memcpy(record, &checks.rec, sizeof *record);
}

int32_t open_source(std::unique_ptr<zeb::Source> src, int32_t flags, zeb_reader **reader, zeb_info *info,
                    zeb_record_info *record, zeb_report *report)
{
    Layout l;
    std::unique_ptr<Checks> checks(new (std::nothrow) Checks);
    if (!checks) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(Checks)));
        return ZEB_E_NO_MEMORY;
    }
    checks->want = true;
    checks->verify = !(flags & ZEB_OPEN_NO_VERIFY);
    int32_t status = open_layout(*src, l, reader == nullptr, *checks, report);
    hand_out(*checks, record);
    if (status != ZEB_OK)
        return status;
    if (info)
        fill_info(l, info);
    if (!reader) {
        src->done();
        return ZEB_OK;
    }
    auto *r = new (std::nothrow) zeb_reader;
    if (!r) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(zeb_reader)));
        return ZEB_E_NO_MEMORY;
    }
    r->src = std::move(src);
    r->layout = l;
    r->checks = *checks;
    *reader = r;
    return ZEB_OK;
}

// Hands a buffer to a C caller: a malloc'd copy of n bytes.
void *dup_bytes(const void *src, size_t n)
{
    void *p = std::malloc(n ? n : 1);
    if (p && n)
        std::memcpy(p, src, n);
    return p;
}

}  // namespace

extern "C" {

ZEB_API int32_t zeb_read(const char *file_name, zeb_image *image, zeb_report *report, int32_t flags)
{
    std::memset(image, 0, sizeof *image);
    int32_t status = ZEB_OK;
    int fd = open_for_reading(file_name, report, &status, nullptr);
    if (fd < 0)
        return status;
    zeb::FdSource src(fd);
    return finish(image, read_image(src, image, report, flags, zeb::kStreamWindow), flags);
}

ZEB_API int32_t zeb_read_memory(const uint8_t *bytes, int64_t length, zeb_image *image,
                                zeb_report *report, int32_t flags)
{
    std::memset(image, 0, sizeof *image);
    zeb::MemorySource src(bytes, length);
    return finish(image, read_image(src, image, report, flags, zeb::kStreamWindow), flags);
}

ZEB_API int32_t zeb_open(const char *file_name, zeb_reader **reader, zeb_info *info, zeb_report *report,
                         int32_t *error_number)
{
    return zeb_open_ex(file_name, 0, reader, info, nullptr, report, error_number);
}

ZEB_API int32_t zeb_open_ex(const char *file_name, int32_t flags, zeb_reader **reader, zeb_info *info,
                            zeb_record_info *record, zeb_report *report, int32_t *error_number)
{
    if (record)
        std::memset(record, 0, sizeof *record);
    if (reader)
        *reader = nullptr;
    if (info)
        std::memset(info, 0, sizeof *info);
    if (error_number)
        *error_number = 0;
    int32_t status = ZEB_OK;
    int fd = open_for_reading(file_name, report, &status, error_number);
    if (fd < 0)
        return status;
    // A directory opens, but is no file to read: say so instead of reading short.
    if (zeb::os::status_of(fd).kind == zeb::os::Kind::directory) {
        zeb::os::close(fd);
        add_event(report, ZEB_EV_OPEN, ZEB_E_OPEN, EISDIR);
        if (error_number)
            *error_number = EISDIR;
        return ZEB_E_OPEN;
    }
    std::unique_ptr<zeb::Source> src(new (std::nothrow) zeb::FdSource(fd));
    if (!src) {
        zeb::os::close(fd);
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(zeb::FdSource)));
        return ZEB_E_NO_MEMORY;
    }
    return open_source(std::move(src), flags, reader, info, record, report);
}

ZEB_API int32_t zeb_open_memory(const uint8_t *bytes, int64_t length, zeb_reader **reader, zeb_info *info,
                                zeb_report *report)
{
    return zeb_open_memory_ex(bytes, length, 0, reader, info, nullptr, report);
}

ZEB_API int32_t zeb_open_memory_ex(const uint8_t *bytes, int64_t length, int32_t flags, zeb_reader **reader,
                                   zeb_info *info, zeb_record_info *record, zeb_report *report)
{
    if (record)
        std::memset(record, 0, sizeof *record);
    if (reader)
        *reader = nullptr;
    if (info)
        std::memset(info, 0, sizeof *info);
    std::unique_ptr<zeb::Source> src(new (std::nothrow) zeb::MemorySource(bytes, length));
    if (!src) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(zeb::MemorySource)));
        return ZEB_E_NO_MEMORY;
    }
    return open_source(std::move(src), flags, reader, info, record, report);
}

ZEB_API int32_t zeb_read_data(zeb_reader *reader, void *data, int64_t capacity, zeb_report *report)
{
    return zeb_read_data_threads(reader, data, capacity, 1, report);
}

ZEB_API int32_t zeb_read_data_threads(zeb_reader *reader, void *data, int64_t capacity, int32_t threads,
                                      zeb_report *report)
{
    if (!reader || reader->read)
        return ZEB_E_BAD_ARGUMENT;
    const Layout &l = reader->layout;
    const int64_t nbytes = l.count * l.size;
    if (capacity < nbytes || (!data && nbytes > 0))
        return ZEB_E_BAD_ARGUMENT;
    reader->read = true;
    const Checks &c = reader->checks;
    const Pieces pieces{&c.index, threads};
    if (!c.data_crc()) {
        if (!l.compressed)
            return read_raw(*reader->src, l, data, nbytes, report);
        return read_stream(*reader->src, l, data, l.count, true, zeb::kStreamWindow, report, nullptr, pieces);
    }
    // What reading finds comes after a checksum mismatch, which is its cause;
    // data that end early are reported as such.
    zeb_report found{};
    uint32_t crc = 0;
    int32_t status;
    if (!l.compressed) {
        status = read_raw(*reader->src, l, data, nbytes, &found, &crc);
    } else {
        crc = zeb::crc32c(0, l.stream_raw, ZEB_COMPRESS_HEADER_SIZE);
        status = read_stream(*reader->src, l, data, l.count, true, zeb::kStreamWindow, &found, &crc, pieces);
    }
    if (crc != c.rec.data_crc && status != ZEB_E_TRUNCATED && status != ZEB_E_SHORT_BODY &&
        status != ZEB_E_NO_MEMORY)
        status = checksum_mismatch(report, ZEB_CRC_PART_DATA, c.rec.data_crc, crc);
    append_events(report, found);
    return status;
}

ZEB_API int32_t zeb_read_range(zeb_reader *reader, int64_t first, int64_t count, void *data, int64_t capacity,
                               int32_t threads, zeb_report *report)
{
    if (!reader || reader->read)
        return ZEB_E_BAD_ARGUMENT;
    const Layout &l = reader->layout;
    if (first < 0 || count < 0 || first > l.count || count > l.count - first || capacity < count * l.size ||
        (!data && count > 0))
        return ZEB_E_BAD_ARGUMENT;
    if (first == 0 && count == l.count)
        return zeb_read_data_threads(reader, data, capacity, threads, report);
    reader->read = true;
    zeb::Source &src = *reader->src;
    if (count == 0) {
        src.done();
        return ZEB_OK;
    }
    if (l.compressed)
        return read_stream_range(src, l, reader->checks.index, first, count, data, threads, report);
    const int64_t skip = first * l.size;
    if (src.skip(skip) < skip) {
        src.done();
        add_event(report, ZEB_EV_TRUNCATED, ZEB_E_TRUNCATED, 0, count * l.size);
        return ZEB_E_TRUNCATED;
    }
    return read_raw(src, l, data, count * l.size, report);
}

ZEB_API int32_t zeb_open_span(const uint8_t *head, int64_t head_len, const uint8_t *span, int64_t span_at,
                              int64_t span_len, int64_t size, int32_t flags, zeb_reader **reader, zeb_info *info,
                              zeb_record_info *record, zeb_report *report)
{
    if (record)
        std::memset(record, 0, sizeof *record);
    if (reader)
        *reader = nullptr;
    if (info)
        std::memset(info, 0, sizeof *info);
    std::unique_ptr<zeb::Source> src(new (std::nothrow) SpanSource(head, head_len, span, span_at, span_len, size));
    if (!src) {
        add_event(report, ZEB_EV_NO_MEMORY, ZEB_E_NO_MEMORY, int64_t(sizeof(SpanSource)));
        return ZEB_E_NO_MEMORY;
    }
    return open_source(std::move(src), flags, reader, info, record, report);
}

ZEB_API int32_t zeb_read_extent(const zeb_reader *reader, int64_t first, int64_t count, int64_t *offset,
                                int64_t *length)
{
    if (!reader || !offset || !length)
        return ZEB_E_BAD_ARGUMENT;
    const Layout &l = reader->layout;
    if (first < 0 || count < 0 || first > l.count || count > l.count - first)
        return ZEB_E_BAD_ARGUMENT;
    const int64_t data_at = int64_t(F0_HEADER_SIZE) * std::max<int32_t>(l.h.header_blocks, 1);
    if (!l.compressed) {
        *offset = data_at + first * l.size;
        *length = count * l.size;
        return ZEB_OK;
    }
    // The whole body, unless a usable seek index narrows it down as
    // read_stream_range does.
    const compress_header &ch = l.ch;
    const int64_t claimed = std::max<int64_t>(int64_t(ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE, 0);
    *offset = data_at + ZEB_COMPRESS_HEADER_SIZE;
    *length = count == 0 ? 0 : claimed;
    if (count == 0 || (first == 0 && count == l.count))
        return ZEB_OK;
    zeb_report found{};
    zeb_decode_info info{};
    int32_t nblocks = 0;
    const zeb::SeekIndex &ix = reader->checks.index;
    if (check_stream(l, l.count, &found, &nblocks) != ZEB_OK || ch.block_size < 1 || nblocks < 1 ||
        ix.count == 0 || nblocks != ch.nblocks || !index_fits(ix, nblocks, claimed, &info))
        return ZEB_OK;
    const int64_t bs = ch.block_size, end = first + count;
    int64_t d0 = first / bs, d1 = std::min<int64_t>((end + bs - 1) / bs, nblocks);
    if (d1 <= d0)
        return ZEB_OK;
    d0 -= d0 % ix.every;
    d0 = d0 >= ix.every ? d0 - ix.every : 0;
    d1 = std::min<int64_t>(nblocks, (d1 + ix.every - 1) / ix.every * ix.every);
    const int64_t k0 = d0 / ix.every, k1 = std::min(ix.count + 1, (d1 + ix.every - 1) / ix.every);
    auto start = [&](int64_t k) { return k == 0 ? 0 : k > ix.count ? claimed : ix.offsets[k - 1]; };
    *offset += start(k0);
    *length = start(k1) - start(k0);
    return ZEB_OK;
}

ZEB_API void zeb_close(zeb_reader *reader)
{
    delete reader;
}

ZEB_API void *zeb_fzread(const char *file_name, int32_t **dims_out, int32_t *dim_count_out,
                         char **header_out, int32_t *type_out, int32_t *size_out)
{
    zeb_report report{};
    report.prefix = "zeb_fzread";
    zeb_image img;
    zeb_read(file_name, &img, &report, 0);
    zeb_report_print(&report, file_name);
    if (!img.header_ok)
        return nullptr;
    char *text = static_cast<char *>(dup_bytes(img.header_text, std::strlen(img.header_text) + 1));
    int32_t *dims = static_cast<int32_t *>(dup_bytes(img.dims, sizeof(int32_t) * img.dim_count));
    if (!text || !dims) {
        std::free(text);
        std::free(dims);
        std::free(img.data);
        fprintf(stderr, "zeb_fzread: error: out of memory reading file \"%s\"!\n", file_name);
        return nullptr;
    }
    *header_out = text;
    *dim_count_out = img.dim_count;
    *dims_out = dims;
    *type_out = img.type;
    *size_out = static_cast<int32_t>(img.data_size);
    return img.data;
}

ZEB_API char *zeb_fzhead(const char *file_name)
{
    zeb_report report{};
    report.prefix = "zeb_fzhead";
    int32_t status = ZEB_OK;
    int fd = open_for_reading(file_name, &report, &status, nullptr);
    char *text = nullptr;
    if (fd >= 0) {
        zeb::FdSource src(fd);
        f0_header h;
        if (zeb::read_header(src, &h, 0, &report) >= 0) {
            size_t n = strnlen(h.header_text, F0_HEADER_TEXT_SIZE);
            if ((text = static_cast<char *>(std::malloc(n + 1)))) {
                std::memcpy(text, h.header_text, n);
                text[n] = '\0';
            }
        }
    }
    zeb_report_print(&report, file_name);
    return text;
}

}  // extern "C"
