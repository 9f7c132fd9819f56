// Arbitrary bytes as an F0 file image, read strictly and the classic way; in
// two steps, which must give what the strict read gives (unless a seek index
// refuses the stream), on one thread and in the index's pieces on three; verified against
// the header record, which may only refuse more; and the stream that follows
// the header decoded in tiny windows, which must give what decoding the
// whole body gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "../src/rw/f0_internal.h"
#include "../src/rw/record.h"
#include "zebrw.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ZEB_PARALLEL_MIN_BYTES", "0", 1);  // small arrays take the threaded paths too
    stderr = fopen("/dev/null", "w");  // the reader's messages; sanitizer reports still reach fd 2
    return 0;
}

// Bytes of data the header claims (0 when it has none to claim).  The classic
// read hands out a zero-filled buffer of that size whatever the file holds;
// huge claims only cost a lazy allocation there, but slow the fuzzer down.
static int64_t claimed_bytes(const uint8_t *in, size_t n)
{
    if (n < F0_HEADER_SIZE || in[8] > F0_MAX_DIMS)
        return 0;
    constexpr int64_t huge = int64_t(1) << 40;
    int64_t bytes = zeb_element_size(in[7]);
    for (int i = 0; i < in[8] && bytes > 0; ++i) {
        int32_t d;
        std::memcpy(&d, in + 192 + 4 * i, 4);
        if (d <= 0)
            return 0;
        if (bytes > huge / d)
            return huge;
        bytes *= d;
    }
    return bytes;
}

static bool same_events(const zeb_report &a, const zeb_report &b)
{
    return a.count == b.count && std::memcmp(a.events, b.events, sizeof(zeb_event) * std::min(a.count, ZEB_REPORT_MAX)) == 0;
}

// Parts of the array (zeb_read_range): a part of a file that reads whole
// reads too, and gives those elements; any other file only stays in bounds.
static void parts(const std::vector<uint8_t> &file, const std::vector<uint8_t> *whole)
{
    zeb_reader *reader = nullptr;
    zeb_info info;
    if (zeb_open_memory_ex(file.data(), int64_t(file.size()), ZEB_OPEN_NO_VERIFY, &reader, &info, nullptr,
                           nullptr) != ZEB_OK)
        return;
    zeb_close(reader);
    const int64_t n = info.count, size = n > 0 ? info.nbytes / n : 0;
    const int64_t ranges[][2] = {{0, std::min<int64_t>(n, 1)}, {n / 3, n / 4}, {n > 0 ? n - 1 : 0, n > 0}, {n / 2, 0}};
    for (const auto &r : ranges) {
        std::vector<uint8_t> part(size_t(r[1] * size) + 1, 0);
        for (int32_t threads : {1, 3}) {
            if (zeb_open_memory_ex(file.data(), int64_t(file.size()), ZEB_OPEN_NO_VERIFY, &reader, &info, nullptr,
                                   nullptr) != ZEB_OK)
                return;
            int64_t at = 0, len = 0;
            CHECK(zeb_read_extent(reader, r[0], r[1], &at, &len) == ZEB_OK && at >= 0 && len >= 0);
            int32_t st = zeb_read_range(reader, r[0], r[1], part.data(), r[1] * size, threads, nullptr);
            zeb_close(reader);
            if (whole)
                CHECK(st == ZEB_OK && (r[1] * size == 0 ||
                                       std::memcmp(part.data(), whole->data() + r[0] * size, size_t(r[1] * size)) == 0));
            // The same part from the headers and the extent alone, as a
            // ranged read of a remote file fetches them: the same outcome.
            const int64_t fsize = int64_t(file.size());
            const int64_t head = std::min<int64_t>(fsize, 16 * F0_HEADER_SIZE + ZEB_COMPRESS_HEADER_SIZE);
            const int64_t from = std::min(at, fsize), to = std::min(at + std::min(len, fsize), fsize);
            std::vector<uint8_t> span(file.begin() + from, file.begin() + to), other(part.size(), 0);
            CHECK(zeb_open_span(file.data(), head, span.data(), from, to - from, fsize, ZEB_OPEN_NO_VERIFY, &reader,
                                &info, nullptr, nullptr) == ZEB_OK);
            int32_t st2 = zeb_read_range(reader, r[0], r[1], other.data(), r[1] * size, threads, nullptr);
            zeb_close(reader);
            CHECK(st2 == st && (st != ZEB_OK || other == part));
        }
    }
}

// zeb_open_memory + zeb_read_data against zeb_read_memory, strict.
static void two_steps(const std::vector<uint8_t> &file)
{
    zeb_image img;
    zeb_report whole{};
    int32_t st = zeb_read_memory(file.data(), int64_t(file.size()), &img, &whole, ZEB_READ_STRICT);
    zeb_report steps{};
    zeb_reader *reader = nullptr;
    zeb_info info;
    int32_t st2 = zeb_open_memory_ex(file.data(), int64_t(file.size()), ZEB_OPEN_NO_VERIFY, &reader, &info, nullptr,
                                     &steps);
    std::vector<uint8_t> data;
    if (st2 == ZEB_OK) {
        data.assign(size_t(info.nbytes), 0);
        st2 = zeb_read_data(reader, data.data(), info.nbytes, &steps);
        zeb_close(reader);
        // Decoding in the seek index's pieces on several threads: the same
        // outcome as on one.
        zeb_report threaded{};
        std::vector<uint8_t> other(data.size(), 0);
        int32_t st3 = zeb_open_memory_ex(file.data(), int64_t(file.size()), ZEB_OPEN_NO_VERIFY, &reader, &info,
                                         nullptr, &threaded);
        CHECK(st3 == ZEB_OK);
        st3 = zeb_read_data_threads(reader, other.data(), info.nbytes, 3, &threaded);
        zeb_close(reader);
        CHECK(st3 == st2 && same_events(steps, threaded) && (st2 != ZEB_OK || other == data));
    }
    parts(file, st2 == ZEB_OK ? &data : nullptr);
    // A seek index that does not match the stream refuses what the whole
    // read, which has no index, may accept; nothing else differs.
    if (st2 == ZEB_E_BAD_INDEX) {
        std::free(img.data);
        return;
    }
    CHECK(st == st2 && same_events(whole, steps));
    if (st == ZEB_OK)
        CHECK(img.data_size == info.nbytes && (data.empty() || std::memcmp(img.data, data.data(), data.size()) == 0));
    std::free(img.data);
}

// Reads verified against the record: never more than an unverified read
// gives, and the same data where both succeed.
static void verified(const std::vector<uint8_t> &file)
{
    std::vector<uint8_t> data[2];
    int32_t st[2];
    zeb_record_info rec[2];
    for (int verify = 0; verify < 2; ++verify) {
        zeb_report report{};
        zeb_reader *reader = nullptr;
        zeb_info info;
        st[verify] = zeb_open_memory_ex(file.data(), int64_t(file.size()), verify ? 0 : ZEB_OPEN_NO_VERIFY, &reader,
                                        &info, &rec[verify], &report);
        if (st[verify] == ZEB_OK) {
            data[verify].assign(size_t(info.nbytes), 0);
            st[verify] = zeb_read_data(reader, data[verify].data(), info.nbytes, &report);
            zeb_close(reader);
        }
        zeb_report_print(&report, "fuzz");
        CHECK(rec[verify].metadata_size >= 0 && rec[verify].metadata_size <= ZEB_RECORD_MAX_BYTES);
        // the kept sections come back whole, as a writer takes them
        CHECK(rec[verify].sections_size >= 0 && rec[verify].sections_size <= ZEB_RECORD_MAX_BYTES &&
              zeb::kept_sections_sound(rec[verify].sections, rec[verify].sections_size));
    }
    if (st[1] == ZEB_OK)
        CHECK(st[0] == ZEB_OK && data[0] == data[1] && rec[0].state == rec[1].state && rec[0].dtype == rec[1].dtype);
}

// Seals a record at byte 512 with its own CRC, so that fuzzing reaches the
// sections behind the check (bit 7 of the header's unused byte 5 asks for it).
static void reseal(std::vector<uint8_t> &file)
{
    if (file.size() < F0_HEADER_SIZE + zeb::kRecordPreamble || !(file[5] & 0x80) ||
        !zeb::has_record_magic(file.data() + F0_HEADER_SIZE, zeb::kRecordMagicSize))
        return;
    uint8_t *rec = file.data() + F0_HEADER_SIZE;
    uint32_t length;
    std::memcpy(&length, rec + 12, sizeof length);
    if (length < zeb::kRecordPreamble || length > file.size() - F0_HEADER_SIZE)
        return;
    uint32_t crc = zeb::record_crc(rec, length);
    std::memcpy(rec + zeb::kRecordCrcAt, &crc, sizeof crc);
}

// The stream after a one-block header, decoded whole and in windows of 1 to
// 64 bytes (byte 5 of the header, which nothing reads, picks the size).
static void windows(const std::vector<uint8_t> &file)
{
    if (file.size() < F0_HEADER_SIZE + ZEB_COMPRESS_HEADER_SIZE)
        return;
    compress_header ch;
    zeb_parse_compress_header(file.data() + F0_HEADER_SIZE, ZEB_COMPRESS_HEADER_SIZE, &ch);
    const uint8_t *body = file.data() + F0_HEADER_SIZE + ZEB_COMPRESS_HEADER_SIZE;
    const int64_t avail = int64_t(file.size()) - F0_HEADER_SIZE - ZEB_COMPRESS_HEADER_SIZE;
    const int64_t claimed = int64_t(ch.stream_size) - ZEB_COMPRESS_HEADER_SIZE;
    const int64_t len = std::min(avail, claimed);
    const int64_t window = 1 + file[5] % 64;
    const int64_t width = std::max(zeb_compression_width(ch.compression_type), 1);
    const int64_t capacity = std::min(int64_t(ch.block_size) * std::max(ch.nblocks, 0), int64_t(4096));
    const int64_t room = std::max(capacity, int64_t(0));
    std::vector<uint8_t> a(size_t(room * width) + 1, 0), b(a.size(), 0);
    zeb_decode_info ia, ib;
    int32_t sa = zeb_decode(ch.compression_type, body, std::max(len, int64_t(0)), a.data(), room, ch.slice,
                            ch.block_size, ch.nblocks, &ia);
    zeb::MemorySource src(body, avail);
    int64_t consumed = -1;
    int32_t sb = zeb::decode_body(src, claimed, ch.compression_type, b.data(), room, ch.slice, ch.block_size,
                                  ch.nblocks, window, &ib, &consumed);
    CHECK(sa == sb && std::memcmp(&ia, &ib, sizeof ia) == 0 && a == b);
    CHECK(consumed >= 0 && consumed <= std::max(len, int64_t(0)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    std::vector<uint8_t> exact(in, in + n);  // exactly n bytes: any overread is caught
    reseal(exact);
    const bool classic_too = claimed_bytes(in, n) <= (int64_t(64) << 20);
    for (int32_t flags : {ZEB_READ_STRICT, 0}) {
        if (flags == 0 && !classic_too)
            break;
        zeb_image img;
        zeb_report report{};
        int32_t st = zeb_read_memory(exact.data(), static_cast<int64_t>(n), &img, &report, flags);
        zeb_report_print(&report, "fuzz");
        if (st == ZEB_OK && img.data_size > 0) {
            // Touch every byte handed out: it must all be initialised memory.
            volatile uint8_t sum = 0;
            for (int64_t i = 0; i < img.data_size; ++i)
                sum = static_cast<uint8_t>(sum + static_cast<uint8_t *>(img.data)[i]);
        }
        std::free(img.data);
    }
    if (classic_too) {
        two_steps(exact);
        verified(exact);
    }
    windows(exact);
    return 0;
}
