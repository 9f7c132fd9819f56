// Tests of zeb.hpp, built against the installed package.  Usage:
//     test_zeb_hpp WORK_DIR
//     test_zeb_hpp WORK_DIR --cross DIR
// Prints each failed check, then "N passed, N failed" (test cases) alone on
// a line; exits 1 when any failed.  With --cross, reads the files pyzeb wrote
// into DIR (tests/cpp/cross.py) and writes its own beside them.
#include <zeb.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

int case_failures = 0;
fs::path work;

#define CHECK(cond)                                                                 \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::printf("  line %d: CHECK(%s) failed\n", __LINE__, #cond);          \
            ++case_failures;                                                        \
        }                                                                           \
    } while (0)

// Checks that `call` throws E and that `check` holds for it.
template <class E, class F, class C>
void expect_throw(int line, F &&call, C &&check)
{
    try {
        call();
        std::printf("  line %d: no exception\n", line);
        ++case_failures;
    } catch (const E &e) {
        if (!check(e)) {
            std::printf("  line %d: unexpected %s\n", line, e.what());
            ++case_failures;
        }
    } catch (const std::exception &e) {
        std::printf("  line %d: wrong exception: %s\n", line, e.what());
        ++case_failures;
    }
}
#define EXPECT_THROW(E, call, check) expect_throw<E>(__LINE__, [&] { call; }, check)
auto any = [](const auto &) { return true; };

std::vector<std::byte> file_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::vector<char> c((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> b(c.size());
    std::memcpy(b.data(), c.data(), c.size());
    return b;
}

void put_bytes(const fs::path &p, std::span<const std::byte> bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Contiguous storage of n values, for bool too (std::vector<bool> packs bits).
template <class T>
class buffer {
public:
    explicit buffer(std::size_t n) : p_(std::make_unique<T[]>(n)), n_(n) {}
    T *data() const noexcept { return p_.get(); }
    std::size_t size() const noexcept { return n_; }
    T *begin() const noexcept { return p_.get(); }
    T *end() const noexcept { return p_.get() + n_; }
    T &operator[](std::size_t i) const noexcept { return p_[i]; }

private:
    std::unique_ptr<T[]> p_;
    std::size_t n_;
};

// A noisy walk with the type's extremes (and for floats NaN and infinities)
// mixed in: every code path of the streams, and values that must come back
// bit for bit.
template <class T>
buffer<T> sample(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    buffer<T> v(n);
    double x = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x += static_cast<double>(static_cast<int>(rng() % 21) - 10);
        if constexpr (std::is_floating_point_v<T>)
            v[i] = static_cast<T>(std::fmod(x, 100.0));
        else
            v[i] = static_cast<T>(static_cast<long long>(std::fmod(x, 100.0)));
        if (rng() % 17 == 0)
            v[i] = rng() % 2 ? std::numeric_limits<T>::lowest() : std::numeric_limits<T>::max();
        if constexpr (std::is_floating_point_v<T>)
            if (rng() % 23 == 0)
                v[i] = rng() % 2 ? std::numeric_limits<T>::quiet_NaN() : -std::numeric_limits<T>::infinity();
    }
    return v;
}

bool same_bytes(std::span<const std::byte> bytes, const void *values, std::size_t n)
{
    return bytes.size() == n && (n == 0 || std::memcmp(bytes.data(), values, n) == 0);
}

// Every element type, compressed (smallest stream), raw and with a given
// slice, over several shapes (none, empty, 1-d, 3-d): through a file and
// through memory, with the header (metadata included) read back as written.
// Unsigned and bool arrays need the record, so they are not written classic.
template <class T>
void round_trips(zeb::dtype expected)
{
    const std::vector<std::vector<std::size_t>> shapes = {{}, {0, 5}, {7}, {3, 4, 50}};
    const bool classic = zeb::stored_dtype(expected) == expected;
    const std::vector<zeb::write_options> options = {
        {.metadata = "{\"k\": [1, \"\u00e9\\u00e9\"]}"},
        {.compress = false, .text = "raw"},
        {.slice = 3, .text = "slice three", .threads = 2, .checksum = !classic}};
    unsigned seed = 1;
    for (const auto &shape : shapes) {
        std::size_t n = 1;
        for (std::size_t d : shape)
            n *= d;
        for (const auto &opt : options) {
            const buffer<T> v = sample<T>(n, seed++);
            const fs::path p = work / "round.f0";
            zeb::write<T>(p, v, shape, opt);
            const zeb::array a = zeb::read(p);
            const zeb::header h = zeb::read_header(p);
            const std::vector<std::byte> image = zeb::encode<T>(v, shape, opt);
            CHECK(file_bytes(p) == image);
            const zeb::array b = zeb::decode(image);
            for (const zeb::array *x : {&a, &b}) {
                CHECK(x->header.shape == shape);
                CHECK(x->header.dtype == expected && x->header.stored_dtype == zeb::stored_dtype(expected));
                CHECK(x->header.text == opt.text && x->header.metadata == opt.metadata);
                CHECK(same_bytes(x->bytes, v.data(), n * sizeof(T)));
                CHECK(x->values<T>().size() == n);
                CHECK(x->header.data_offset + x->header.data_size == image.size());
                CHECK(x->header.checksum == opt.checksum && (x->header.data_offset == 512) == !opt.checksum);
                CHECK(x->header.compressed == (x->header.slice >= 0) && !x->header.big_endian);
            }
            CHECK(h.shape == a.header.shape && h.slice == a.header.slice && h.data_size == a.header.data_size);
            if (!opt.compress)
                CHECK(!h.compressed);
            if (opt.slice == 3 && h.compressed)
                CHECK(h.slice == 3);
            if (sizeof(T) == 8)
                CHECK(!h.compressed);  // 64-bit types have no stream
        }
    }
}

void test_round_trips()
{
    round_trips<std::int8_t>(zeb::dtype::int8);
    round_trips<std::int16_t>(zeb::dtype::int16);
    round_trips<std::int32_t>(zeb::dtype::int32);
    round_trips<float>(zeb::dtype::float32);
    round_trips<double>(zeb::dtype::float64);
    round_trips<std::int64_t>(zeb::dtype::int64);
    round_trips<std::uint8_t>(zeb::dtype::uint8);
    round_trips<std::uint16_t>(zeb::dtype::uint16);
    round_trips<std::uint32_t>(zeb::dtype::uint32);
    round_trips<std::uint64_t>(zeb::dtype::uint64);
    round_trips<bool>(zeb::dtype::bool_);
}

// The format document's worked example, byte for byte: a 2 x 3 uint16 array
// with header text and metadata.  Its values read as uint16 and, as stored,
// as int16; a damaged record read without verification leaves the stored type.
void test_worked_example()
{
    const std::vector<std::uint16_t> v = {1, 2, 3, 4, 5, 6};
    const std::array<std::size_t, 2> shape{2, 3};
    const std::vector<std::byte> image =
        zeb::encode<std::uint16_t>(v, shape, {.compress = false, .text = "abc", .metadata = R"({"EXPTIME": 30})"});
    const unsigned char head[] = {0xAA, 0xAA, 0x55, 0x55, 0, 0, 2, 1, 2, 0, 0x0C, 0, 0, 0, 0, 0};
    const unsigned char record[] = {
        0x50, 0x59, 0x5A, 0x45, 0x42, 0x52, 0x45, 0x43, 0x01, 0x00, 0x18, 0x00, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0xF1, 0xDF, 0x41, 0x3D, 0x01, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x13, 0x00, 0x88, 0x31, 0xB1, 0x9A, 0x48, 0x2F, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
        0x0F, 0x00, 0x00, 0x00, 0x7B, 0x22, 0x45, 0x58, 0x50, 0x54, 0x49, 0x4D, 0x45, 0x22, 0x3A, 0x20, 0x33, 0x30,
        0x7D};
    CHECK(image.size() == 1036);
    CHECK(std::memcmp(image.data(), head, sizeof head) == 0);
    CHECK(std::memcmp(image.data() + 512, record, sizeof record) == 0);
    CHECK(std::all_of(image.begin() + 512 + sizeof record, image.begin() + 1024, [](std::byte b) { return b == std::byte{0}; }));
    CHECK(same_bytes(std::span(image).subspan(1024), v.data(), 12));

    const zeb::array a = zeb::decode(image);
    CHECK(a.header.dtype == zeb::dtype::uint16 && a.header.stored_dtype == zeb::dtype::int16);
    CHECK(a.header.metadata == R"({"EXPTIME": 30})" && a.header.text == "abc" && !a.header.data_changed);
    CHECK(std::ranges::equal(a.values<std::uint16_t>(), v));
    CHECK(a.values<std::int16_t>()[5] == 6);
    EXPECT_THROW(std::invalid_argument, a.values<std::int8_t>(), any);

    std::vector<std::byte> bad = image;
    bad[512 + 0x50] ^= std::byte{0x01};  // a byte of the metadata, under the record's own CRC
    EXPECT_THROW(zeb::format_error, zeb::decode(bad), [](const zeb::format_error &e) { return e.status() == ZEB_E_RECORD; });
    const zeb::array b = zeb::decode(bad, {.verify = false});
    CHECK(b.header.dtype == zeb::dtype::int16 && b.header.metadata.empty() && !b.header.checksum);
}

// A bool array holding a byte other than 0 or 1 (a file written elsewhere)
// is refused, not handed out as bool values.
void test_bool_bytes()
{
    const std::array<bool, 6> v = {true, false, false, true, true, false};
    const std::array<std::size_t, 2> shape{2, 3};
    std::vector<std::byte> image = zeb::encode<bool>(v, shape, {.compress = false});
    const zeb::array a = zeb::decode(image);
    CHECK(a.header.dtype == zeb::dtype::bool_ && std::ranges::equal(a.values<bool>(), v));
    image[image.size() - 1] = std::byte{2};
    EXPECT_THROW(zeb::format_error, zeb::decode(image, {.verify = false}), [](const zeb::format_error &e) {
        return e.status() == ZEB_E_RECORD && std::string(e.what()).find("other than 0 and 1") != std::string::npos;
    });
    CHECK(zeb::decode(image, {.verify = false, .rows = 1}).values<bool>()[0]);  // the first row is sound
}

// Metadata must be what pyzeb reads back as a dict; an object without
// members is stored as no metadata, as pyzeb stores {}.
void test_metadata_checked()
{
    const std::vector<std::int16_t> v(4, 3);
    const std::array<std::size_t, 1> shape{4};
    const std::string deep = "{\"a\":" + std::string(255, '[') + std::string(255, ']') + "}";
    const std::string deeper = "{\"a\":" + std::string(256, '[') + std::string(256, ']') + "}";
    const std::string long_int = "{\"a\": " + std::string(4300, '7') + "}";
    const std::vector<std::tuple<int, std::string, bool>> cases = {
        {__LINE__, R"( {"a": {"b": [1, -2.5e-3, 0, true, false, null, "\u00e9\ud83d\ude00\n"]}, "c": {}} )", true},
        {__LINE__, "{\"a\": 1, \"\\u0062\": 2, \"\u00e9\": 3}", true},
        {__LINE__, deep, true},
        {__LINE__, long_int, true},
        {__LINE__, deeper, false},
        {__LINE__, "{\"a\": " + std::string(4301, '7') + "}", false},
        {__LINE__, "[1]", false},
        {__LINE__, "\"text\"", false},
        {__LINE__, "{\"a\": NaN}", false},
        {__LINE__, "{\"a\": -Infinity}", false},
        {__LINE__, "{\"a\": 1} {}", false},
        {__LINE__, "{\"a\": 1, \"\\u0061\": 2}", false},  // the same key twice
        {__LINE__, R"({"a": "\ud800"})", false},
        {__LINE__, R"({"a": "\udc00x"})", false},
        {__LINE__, R"({"a": "\ud800\u0041"})", false},
        {__LINE__, "{\"a\": \"\xc0\x80\"}", false},        // overlong UTF-8
        {__LINE__, "{\"a\": \"\xed\xa0\x80\"}", false},    // a surrogate in UTF-8
        {__LINE__, "{\"a\": \"\xf4\x90\x80\x80\"}", false},  // above U+10FFFF
        {__LINE__, "{\"a\": \"\xe9\"}", false},             // Latin-1
        {__LINE__, "{\"a\": \"\x01\"}", false},
        {__LINE__, std::string("{\"a\": 1}\0", 9), false},
        {__LINE__, "{\"a\": 1,}", false},
        {__LINE__, "{\"a\": 01}", false},
        {__LINE__, "{\"a\": 1.}", false},
        {__LINE__, "{\"a\": 'x'}", false},
        {__LINE__, "{a: 1}", false},
        {__LINE__, R"({"a": "\x"})", false},
        {__LINE__, R"({"a": "\u12"})", false},
        {__LINE__, "{\"a\": \"unclosed}", false},
        {__LINE__, "{\"a\": \"" + std::string(8000, 'x') + "\"}", false},  // does not fit in the header
    };
    for (const auto &[line, text, ok] : cases) {
        if (ok) {
            const zeb::array a = zeb::decode(zeb::encode<std::int16_t>(v, shape, {.metadata = text}));
            if (a.header.metadata != text)
                std::printf("  line %d: the metadata read back differ\n", line), ++case_failures;
        } else {
            expect_throw<std::invalid_argument>(
                line, [&, &meta = text] { zeb::encode<std::int16_t>(v, shape, {.metadata = meta}); }, any);
        }
    }
    const std::vector<std::byte> none = zeb::encode<std::int16_t>(v, shape);
    for (const char *empty : {"{}", " {\n} "})
        CHECK(zeb::encode<std::int16_t>(v, shape, {.metadata = empty}) == none);
    CHECK(zeb::encode<std::int16_t>(v, shape, {.checksum = false, .metadata = "{}"}).size() == 512 + 8);
    EXPECT_THROW(std::invalid_argument, zeb::encode<std::int16_t>(v, shape, {.checksum = false, .metadata = "{\"a\": 1}"}),
                 any);
    const std::vector<std::uint16_t> u(4);
    EXPECT_THROW(std::invalid_argument, zeb::encode<std::uint16_t>(u, shape, {.checksum = false}), any);
}

// Smooth 16-bit data are stored as a stream, smaller than raw.
void test_compresses()
{
    std::vector<std::int16_t> v(64 * 64);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::int16_t>(500 + i % 64);
    const std::array<std::size_t, 2> shape{64, 64};
    const zeb::array a = zeb::decode(zeb::encode<std::int16_t>(v, shape));
    CHECK(a.header.compressed && a.header.slice >= 0 && a.header.data_size < v.size() * 2);
    CHECK(std::ranges::equal(a.values<std::int16_t>(), v));
}

// Parts along the first dimension, on any number of threads, equal the same
// rows of the whole array: raw, and compressed with and without a seek index.
void test_rows()
{
    const std::array<std::size_t, 3> shape{40, 64, 64};  // about 300 kB: an indexed stream
    std::vector<std::int16_t> v(40 * 64 * 64);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::int16_t>(900 + (i * 7919) % 61 + i / 4096);
    const std::size_t plane = 64 * 64;
    for (const zeb::write_options &w : {zeb::write_options{}, zeb::write_options{.compress = false},
                                        zeb::write_options{.checksum = false}}) {
        const std::vector<std::byte> image = zeb::encode<std::int16_t>(v, shape, w);
        for (const auto &[first, rows] : {std::pair<std::size_t, std::size_t>{0, 1}, {13, 9}, {39, 1}, {40, 0},
                                          {7, zeb::all_rows}}) {
            for (int threads : {0, 1, 2}) {
                const zeb::array a = zeb::decode(image, {.threads = threads, .first_row = first, .rows = rows});
                const std::size_t n = rows == zeb::all_rows ? 40 - first : rows;
                CHECK(a.header.shape == (std::vector<std::size_t>{n, 64, 64}));
                CHECK(std::ranges::equal(a.values<std::int16_t>(), std::span(v).subspan(first * plane, n * plane)));
            }
        }
        EXPECT_THROW(std::out_of_range, zeb::decode(image, {.first_row = 41}), any);
        EXPECT_THROW(std::out_of_range, zeb::decode(image, {.first_row = 30, .rows = 11}), any);
        EXPECT_THROW(std::invalid_argument, zeb::decode(image, {.threads = -1}), any);
    }
}

// A raw big-endian file is read into native order.
void test_big_endian()
{
    const std::vector<std::int32_t> v = {1, -2, 0x01020304, std::numeric_limits<std::int32_t>::min()};
    const std::array<std::size_t, 1> shape{4};
    std::vector<std::byte> image = zeb::encode<std::int32_t>(v, shape, {.compress = false});
    image[4] |= std::byte{0x80};
    for (std::size_t i = 512; i < image.size(); i += 4)
        std::reverse(image.begin() + static_cast<std::ptrdiff_t>(i), image.begin() + static_cast<std::ptrdiff_t>(i + 4));
    const zeb::array a = zeb::decode(image);
    CHECK(a.header.big_endian);
    CHECK(std::ranges::equal(a.values<std::int32_t>(), v));
}

void test_values_type_checked()
{
    const std::vector<float> v = {1.5f, 2.5f};
    const std::array<std::size_t, 1> shape{2};
    const zeb::array a = zeb::decode(zeb::encode<float>(v, shape));
    CHECK(a.values<float>()[1] == 2.5f);
    EXPECT_THROW(std::invalid_argument, a.values<std::int32_t>(), any);
    EXPECT_THROW(std::invalid_argument, a.values<double>(), any);
}

// Arguments a file cannot hold are refused before anything is written.
void test_invalid_arguments()
{
    const fs::path p = work / "args.f0";
    const std::vector<std::int16_t> v(12);
    const std::array<std::size_t, 2> shape{3, 4};
    const std::array<std::size_t, 2> wrong{3, 5};
    const std::vector<std::size_t> dims17(17, 1);
    const std::array<std::size_t, 2> huge{std::size_t{1} << 20, std::size_t{1} << 20};
    const std::array<std::size_t, 2> huge_empty{std::size_t{1} << 20, 0};
    const std::array<std::size_t, 1> over_int32{std::size_t{1} << 31};
    const std::vector<std::int16_t> one(1);
    const std::vector<std::int16_t> none;
    const std::vector<std::tuple<int, std::function<void()>>> cases = {
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, wrong); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, one, dims17); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, none, huge); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, none, over_int32); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, shape, {.text = std::string(256, 'x')}); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, shape, {.text = std::string("a\0b", 3)}); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, shape, {.slice = 33}); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, shape, {.slice = -2}); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, shape, {.slice = 20}); }},  // the 16-bit coder's limit
        {__LINE__, [&] { zeb::write<std::int16_t>(p, v, shape, {.threads = -1}); }},
        {__LINE__, [&] { zeb::write<std::int16_t>(fs::path(std::string("a\0b.f0", 6)), v, shape); }},
        {__LINE__, [&] { zeb::encode<std::int16_t>(v, wrong); }},
    };
    for (const auto &[line, call] : cases)
        expect_throw<std::invalid_argument>(line, call, any);
    CHECK(!fs::exists(p));
    // An empty array of huge other dimensions is fine: no data.
    CHECK(zeb::decode(zeb::encode<std::int16_t>(none, huge_empty)).header.shape ==
          std::vector<std::size_t>(huge_empty.begin(), huge_empty.end()));
}

// The operating system's failures: filesystem_error with errno and the path.
void test_os_errors()
{
    const std::vector<std::int8_t> v(4);
    const std::array<std::size_t, 1> shape{4};
    const fs::path missing = work / "no-such-file.f0";
    const fs::path no_dir = work / "no-such-dir" / "x.f0";
    auto is = [](int err, const fs::path &p) {
        return [=](const fs::filesystem_error &e) { return e.code().value() == err && e.path1() == p; };
    };
    EXPECT_THROW(fs::filesystem_error, zeb::read(missing), is(ENOENT, missing));
    EXPECT_THROW(fs::filesystem_error, zeb::read_header(missing), is(ENOENT, missing));
    EXPECT_THROW(fs::filesystem_error, zeb::write<std::int8_t>(no_dir, v, shape), is(ENOENT, no_dir));
    EXPECT_THROW(fs::filesystem_error, zeb::write<std::int8_t>(work, v, shape), is(EISDIR, work));
    if (fs::exists("/dev/full"))
        EXPECT_THROW(fs::filesystem_error, zeb::write<std::int8_t>("/dev/full", v, shape), is(ENOSPC, "/dev/full"));
}

// Files and buffers that are not F0, damaged or truncated: format_error
// with the status and the path.
void test_format_errors()
{
    const fs::path text = work / "text.f0";
    const std::string words(600, 'w');
    put_bytes(text, std::as_bytes(std::span(words)));
    auto status_is = [](int status, const fs::path &p) {
        return [=](const zeb::format_error &e) {
            return e.status() == status && e.path() == p && std::string(e.what()).find(zeb_status_text(status)) !=
                                                                 std::string::npos;
        };
    };
    EXPECT_THROW(zeb::format_error, zeb::read(text), status_is(ZEB_E_BAD_SYNCH, text));
    EXPECT_THROW(zeb::format_error, zeb::read_header(text), status_is(ZEB_E_BAD_SYNCH, text));
    EXPECT_THROW(zeb::format_error, zeb::decode({}), status_is(ZEB_E_SHORT_HEADER, fs::path()));

    const std::vector<std::int16_t> v(100, 7);
    const std::array<std::size_t, 1> shape{100};
    const fs::path cut = work / "cut.f0";
    std::vector<std::byte> image = zeb::encode<std::int16_t>(v, shape, {.compress = false});
    image.resize(image.size() - 1);
    put_bytes(cut, image);
    EXPECT_THROW(zeb::format_error, zeb::read(cut), status_is(ZEB_E_TRUNCATED, cut));
    // A format_error is a runtime_error and copies without losing its path.
    try {
        zeb::read(cut);
    } catch (const std::runtime_error &e) {
        const zeb::format_error copy = dynamic_cast<const zeb::format_error &>(e);
        CHECK(copy.path() == cut && copy.status() == ZEB_E_TRUNCATED);
    }
}

// Every prefix of a compressed image and random damage to it: decode either
// throws format_error or returns the array's full size, and never crashes
// (the sanitizer build of this program checks every access).
void test_hostile_buffers()
{
    std::vector<std::int16_t> v(40 * 30);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::int16_t>((i * 37) % 301 - 150);
    const std::array<std::size_t, 2> shape{30, 40};
    const std::vector<std::byte> good = zeb::encode<std::int16_t>(v, shape);
    int refused = 0, other = 0;
    auto attempt = [&](std::span<const std::byte> bytes) {
        try {
            const zeb::array a = zeb::decode(bytes);
            std::size_t n = zeb::element_size(a.header.dtype);
            for (std::size_t d : a.header.shape)
                n *= d;
            other += a.bytes.size() != n;
        } catch (const zeb::format_error &) {
            ++refused;
        } catch (const std::exception &e) {
            std::printf("  decode: %s\n", e.what());
            ++other;
        }
    };
    for (std::size_t n = 0; n < good.size(); ++n)
        attempt(std::span(good).first(n));
    CHECK(refused == static_cast<int>(good.size()));  // every proper prefix is refused
    std::mt19937 rng(5);
    for (int i = 0; i < 3000; ++i) {
        std::vector<std::byte> bad = good;
        for (int k = 0; k < 1 + i % 4; ++k)
            bad[rng() % bad.size()] ^= std::byte{static_cast<unsigned char>(1u << (rng() % 8))};
        attempt(bad);
    }
    CHECK(other == 0);
}

// Damage to a checksummed file is a format_error unless verification is
// off; without the record the image is the classic one of one header block.
void test_checksums()
{
    std::vector<std::int16_t> v(64 * 64);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::int16_t>(500 + i % 64);
    const std::array<std::size_t, 2> shape{64, 64};
    for (bool compress : {false, true}) {
        const std::vector<std::byte> good = zeb::encode<std::int16_t>(v, shape, {.compress = compress});
        const std::vector<std::byte> classic =
            zeb::encode<std::int16_t>(v, shape, {.compress = compress, .checksum = false});
        CHECK(zeb::decode(good).header.checksum && !zeb::decode(classic).header.checksum);
        CHECK(classic.size() + zeb::decode(good).header.data_offset - 512 == good.size());
        std::vector<std::byte> bad = good;
        bad[bad.size() - 7] ^= std::byte{0x10};  // a data byte
        auto mismatch = [](const zeb::format_error &e) { return e.status() == ZEB_E_CHECKSUM; };
        EXPECT_THROW(zeb::format_error, zeb::decode(bad), mismatch);
        const fs::path p = work / "damaged.f0";
        put_bytes(p, bad);
        EXPECT_THROW(zeb::format_error, zeb::read(p), mismatch);
        if (!compress)  // raw data read through, damage and all
            CHECK(!std::ranges::equal(zeb::read(p, {.verify = false}).values<std::int16_t>(), v));
        bad = good;
        bad[300] ^= std::byte{0x01};  // the header text, under the header's checksum
        EXPECT_THROW(zeb::format_error, zeb::decode(bad), mismatch);
        CHECK(zeb::decode(bad, {.verify = false}).header.shape == zeb::decode(good).header.shape);
    }
}

// A write replaces the file whole; a refused write leaves it untouched and
// no temporary file behind.
void test_atomic_replace()
{
    const fs::path p = work / "replace.f0";
    const std::vector<double> first(10, 1.0), second(20, 2.0);
    const std::array<std::size_t, 1> s1{10}, s2{20}, bad{21};
    zeb::write<double>(p, first, s1, {.text = "first"});
    zeb::write<double>(p, second, s2, {.text = "second"});
    const zeb::array a = zeb::read(p);
    CHECK(a.header.text == "second" && std::ranges::equal(a.values<double>(), second));
    const std::vector<std::byte> before = file_bytes(p);
    EXPECT_THROW(std::invalid_argument, zeb::write<double>(p, first, bad), any);
    CHECK(file_bytes(p) == before);
    int temporaries = 0;
    for (const auto &entry : fs::directory_iterator(work))
        temporaries += entry.path().extension() == ".tmp";
    CHECK(temporaries == 0);
}

// One file of tests/cpp/cross.py's: pyzeb's read here, and the same array
// written beside it (the values, text and metadata made as cross.py makes them).
template <class T>
void cross(const fs::path &dir)
{
    constexpr zeb::dtype t = zeb::dtype_of<T>();
    const std::string name(zeb::dtype_name(t));
    buffer<T> v(150);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if constexpr (std::same_as<T, bool>)
            v[i] = i % 3 == 0;
        else if constexpr (std::is_floating_point_v<T>)
            v[i] = static_cast<T>(static_cast<double>(i) * 0.37 - 20);
        else
            v[i] = static_cast<T>(i % 40 * 3);
    }
    if constexpr (std::is_floating_point_v<T>) {
        v[1] = std::numeric_limits<T>::quiet_NaN();
        v[2] = -std::numeric_limits<T>::infinity();
    } else if constexpr (!std::same_as<T, bool>) {
        v[0] = std::numeric_limits<T>::min();
        v[149] = std::numeric_limits<T>::max();
    }
    const std::string text = "made for " + name;
    const std::string metadata = "{\"dtype\":\"" + name + "\",\"note\":\"\u00e9t\u00e9\",\"list\":[1,2.5,null,true]}";
    const std::array<std::size_t, 2> shape{3, 50};
    const zeb::array a = zeb::read(dir / ("py-" + name + ".f0"));
    if (a.header.dtype != t || a.header.text != text || a.header.metadata != metadata ||
        !same_bytes(a.bytes, v.data(), sizeof(T) * v.size())) {
        std::printf("  py-%s.f0: read as %s, text \"%s\", metadata %s\n", name.c_str(),
                    std::string(zeb::dtype_name(a.header.dtype)).c_str(), a.header.text.c_str(), a.header.metadata.c_str());
        ++case_failures;
    }
    zeb::write<T>(dir / ("cpp-" + name + ".f0"), v, shape, {.text = text, .metadata = metadata});
}

int cross_files(const fs::path &dir)
{
    try {
        cross<std::int8_t>(dir), cross<std::int16_t>(dir), cross<std::int32_t>(dir), cross<std::int64_t>(dir);
        cross<float>(dir), cross<double>(dir), cross<std::uint8_t>(dir), cross<std::uint16_t>(dir);
        cross<std::uint32_t>(dir), cross<std::uint64_t>(dir), cross<bool>(dir);
    } catch (const std::exception &e) {
        std::printf("  %s\n", e.what());
        return 1;
    }
    return case_failures ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[2]) == "--cross")
        return cross_files(argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: test_zeb_hpp WORK_DIR [--cross DIR]\n");
        return 2;
    }
    work = fs::absolute(argv[1]);
    fs::remove_all(work);
    fs::create_directories(work);
    const std::pair<const char *, void (*)()> tests[] = {
        {"round trips of every type", test_round_trips},
        {"the worked example of the format document", test_worked_example},
        {"bool bytes other than 0 and 1", test_bool_bytes},
        {"metadata checked", test_metadata_checked},
        {"smooth data compress", test_compresses},
        {"parts along the first dimension", test_rows},
        {"big-endian raw file", test_big_endian},
        {"values<T> checks T", test_values_type_checked},
        {"invalid arguments", test_invalid_arguments},
        {"operating-system errors", test_os_errors},
        {"format errors", test_format_errors},
        {"hostile buffers", test_hostile_buffers},
        {"checksums", test_checksums},
        {"atomic replace", test_atomic_replace},
    };
    int passed = 0, failed = 0;
    for (const auto &[name, run] : tests) {
        case_failures = 0;
        try {
            run();
        } catch (const std::exception &e) {
            std::printf("  uncaught: %s\n", e.what());
            ++case_failures;
        }
        std::printf("%s: %s\n", name, case_failures ? "FAILED" : "ok");
        (case_failures ? failed : passed) += 1;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
