// Writing a stream while it is coded: each piece goes to its place in the
// temporary file as soon as it and all before it are done, while later
// pieces are still being coded; the header blocks, which hold the stream's
// size, its checksum and seek index, are written last, at the start.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "crc32c.h"
#include "f0_write_internal.h"
#include "platform.h"

namespace {

using namespace zeb::writer;

// The temporary file a stream goes to piece by piece: the stream starts at
// byte data_at; body_crc is the CRC-32C of the body handed over so far.
struct StreamTarget {
    int fd;
    int64_t data_at;
    uint32_t body_crc = 0;
    int err = 0;
};

// The sink of zeb_encode_to: stores a piece, takes its checksum while it is
// in the cache and starts its way to the device.
int32_t store_piece(void *context, const uint8_t *bytes, int64_t n, int64_t offset)
{
    auto *t = static_cast<StreamTarget *>(context);
    const int64_t at = t->data_at + offset;
    if ((t->err = zeb::os::write_at(t->fd, bytes, n, at)) != 0)
        return ZEB_E_WRITE;
    t->body_crc = zeb::crc32c(t->body_crc, bytes, size_t(n));
    zeb::os::start_writeback(t->fd, at, n);
    return 0;
}

// Returned by write_streamed (beside statuses) when no stream is smaller
// than the raw data, or there is no memory for the pieces: the array then
// goes the way of zeb_write_payload (raw, or coded in memory).
constexpr int32_t kWriteRaw = 1, kCodeInMemory = 2;

// Codes the stream of layout c into a new temporary file for target as the
// pieces are done, then writes the header blocks (with the record of rc,
// unless null) before the stream, and completes the file.
int32_t write_streamed(const std::string &target, const Request &r, const zeb_stream_choice &c, int32_t threads,
                       const zeb::RecordContents *rc, const zeb_file_id *expect, zeb_report *report,
                       int32_t *error_number, bool durable = true)
{
    std::unique_ptr<zeb::SeekIndex> index(new_index(r, c));
    const int64_t record_size = rc ? record_blocks_size(*rc, index.get()) : 0;
    const int64_t head = F0_HEADER_SIZE + record_size;
    TempFile t;
    if (open_temporary(target, &t, report, error_number) != ZEB_OK)
        return ZEB_E_OPEN;
    t.durable = durable;
    // A chosen layout's size is exact: reserve the file's blocks (see write_contents).
    if (c.stream_size > 0 && zeb::os::preallocate(t.fd, head + c.stream_size) == ENOSPC)
        return finish_temporary(t, fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, ENOSPC, error_number), nullptr,
                                report, error_number);
    // The header blocks, then the stream's own header, which zeb_encode_to gives last.
    uint8_t blocks[F0_HEADER_SIZE * F0_MAX_HEADER_BLOCKS + ZEB_COMPRESS_HEADER_SIZE];
    StreamTarget st{t.fd, head};
    const auto limit = static_cast<int32_t>(r.raw_size);
    const int32_t n = zeb_encode_to(c.compression_type, r.data, c.slice, c.block_size, c.nblocks, limit, threads,
                                    index ? int32_t(index->every) : 0, index ? index->offsets : nullptr,
                                    &store_piece, &st, blocks + head);
    if (n == ZEB_E_WRITE && st.err != 0)
        return finish_temporary(t, fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, st.err, error_number), nullptr,
                                report, error_number);
    if (n < 0 || n >= r.raw_size) {
        if (n == ZEB_E_NO_ROOM || n == ZEB_E_LIMIT_TOO_SMALL || n >= 0)
            return finish_temporary(t, kWriteRaw, nullptr, report, error_number);
        if (n == ZEB_E_NO_MEMORY)
            return finish_temporary(t, kCodeInMemory, nullptr, report, error_number);
        if (zeb_event *e = add_event(report, ZEB_EV_W_ENCODE, n, c.compression_type, limit))
            e->decode.slice = c.slice;
        return finish_temporary(t, n, nullptr, report, error_number);
    }
    zeb_payload p{};
    build_header(r, F0_FLAG_COMPRESSED, n, &p.header);
    p.size = n;
    if (rc) {
        const uint32_t stream_crc =
            zeb::crc32c_combine(zeb::crc32c(0, blocks + head, ZEB_COMPRESS_HEADER_SIZE), st.body_crc,
                                uint64_t(n - ZEB_COMPRESS_HEADER_SIZE));
        int32_t status = attach_record(&p, *rc, index.get(), stream_crc, report);
        if (status == ZEB_OK && p.record_size != record_size)
            status = bad_argument(report, kHasRecord);  // cannot happen: the record's size is fixed before coding
        if (status != ZEB_OK) {
            zeb_payload_free(&p);
            return finish_temporary(t, status, nullptr, report, error_number);
        }
        std::memcpy(blocks + F0_HEADER_SIZE, p.record, size_t(record_size));
        zeb_payload_free(&p);
    }
    std::memcpy(blocks, &p.header, F0_HEADER_SIZE);
    int err = zeb::os::write_at(t.fd, blocks, head + ZEB_COMPRESS_HEADER_SIZE, 0);
    return finish_temporary(t, err ? fail_with(report, ZEB_EV_W_WRITE, ZEB_E_WRITE, err, error_number) : ZEB_OK,
                            expect, report, error_number);
}

}  // namespace

extern "C" ZEB_API int32_t zeb_write_array(const char *file_name, const zeb_write_request *w, int32_t flags,
                                zeb_report *report, int32_t *error_number)
{
    int32_t ignored = 0;
    if (!error_number)
        error_number = &ignored;
    *error_number = 0;
    if (!file_name || !w)
        return bad_argument(report, kMissingArgument);
    zeb_payload p{};
    Request r{};
    zeb_stream_choice c{};
    bool encode = false;
    int32_t status = plan_payload(w->data, w->type, w->dims, w->dim_count, w->header_text, w->text_len, w->mode,
                                  w->threads, &p, &r, &c, &encode, report);
    if (status != ZEB_OK)
        return status;
    zeb::RecordContents rc;
    if (w->record && (status = record_contents(&p, w->dtype, w->metadata, w->metadata_len, &rc, report, w->sections,
                                                   w->sections_len)) != ZEB_OK)
        return status;
    p.expect = w->expect;
    const zeb_file_id *expect = flags & ZEB_WRITE_IF_UNCHANGED ? &p.expect : nullptr;
    std::string target;
    if (encode && c.nblocks >= 2 && r.raw_size > ZEB_COMPRESS_HEADER_SIZE &&
        zeb::os::descriptor_named(file_name) < 0 && atomic_target(file_name, flags, &target)) {
        status = write_streamed(target, r, c, w->threads, w->record ? &rc : nullptr, expect, report, error_number,
                                !(flags & ZEB_WRITE_NO_SYNC));
        if (status != kWriteRaw && status != kCodeInMemory)
            return status;
        encode = status == kCodeInMemory;
        status = ZEB_OK;
    }
    if (encode && (status = encode_payload(r, c, w->threads, &p, report)) != ZEB_OK)
        return status;
    if (w->record)
        status = attach_record(&p, rc, static_cast<const zeb::SeekIndex *>(p.seek_index),
                               zeb::crc32c(0, p.data, size_t(p.size)), report);
    if (status == ZEB_OK)
        status = zeb_write_payload(file_name, &p, flags, report, error_number);
    zeb_payload_free(&p);
    return status;
}
