// A driver of the library's public C calls, built for each platform the
// library supports: every stream type and slice, every writer and reader,
// the saved fuzz inputs, and what differs between operating systems (binary
// files, atomic replacement, separators and drive letters, non-ASCII names,
// files beyond 4 GiB).  Everything it makes goes to one directory: the
// streams and files it wrote, and results.txt, a line per call with its
// status and a hash of what it gave back.  tools/cross-check.sh compares
// those directories between platforms byte for byte.
//
//     driver OUTDIR [CORPUS_DIR CORPUS_LIST]
//
// Exits 1 when a check failed (a round trip that does not give back the
// data, a reader that disagrees with another); prints a summary line.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>
#else
#  include <unistd.h>
#endif

#include "zebrecord.h"
#include "zebrw.h"

namespace {

#if defined(_WIN32)
const char kSep = '\\';
#else
const char kSep = '/';
#endif

std::string out_dir;
FILE *results = nullptr;
int checks = 0, failures = 0;

void check(bool ok, const char *what, const std::string &detail = std::string())
{
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "driver: FAILED %s %s\n", what, detail.c_str());
    }
}

uint64_t fnv(const void *p, int64_t n)
{
    uint64_t h = 1469598103934665603ull;
    for (int64_t i = 0; i < n; ++i)
        h = (h ^ static_cast<const uint8_t *>(p)[i]) * 1099511628211ull;
    return h;
}

#if defined(__GNUC__)
void result(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#endif
void result(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(results, fmt, ap);
    va_end(ap);
    std::fputc('\n', results);
}

std::string path(const std::string &name) { return out_dir + kSep + name; }

// fopen with a UTF-8 name (on Windows through the UTF-16 call, as the
// library does).
FILE *open_utf8(const std::string &name, const char *mode)
{
#if defined(_WIN32)
    wchar_t wname[1024], wmode[8];
    if (!MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wname, 1024) ||
        !MultiByteToWideChar(CP_UTF8, 0, mode, -1, wmode, 8))
        return nullptr;
    return _wfopen(wname, wmode);
#else
    return std::fopen(name.c_str(), mode);
#endif
}

bool save(const std::string &name, const void *p, int64_t n)
{
    FILE *f = open_utf8(path(name), "wb");
    bool ok = f && std::fwrite(p, 1, size_t(n), f) == size_t(n);
    ok = f && std::fclose(f) == 0 && ok;
    return ok;
}

std::vector<uint8_t> load(const std::string &file)
{
    std::vector<uint8_t> v;
    if (FILE *f = open_utf8(file, "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            v.insert(v.end(), buf, buf + n);
        std::fclose(f);
    }
    return v;
}

// Deterministic test data: smooth rows with noise, long runs, and noise over
// the whole range, for elements of 1, 2, 4 and 8 bytes.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

const char *const kPatterns[] = {"smooth", "runs", "noise"};

std::vector<uint8_t> make_data(int width, int64_t count, int pattern, uint64_t seed)
{
    Rng r{seed * 31 + uint64_t(pattern) * 7 + uint64_t(width)};
    std::vector<uint8_t> v(size_t(count * width));
    int64_t level = 0;
    for (int64_t i = 0; i < count; ++i) {
        int64_t x;
        if (pattern == 0) {
            level += int64_t(r.next() % 9) - 4;
            x = level + int64_t(r.next() % 5);
        } else if (pattern == 1) {
            if (r.next() % 40 == 0)
                level = int64_t(r.next() % 200) - 100;
            x = level;
        } else {
            x = int64_t(r.next());
        }
        std::memcpy(&v[size_t(i * width)], &x, size_t(width));  // little-endian hosts only
    }
    return v;
}

// ---- streams --------------------------------------------------------------

void streams()
{
    const int32_t block_size = 64, nblocks = 37;
    for (int32_t ct = 0; ct < 5; ++ct) {
        const int32_t width = zeb_compression_width(ct);
        for (int pattern = 0; pattern < 3; ++pattern) {
            auto data = make_data(width, int64_t(block_size) * nblocks, pattern, 1);
            for (int32_t slice = -1; slice <= 32; ++slice) {
                std::vector<uint8_t> stream(200000);
                int32_t n = zeb_encode(ct, stream.data(), data.data(), slice, block_size, nblocks,
                                       int32_t(stream.size()), 0);
                int32_t t = zeb_encode_threads(ct, stream.data() + 100000, data.data(), slice, block_size, nblocks,
                                               100000, 0, 3);
                std::string name = "stream-ct" + std::to_string(ct) + "-" + kPatterns[pattern] + "-s" +
                                   std::to_string(slice);
                result("%s encode %d", name.c_str(), n);
                check(t == n && (n < 0 || std::memcmp(stream.data(), stream.data() + 100000, size_t(n)) == 0),
                      "threaded encode equals encode", name);
                if (n < 0)
                    continue;
                save(name + ".bin", stream.data(), n);
                std::vector<uint8_t> back(data.size());
                zeb_decode_info info{};
                int32_t s = zeb_decode(ct, stream.data() + ZEB_COMPRESS_HEADER_SIZE, n - ZEB_COMPRESS_HEADER_SIZE,
                                       back.data(), int64_t(block_size) * nblocks, slice, block_size, nblocks, &info);
                result("%s decode %d elements %lld used %lld", name.c_str(), s, (long long)info.elements,
                       (long long)info.used);
                // Slices beyond the element width store what the format
                // makes of them; the bytes are compared between systems.
                if (slice <= 8 * width)
                    check(s == ZEB_OK && back == data, "stream round trip", name);
                else
                    result("%s decoded %016llx", name.c_str(), (unsigned long long)fnv(back.data(), int64_t(back.size())));
            }
        }
    }
    // One array large enough for the threads to share (over 1 MiB).
    auto big = make_data(2, 1024 * 600, 0, 2);
    std::vector<uint8_t> a(1 << 21), b(1 << 21);
    int32_t n = zeb_encode(ZEB_CT_CRUNCH16, a.data(), big.data(), 5, 1024, 600, int32_t(a.size()), 0);
    int32_t t = zeb_encode_threads(ZEB_CT_CRUNCH16, b.data(), big.data(), 5, 1024, 600, int32_t(b.size()), 0, 0);
    result("threads big %d %d", n, t);
    check(n > 0 && n == t && std::memcmp(a.data(), b.data(), size_t(n)) == 0, "threaded encode of 1.2 MB");
    save("stream-threads.bin", b.data(), t > 0 ? t : 0);
    zeb_stream_choice c{};
    int32_t s = zeb_choose_stream(2, big.data(), 1024 * 600, 1024, 0, &c);
    result("choose %d ct %d slice %d block %d n %d size %lld", s, c.compression_type, c.slice, c.block_size,
           c.nblocks, (long long)c.stream_size);
}

// ---- files ----------------------------------------------------------------

// Reads a file every way there is and checks each gives the expected data.
void read_back(const std::string &name, const std::vector<uint8_t> &expect, const char *text)
{
    const std::string p = path(name);
    zeb_image img;
    zeb_report rep{};
    int32_t s = zeb_read(p.c_str(), &img, &rep, ZEB_READ_STRICT);
    result("%s read %d size %lld compressed %d hash %016llx", name.c_str(), s, (long long)img.data_size,
           img.compressed, (unsigned long long)fnv(img.data, img.data_size));
    check(s == ZEB_OK && img.data_size == int64_t(expect.size()) &&
              std::memcmp(img.data, expect.data(), expect.size()) == 0 && std::strcmp(img.header_text, text) == 0,
          "zeb_read", name);
    zeb_free(img.data);

    auto bytes = load(p);
    s = zeb_read_memory(bytes.data(), int64_t(bytes.size()), &img, nullptr, ZEB_READ_STRICT);
    check(s == ZEB_OK && img.data_size == int64_t(expect.size()) &&
              std::memcmp(img.data, expect.data(), expect.size()) == 0,
          "zeb_read_memory", name);
    zeb_free(img.data);

    zeb_reader *r = nullptr;
    zeb_info info{};
    int32_t err = 0;
    s = zeb_open(p.c_str(), &r, &info, nullptr, &err);
    std::vector<uint8_t> data(size_t(info.nbytes) + 1);
    if (s == ZEB_OK)
        s = zeb_read_data(r, data.data(), info.nbytes, nullptr);
    zeb_close(r);
    check(s == ZEB_OK && info.nbytes == int64_t(expect.size()) &&
              std::memcmp(data.data(), expect.data(), expect.size()) == 0,
          "zeb_open and zeb_read_data", name);

    int32_t *dims = nullptr, dim_count = 0, type = 0, size = 0;
    char *header = nullptr;
    void *d = zeb_fzread(p.c_str(), &dims, &dim_count, &header, &type, &size);
    check(d && size == int32_t(expect.size()) && std::memcmp(d, expect.data(), expect.size()) == 0 &&
              std::strcmp(header, text) == 0,
          "zeb_fzread", name);
    zeb_free(d);
    zeb_free(dims);
    zeb_free(header);
    char *h = zeb_fzhead(p.c_str());
    check(h && std::strcmp(h, text) == 0, "zeb_fzhead", name);
    zeb_free(h);

    FILE *f = open_utf8(p, "rb");
    f0_header hd;
    int32_t reversed = f ? ck_synch_hd(f, &hd, 0) : -2;
    check(reversed == 0 && hd.dim_count == info.dim_count, "ck_synch_hd", name);
    if (reversed >= 0)
        std::fclose(f);
}

void files()
{
    const int32_t dims[3] = {48, 20, 3};
    const char *text = "driver: every writer, every reader";
    for (int32_t type = 0; type < F0_TYPE_COUNT; ++type) {
        const int32_t width = zeb_element_size(type);
        auto data = make_data(width, 48 * 20 * 3, type % 2 == 0 ? 0 : 1, 3);
        const std::string t = "type" + std::to_string(type);
        int32_t s = zeb_fzwrite(data.data(), path(t + "-fzwrite.f0").c_str(), dims, 3, text, type);
        result("%s fzwrite %d", t.c_str(), s);
        read_back(t + "-fzwrite.f0", data, text);
        if (type <= F0_FLOAT32) {
            s = zeb_fcwrite(data.data(), path(t + "-fcwrite.f0").c_str(), dims, 3, text, type, 3);
            result("%s fcwrite %d", t.c_str(), s);
            read_back(t + "-fcwrite.f0", data, text);
        }
        s = zeb_write(data.data(), path(t + "-write.f0").c_str(), dims, 3, text, type, 1, 5, nullptr, nullptr);
        result("%s write %d", t.c_str(), s);
        if (type <= F0_FLOAT32)
            read_back(t + "-write.f0", data, text);
        for (int32_t mode : {ZEB_COMPRESS_AUTO, ZEB_COMPRESS_RAW, 4}) {
            zeb_payload pl;
            s = zeb_prepare(data.data(), type, dims, 3, text, int32_t(std::strlen(text)), mode, 2, &pl, nullptr);
            const std::string name = t + "-payload" + std::to_string(mode) + ".f0";
            int32_t w = s == ZEB_OK ? zeb_write_payload(path(name).c_str(), &pl, ZEB_WRITE_ATOMIC, nullptr, nullptr) : s;
            result("%s prepare %d write %d size %lld", name.c_str(), s, w, s == ZEB_OK ? (long long)pl.size : -1LL);
            if (s == ZEB_OK)
                zeb_payload_free(&pl);
            read_back(name, data, text);
        }
    }
    // Raw data stored big-endian, by hand.
    auto data = make_data(4, 100, 0, 4);
    f0_header h{};
    h.synch_pattern = F0_SYNCH;
    h.file_flags = F0_FLAG_SWAPPED;
    h.header_blocks = 1;
    h.datyp = F0_INT32;
    h.dim_count = 1;
    h.data_size = 400;
    h.dims[0] = 100;
    std::strcpy(h.header_text, "big-endian");
    std::vector<uint8_t> file(reinterpret_cast<uint8_t *>(&h), reinterpret_cast<uint8_t *>(&h) + sizeof h);
    std::vector<uint8_t> swapped = data;
    bswapi32(swapped.data(), 100);
    file.insert(file.end(), swapped.begin(), swapped.end());
    save("big-endian.f0", file.data(), int64_t(file.size()));
    read_back("big-endian.f0", data, "big-endian");
}

// ---- what differs between systems -----------------------------------------

void system_paths()
{
    const int32_t dims[2] = {30, 10};
    auto first = make_data(2, 300, 0, 5), second = make_data(2, 300, 1, 6);
    // An atomic replacement of an existing file (on Windows rename cannot
    // replace one).
    zeb_payload pl;
    const std::string p = path("replaced.f0");
    zeb_prepare(first.data(), F0_INT16, dims, 2, "first", 5, ZEB_COMPRESS_AUTO, 1, &pl, nullptr);
    int32_t a = zeb_write_payload(p.c_str(), &pl, ZEB_WRITE_ATOMIC, nullptr, nullptr);
    zeb_payload_free(&pl);
    zeb_prepare(second.data(), F0_INT16, dims, 2, "second", 6, ZEB_COMPRESS_AUTO, 1, &pl, nullptr);
    int32_t b = zeb_write_payload(p.c_str(), &pl, ZEB_WRITE_ATOMIC, nullptr, nullptr);
    zeb_payload_free(&pl);
    result("replace %d %d", a, b);
    check(a == ZEB_OK && b == ZEB_OK, "atomic write over an existing file");
    read_back("replaced.f0", second, "second");

    // A non-ASCII name (UTF-8), written atomically and in place.
    const std::string name = "donn\xc3\xa9" "es-\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf.f0";
    zeb_prepare(first.data(), F0_INT16, dims, 2, "utf-8", 5, 5, 1, &pl, nullptr);
    a = zeb_write_payload(path(name).c_str(), &pl, ZEB_WRITE_ATOMIC, nullptr, nullptr);
    b = zeb_write_payload(path("in-place-" + name).c_str(), &pl, 0, nullptr, nullptr);
    zeb_payload_free(&pl);
    result("non-ascii %d %d", a, b);
    check(a == ZEB_OK && b == ZEB_OK, "non-ASCII file names");
    read_back(name, first, "utf-8");
    read_back("in-place-" + name, first, "utf-8");

    // Errors come back as statuses and errno values.
    zeb_image img;
    int32_t err = 0;
    int32_t s = zeb_read(path("missing.f0").c_str(), &img, nullptr, 0);
    int32_t o = zeb_open(path("missing.f0").c_str(), nullptr, nullptr, nullptr, &err);
    int32_t w = zeb_write(first.data(), path(std::string("no-dir") + kSep + "x.f0").c_str(), dims, 2, "", F0_INT16, 0,
                          0, nullptr, nullptr);
    result("missing %d %d errno-is-enoent %d write %d", s, o, err == ENOENT, w);

    // A file beyond 4 GiB: a small F0 file followed by a hole.  Its size only
    // fits in 64 bits; taken modulo 2^32 it would be too short for its data
    // and refused as truncated.
    auto data = make_data(1, 2000, 2, 7);
    const int32_t dim = 2000;
    const std::string big = path("beyond-4gib.f0");
    s = zeb_write(data.data(), big.c_str(), &dim, 1, "sparse", F0_INT8, 0, 0, nullptr, nullptr);
    FILE *f = std::fopen(big.c_str(), "r+b");
    const int64_t size = (int64_t(1) << 32) + 600;
#if defined(_WIN32)
    bool grown = f && _chsize_s(_fileno(f), size) == 0;
#else
    bool grown = f && ftruncate(fileno(f), size) == 0;
#endif
    if (f)
        std::fclose(f);
    zeb_info info{};
    o = zeb_open(big.c_str(), nullptr, &info, nullptr, nullptr);
    int32_t r = zeb_read(big.c_str(), &img, nullptr, ZEB_READ_STRICT);
    result("beyond 4 GiB %d %d %d %d", s, grown, o, r);
    check(grown && o == ZEB_OK && r == ZEB_OK && img.data_size == 2000 &&
              std::memcmp(img.data, data.data(), 2000) == 0,
          "a file beyond 4 GiB");
    zeb_free(img.data);
    std::remove(big.c_str());
}

// ---- header records and CRC-32C --------------------------------------------

// Opens a file with its record verified and reads its data.
bool verified(const std::string &name, const std::vector<uint8_t> &expect)
{
    zeb_reader *r = nullptr;
    zeb_info info{};
    zeb_record_info rec{};
    int32_t s = zeb_open_ex(path(name).c_str(), 0, &r, &info, &rec, nullptr, nullptr);
    std::vector<uint8_t> data(size_t(info.nbytes) + 1);
    if (s == ZEB_OK)
        s = zeb_read_data(r, data.data(), info.nbytes, nullptr);
    zeb_close(r);
    result("%s verified %d record %d checksum %d", name.c_str(), s, rec.state, rec.checksum);
    return s == ZEB_OK && info.nbytes == int64_t(expect.size()) &&
           std::memcmp(data.data(), expect.data(), expect.size()) == 0;
}

void records()
{
    // Every method this build and CPU have gives the same CRC.
    auto bytes = make_data(1, 1 << 20, 2, 8);
    for (size_t n : {0, 1, 7, 8, 9, 63, 64, 65, 255, 256, 300, 4096, 1 << 20}) {
        const uint32_t best = zeb_crc32c(0, bytes.data(), n);
        for (int32_t m = ZEB_CRC32C_PORTABLE; m <= ZEB_CRC32C_FOLDING; ++m) {
            uint32_t c = 0;
            if (zeb_crc32c_with(m, &c, bytes.data(), n) == ZEB_OK)
                check(c == best, "CRC-32C methods agree", std::to_string(n));
        }
        result("crc32c %u %08x", unsigned(n), best);
    }
    // A file written with a record, read back verified.
    const int32_t dims[2] = {40, 25};
    auto data = make_data(2, 1000, 0, 9);
    zeb_payload pl;
    int32_t s = zeb_prepare(data.data(), F0_INT16, dims, 2, "record", 6, ZEB_COMPRESS_AUTO, 1, &pl, nullptr);
    int32_t a = s == ZEB_OK ? zeb_payload_add_record(&pl, ZEB_DTYPE_STORED, nullptr, -1, nullptr) : s;
    int32_t w = a == ZEB_OK ? zeb_write_payload(path("record.f0").c_str(), &pl, ZEB_WRITE_ATOMIC, nullptr, nullptr) : a;
    if (s == ZEB_OK)
        zeb_payload_free(&pl);
    result("record %d %d %d", s, a, w);
    check(w == ZEB_OK && verified("record.f0", data), "a file with a record");
    // The same files written while they are coded, in pieces at their
    // places: byte for byte those coded whole first, a small one and one of
    // several pieces on two threads, over an existing file.
    const int32_t big_dims[2] = {1000, 600};
    auto big = make_data(2, 1000 * 600, 0, 10);
    for (const auto &[name, d, values] : {std::tuple{"record", dims, &data}, std::tuple{"record-big", big_dims, &big}}) {
        zeb_payload whole;
        s = zeb_prepare(values->data(), F0_INT16, d, 2, "record", 6, ZEB_COMPRESS_AUTO, 1, &whole, nullptr);
        a = s == ZEB_OK ? zeb_payload_add_record(&whole, ZEB_DTYPE_STORED, nullptr, -1, nullptr) : s;
        w = a == ZEB_OK ? zeb_write_payload(path(std::string(name) + ".f0").c_str(), &whole, ZEB_WRITE_ATOMIC,
                                            nullptr, nullptr) : a;
        if (s == ZEB_OK)
            zeb_payload_free(&whole);
        zeb_write_request rq{values->data(), F0_INT16, d, 2, "record", 6, ZEB_COMPRESS_AUTO, 2, 1, ZEB_DTYPE_STORED,
                             nullptr, -1, {}, nullptr, 0};
        const std::string streamed = std::string(name) + "-streamed.f0";
        save(streamed, "old", 3);
        const int32_t ws = zeb_write_array(path(streamed).c_str(), &rq, ZEB_WRITE_ATOMIC, nullptr, nullptr);
        const bool same = load(path(streamed)) == load(path(std::string(name) + ".f0"));
        result("%s written while coded %d %d same %d", name, w, ws, int(same));
        check(w == ZEB_OK && ws == ZEB_OK && same && verified(streamed, *values), "a file written while coded");
    }
    // A classic file given checksums, marked changed through a descriptor,
    // and given them again: each time rewritten only if still the same file.
    s = zeb_fzwrite(data.data(), path("checksummed.f0").c_str(), dims, 2, "classic", F0_INT16);
    int32_t action = -1, action2 = -1;
    a = zeb_checksum_file(path("checksummed.f0").c_str(), 0, &action, nullptr, nullptr);
#if defined(_WIN32)
    int fd = _open(path("checksummed.f0").c_str(), _O_RDWR | _O_BINARY);
#else
    int fd = open(path("checksummed.f0").c_str(), O_RDWR);
#endif
    int32_t m = fd >= 0 ? zeb_mark_unchecked(fd, nullptr, nullptr) : -100;
    if (fd >= 0)
        close(fd);
    w = zeb_checksum_file(path("checksummed.f0").c_str(), 0, &action2, nullptr, nullptr);
    result("checksum %d %d %d %d %d %d", s, a, action, m, w, action2);
    check(a == ZEB_OK && action == ZEB_CHECKSUM_ADDED && m == ZEB_OK && w == ZEB_OK &&
              action2 == ZEB_CHECKSUM_RENEWED && verified("checksummed.f0", data),
          "checksums added, marked and renewed");
}

// ---- the saved fuzz inputs -------------------------------------------------

void corpus(const std::string &dir, const std::string &list)
{
    FILE *l = std::fopen(list.c_str(), "rb");
    char line[1024];
    int inputs = 0;
    while (l && std::fgets(line, sizeof line, l)) {
        line[std::strcspn(line, "\r\n")] = '\0';
        std::string rel = line;
        for (char &ch : rel)
            if (ch == '/')
                ch = kSep;
        auto in = load(dir + kSep + rel);
        ++inputs;
        // As a file image: strict, lenient, and in two steps.
        zeb_image img;
        int32_t s = zeb_read_memory(in.data(), int64_t(in.size()), &img, nullptr, ZEB_READ_STRICT);
        result("corpus %s strict %d %lld %016llx", line, s, (long long)img.data_size,
               (unsigned long long)fnv(img.data, img.data_size));
        zeb_free(img.data);
        s = zeb_read_memory(in.data(), int64_t(in.size()), &img, nullptr, 0);
        result("corpus %s lenient %d %lld %016llx", line, s, (long long)img.data_size,
               (unsigned long long)fnv(img.data, img.data_size));
        zeb_free(img.data);
        // As the decoding target sees it: 10 bytes of parameters, then a body.
        if (in.size() >= 10) {
            int32_t ct = in[0] % 5, slice = static_cast<int8_t>(in[1]), block_size, nblocks;
            std::memcpy(&block_size, &in[2], 4);
            std::memcpy(&nblocks, &in[6], 4);
            block_size %= 4097;
            nblocks %= 257;
            int64_t elements = int64_t(block_size > 0 ? block_size : 1) * (nblocks > 0 ? nblocks : 0);
            std::vector<uint8_t> out(size_t(elements * 4 + 1));
            zeb_decode_info info{};
            s = zeb_decode(ct, in.size() > 10 ? &in[10] : nullptr, int64_t(in.size()) - 10, out.data(), elements,
                           slice, block_size, nblocks, &info);
            result("corpus %s decode %d %lld %lld %016llx", line, s, (long long)info.elements,
                   (long long)info.used, (unsigned long long)fnv(out.data(), int64_t(out.size())));
        }
    }
    if (l)
        std::fclose(l);
    result("corpus inputs %d", inputs);
    check(inputs > 0, "saved fuzz inputs read");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: driver OUTDIR [CORPUS_DIR CORPUS_LIST]\n");
        return 2;
    }
    out_dir = argv[1];
    results = std::fopen(path("results.txt").c_str(), "wb");
    if (!results) {
        std::fprintf(stderr, "driver: cannot create %s\n", path("results.txt").c_str());
        return 1;
    }
    streams();
    files();
    system_paths();
    records();
    if (argc == 4)
        corpus(argv[2], argv[3]);
    std::fclose(results);
    std::printf("driver: %d checks, %d failed\n", checks, failures);
    return failures ? 1 : 0;
}
