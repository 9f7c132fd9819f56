// Tests of zeb.hpp, built against the installed package.  Usage:
//     test_zeb_hpp WORK_DIR
// Prints each failed check, then "N passed, N failed" (test cases) alone on
// a line; exits 1 when any failed.
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

// A noisy walk with the type's extremes (and for floats NaN and infinities)
// mixed in: every code path of the streams, and values that must come back
// bit for bit.
template <class T>
std::vector<T> sample(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<T> v(n);
    double x = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x += static_cast<double>(static_cast<int>(rng() % 21) - 10);
        v[i] = static_cast<T>(std::fmod(x, 100.0));
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
// through memory, with the header read back as written.
template <class T>
void round_trips(zeb::dtype expected)
{
    const std::vector<std::vector<std::size_t>> shapes = {{}, {0, 5}, {7}, {3, 4, 50}};
    const std::vector<zeb::write_options> options = {
        {}, {.compress = false, .text = "raw"}, {.slice = 3, .text = "slice three", .threads = 2, .checksum = false}};
    unsigned seed = 1;
    for (const auto &shape : shapes) {
        std::size_t n = 1;
        for (std::size_t d : shape)
            n *= d;
        for (const auto &opt : options) {
            const std::vector<T> v = sample<T>(n, seed++);
            const fs::path p = work / "round.f0";
            zeb::write<T>(p, v, shape, opt);
            const zeb::array a = zeb::read(p);
            const zeb::header h = zeb::read_header(p);
            const std::vector<std::byte> image = zeb::encode<T>(v, shape, opt);
            CHECK(file_bytes(p) == image);
            const zeb::array b = zeb::decode(image);
            for (const zeb::array *x : {&a, &b}) {
                CHECK(x->header.shape == shape);
                CHECK(x->header.dtype == expected);
                CHECK(x->header.text == opt.text);
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

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: test_zeb_hpp WORK_DIR\n");
        return 2;
    }
    work = fs::absolute(argv[1]);
    fs::remove_all(work);
    fs::create_directories(work);
    const std::pair<const char *, void (*)()> tests[] = {
        {"round trips of every type", test_round_trips},
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
