// zeb.hpp - F0 files from C++20: a header-only interface over the C library
// (zebrw.h), with value types, RAII and exceptions.
//
//     std::vector<std::int16_t> frame(480 * 640);
//     const std::array<std::size_t, 2> shape{480, 640};       // slowest first
//     zeb::write<std::int16_t>("frame.f0", frame, shape, {.text = "dark 12"});
//     zeb::array a = zeb::read("frame.f0");
//     std::span<const std::int16_t> v = a.values<std::int16_t>();
//
// Shapes are given slowest dimension first, as NumPy gives them (the file
// stores its dimensions fastest first; the reversal happens here), and values
// are in native byte order and C order.
//
// Every function may run on several threads at once (on different files);
// a write encodes large arrays on every core unless told otherwise.
//
// Errors are exceptions, and nothing is ever printed:
//  - zeb::format_error (a std::runtime_error): the file or buffer is not an F0
//    image, is damaged or truncated, or is beyond what the format allows;
//  - std::filesystem::filesystem_error: the operating system refused to open,
//    write or close a file (code() holds errno, path1() the file);
//  - std::invalid_argument: an argument that cannot be stored (a shape that
//    does not match the values or has more than 16 dimensions, data above
//    2^31 - 1 bytes, a header text above 255 bytes or holding a zero byte, a
//    slice out of range, a values<T>() of the wrong type);
//  - std::bad_alloc: memory ran out.
// Oddities a file can still be read through exactly (a stream that claims
// more blocks than the array holds, a checksum record of a newer version
// whose unknown parts go unchecked) are not reported.  Unsigned and bool
// arrays that pyzeb stored as the signed type of the same width read as that
// signed type, bits unchanged.
#ifndef ZEB_HPP
#define ZEB_HPP

#include <algorithm>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "zebrw.h"

namespace zeb {

// The element types, with the F0 type codes 0 to 5 as values.
enum class dtype { int8, int16, int32, float32, float64, int64 };

// Bytes per element.
constexpr std::size_t element_size(dtype t) noexcept
{
    constexpr std::size_t sizes[] = {1, 2, 4, 4, 8, 8};
    return sizes[static_cast<int>(t)];
}

// The element types the library stores, and the dtype of each.
template <class T>
concept element = std::same_as<T, std::int8_t> || std::same_as<T, std::int16_t> ||
                  std::same_as<T, std::int32_t> || std::same_as<T, std::int64_t> ||
                  std::same_as<T, float> || std::same_as<T, double>;

template <element T>
constexpr dtype dtype_of() noexcept
{
    if constexpr (std::same_as<T, std::int8_t>)
        return dtype::int8;
    else if constexpr (std::same_as<T, std::int16_t>)
        return dtype::int16;
    else if constexpr (std::same_as<T, std::int32_t>)
        return dtype::int32;
    else if constexpr (std::same_as<T, std::int64_t>)
        return dtype::int64;
    else if constexpr (std::same_as<T, float>)
        return dtype::float32;
    else
        return dtype::float64;
}

// What a file's headers say.
struct header {
    std::vector<std::size_t> shape{};    // slowest dimension first (NumPy order)
    zeb::dtype dtype = zeb::dtype::int8;
    std::string text{};                // the header text, up to its first zero byte
    bool compressed = false;           // the data are one crunch stream (plain or run-length)
    int slice = -1;                    // the stream's slice, plain or run-length alike; -1 when raw
    bool big_endian = false;           // raw data stored big-endian (streams are always little-endian)
    std::size_t data_offset = 0;       // bytes from the start of the file to the data
    std::size_t data_size = 0;         // bytes of data in the file (the whole stream when compressed)
    bool checksum = false;             // the file carries CRC-32C checksums (see read_options)
};

// A whole array: its header and its values.
struct array {
    zeb::header header{};
    std::vector<std::byte> bytes{};    // native byte order, C order

    // The values as T, which must be the array's element type (otherwise
    // std::invalid_argument; a T that is no F0 element type does not compile).
    template <class T>
    std::span<const T> values() const
    {
        static_assert(element<T>, "zeb::array::values: T must be one of the six F0 element types");
        if (dtype_of<T>() != header.dtype)
            throw std::invalid_argument("zeb::array::values: the element type does not match the array's");
        // The storage comes from operator new, aligned for every element type.
        return {reinterpret_cast<const T *>(bytes.data()), bytes.size() / sizeof(T)};
    }
};

namespace detail {

// A path as messages show it (UTF-8 on Windows, where string() may throw).
inline std::string display_name(const std::filesystem::path &path)
{
#if defined(_WIN32)
    const std::u8string u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
#else
    return path.native();
#endif
}

}  // namespace detail

// A file or buffer that is not an F0 image, is damaged or is beyond what the
// format allows.  status() is the library's code (ZEB_E_* in zebcommon.h);
// path() is empty for a buffer.
class format_error : public std::runtime_error {
public:
    format_error(const std::filesystem::path &path, int status)
        : std::runtime_error(describe(path, status)), path_(std::make_shared<const std::filesystem::path>(path)),
          status_(status)
    {
    }

    const std::filesystem::path &path() const noexcept { return *path_; }
    int status() const noexcept { return status_; }

private:
    static std::string describe(const std::filesystem::path &path, int status)
    {
        return (path.empty() ? std::string("<buffer>") : detail::display_name(path)) + ": " + zeb_status_text(status);
    }

    std::shared_ptr<const std::filesystem::path> path_;  // shared: copying the exception never throws
    int status_;
};

// How to store an array.
struct write_options {
    bool compress = true;   // false: raw data
    int slice = -1;         // -1: the smallest stream for the array; 0 to 32: the plain stream of that
                            // slice (either way raw where no stream is smaller; ignored when raw)
    std::string text{};     // header text, at most 255 bytes, no zero byte
    int threads = 0;        // threads for encoding; 0: all cores
    bool checksum = true;   // CRC-32C checksums of the header and data in the spare header blocks
                            // (false: a classic file of one header block)
};

// All the rows from read_options::first_row on.
inline constexpr std::size_t all_rows = static_cast<std::size_t>(-1);

// How to read a file.
struct read_options {
    bool verify = true;     // check the checksums of a file that carries them (a mismatch is a
                            // format_error); false reads damaged files as far as they decode
    int threads = 0;        // threads for decoding a compressed file with a seek index (pieces of
                            // it at once; the same values on any number); 0: one per core
    // A part along the first (slowest) dimension: rows [first_row, first_row + rows), one
    // plane of a cube or a band of a frame's rows, read without reading the rest of the
    // file (the checksum of all the data is then not checked; the header's is).  The
    // array's header.shape[0] is then the part's rows.  Rows past the end:
    // std::out_of_range; a 0-dimensional array has no rows (std::invalid_argument).
    std::size_t first_row = 0;
    std::size_t rows = all_rows;
};

namespace detail {

// The file name the C library takes: the native narrow name (UTF-8 on Windows).
inline std::string c_name(const std::filesystem::path &path)
{
    std::string name = display_name(path);
    if (name.find('\0') != std::string::npos)
        throw std::invalid_argument("zeb: a file name must not contain a zero byte");
    return name;
}

enum class step { reading, storing };

// Throws the exception that stands for a failed call on `path` (empty: a
// buffer).  err is errno for the operating system's failures, 0 when unknown.
// A slice or argument refused while storing is the caller's; while reading,
// it is the file's (a damaged stream header).
[[noreturn]] inline void fail(int32_t status, int32_t err, const std::filesystem::path &path, step when)
{
    switch (status) {
    case ZEB_E_NOT_FOUND:
    case ZEB_E_OPEN:
    case ZEB_E_WRITE:
    case ZEB_E_CLOSE: {
        if (err == 0)
            err = status == ZEB_E_NOT_FOUND ? ENOENT : EIO;
        throw std::filesystem::filesystem_error(zeb_status_text(status), path,
                                                std::error_code(err, std::generic_category()));
    }
    case ZEB_E_NO_MEMORY:
        throw std::bad_alloc();
    case ZEB_E_BAD_ARGUMENT:
    case ZEB_E_BAD_SLICE:
        if (when == step::storing)
            throw std::invalid_argument((path.empty() ? std::string("zeb") : display_name(path)) + ": " +
                                        zeb_status_text(status));
        break;
    default:
        break;
    }
    throw format_error(path, status);
}

struct reader_closer {
    void operator()(zeb_reader *r) const noexcept { zeb_close(r); }
};
using reader_ptr = std::unique_ptr<zeb_reader, reader_closer>;

inline header to_header(const zeb_info &info, const zeb_record_info &record)
{
    header h;
    h.shape.assign(std::make_reverse_iterator(info.dims + info.dim_count), std::make_reverse_iterator(info.dims));
    h.dtype = static_cast<zeb::dtype>(info.type);
    h.text = info.header_text;
    h.compressed = info.compressed != 0;
    h.slice = info.compressed ? info.stream.slice : -1;
    h.big_endian = info.big_endian != 0;
    h.data_offset = static_cast<std::size_t>(info.data_offset);
    h.data_size = static_cast<std::size_t>(info.data_size);
    h.checksum = record.state == ZEB_RECORD_OK && record.checksum != 0;
    return h;
}

// The data of an opened reader (the rows the options ask for), and its header.
inline array read_opened(zeb_reader *opened, const zeb_info &info, const zeb_record_info &record,
                         const std::filesystem::path &path, const read_options &options)
{
    reader_ptr reader(opened);
    if (info.nbytes < 0 || static_cast<std::uint64_t>(info.nbytes) > std::numeric_limits<std::size_t>::max())
        throw format_error(path, ZEB_E_TOO_LARGE);
    if (options.threads < 0)
        throw std::invalid_argument("zeb: threads must be 0 (one per core) or more");
    array a{to_header(info, record), {}};
    int64_t first = 0, count = info.count;
    if (options.first_row != 0 || options.rows != all_rows) {
        if (a.header.shape.empty())
            throw std::invalid_argument("zeb: a 0-dimensional array has no rows to read part of");
        const std::size_t n = a.header.shape[0];
        if (options.first_row > n || (options.rows != all_rows && options.rows > n - options.first_row))
            throw std::out_of_range("zeb: rows past the end of the array's first dimension");
        const std::size_t rows = options.rows == all_rows ? n - options.first_row : options.rows;
        const int64_t row = n ? info.count / static_cast<int64_t>(n) : 0;
        first = static_cast<int64_t>(options.first_row) * row;
        count = static_cast<int64_t>(rows) * row;
        a.header.shape[0] = rows;
    }
    const int64_t size = info.count ? info.nbytes / info.count : 0;
    a.bytes.resize(static_cast<std::size_t>(count * size));
    zeb_report report{};
    const int32_t status = zeb_read_range(reader.get(), first, count, a.bytes.data(), count * size,
                                          options.threads, &report);
    if (status != ZEB_OK)
        fail(status, 0, path, step::reading);
    return a;
}

// An array ready to be written: the C library's payload, freed on exit.
class payload {
public:
    template <element T>
    payload(std::span<const T> values, std::span<const std::size_t> shape, const write_options &options)
    {
        if (shape.size() > F0_MAX_DIMS)
            throw std::invalid_argument("zeb: an F0 file holds at most 16 dimensions");
        // The file's dimensions (fastest first) and their product, bounded by
        // what a file can hold.
        int32_t dims[F0_MAX_DIMS] = {};
        const std::uint64_t max_count = static_cast<std::uint64_t>(F0_MAX_DATA_SIZE) / sizeof(T);
        std::uint64_t count = 1;
        bool empty = false, too_large = false;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            const std::size_t d = shape[shape.size() - 1 - i];
            if (d > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
                throw std::invalid_argument("zeb: a dimension above 2^31 - 1 cannot be stored");
            dims[i] = static_cast<int32_t>(d);
            if (d == 0)
                empty = true;
            else if (!too_large && count > max_count / d)
                too_large = true;
            else if (!too_large)
                count *= d;
        }
        if (empty)
            count = 0;
        else if (too_large)
            throw std::invalid_argument("zeb: the array is larger than an F0 file can hold (2^31 - 1 bytes)");
        if (count != values.size())
            throw std::invalid_argument("zeb: the shape does not match the number of values");
        if (options.text.size() > F0_HEADER_TEXT_SIZE - 1)
            throw std::invalid_argument("zeb: the header text is longer than 255 bytes");
        if (options.text.find('\0') != std::string::npos)
            throw std::invalid_argument("zeb: the header text must not contain a zero byte");
        if (options.slice < -1 || options.slice > 32)
            throw std::invalid_argument("zeb: slice out of range: -1 (the smallest stream) or 0 to 32");
        if (options.threads < 0)
            throw std::invalid_argument("zeb: threads must be 0 (all cores) or more");
        const int32_t mode = !options.compress ? ZEB_COMPRESS_RAW
                             : options.slice < 0 ? ZEB_COMPRESS_AUTO
                                                 : options.slice;
        zeb_report report{};
        int32_t status =
            zeb_prepare(values.data(), static_cast<int32_t>(dtype_of<T>()), dims, static_cast<int32_t>(shape.size()),
                        options.text.data(), static_cast<int32_t>(options.text.size()), mode, options.threads, &p_,
                        &report);
        if (status == ZEB_OK && options.checksum)
            status = zeb_payload_add_record(&p_, ZEB_DTYPE_STORED, nullptr, -1, &report);
        if (status != ZEB_OK) {
            zeb_payload_free(&p_);  // no destructor runs for a constructor that throws
            fail(status, 0, {}, step::storing);
        }
    }
    ~payload() { zeb_payload_free(&p_); }
    payload(const payload &) = delete;
    payload &operator=(const payload &) = delete;

    const zeb_payload &get() const noexcept { return p_; }

private:
    zeb_payload p_{};
};

// The flags of zeb_open_ex for `options`.
inline int32_t open_flags(const read_options &options) { return options.verify ? 0 : ZEB_OPEN_NO_VERIFY; }

}  // namespace detail

// The headers of a file; the data are not read (with verification, the
// checksum of the first header block is checked).
inline header read_header(const std::filesystem::path &path, const read_options &options = {})
{
    zeb_info info;
    auto record = std::make_unique<zeb_record_info>();
    zeb_report report{};
    int32_t err = 0;
    const int32_t status = zeb_open_ex(detail::c_name(path).c_str(), detail::open_flags(options), nullptr, &info,
                                       record.get(), &report, &err);
    if (status != ZEB_OK)
        detail::fail(status, err, path, detail::step::reading);
    return detail::to_header(info, *record);
}

// A whole file (or the rows the options ask for), read exactly (or an exception).
inline array read(const std::filesystem::path &path, const read_options &options = {})
{
    zeb_info info;
    auto record = std::make_unique<zeb_record_info>();
    zeb_report report{};
    zeb_reader *reader = nullptr;
    int32_t err = 0;
    const int32_t status = zeb_open_ex(detail::c_name(path).c_str(), detail::open_flags(options), &reader, &info,
                                       record.get(), &report, &err);
    if (status != ZEB_OK)
        detail::fail(status, err, path, detail::step::reading);
    return detail::read_opened(reader, info, *record, path, options);
}

// A whole F0 file image in memory (header and data), read exactly (or the
// rows the options ask for).
inline array decode(std::span<const std::byte> image, const read_options &options = {})
{
    zeb_info info;
    auto record = std::make_unique<zeb_record_info>();
    zeb_report report{};
    zeb_reader *reader = nullptr;
    const int32_t status =
        zeb_open_memory_ex(reinterpret_cast<const uint8_t *>(image.data()), static_cast<int64_t>(image.size()),
                           detail::open_flags(options), &reader, &info, record.get(), &report);
    if (status != ZEB_OK)
        detail::fail(status, 0, {}, detail::step::reading);
    return detail::read_opened(reader, info, *record, {}, options);
}

// Writes values (C order, native byte order) of the given shape (slowest
// dimension first) as an F0 file.  The file is replaced atomically: the bytes
// go to a temporary file in the same directory, are flushed to disk and
// renamed over `path`, so that a failure leaves an existing file untouched.
template <element T>
void write(const std::filesystem::path &path, std::span<const T> values, std::span<const std::size_t> shape,
           const write_options &options = {})
{
    const std::string name = detail::c_name(path);
    detail::payload p(values, shape, options);
    zeb_report report{};
    int32_t err = 0;
    const int32_t status = zeb_write_payload(name.c_str(), &p.get(), ZEB_WRITE_ATOMIC, &report, &err);
    if (status != ZEB_OK)
        detail::fail(status, err, path, detail::step::storing);
}

// The whole F0 file image of values, as write would store it.
template <element T>
std::vector<std::byte> encode(std::span<const T> values, std::span<const std::size_t> shape,
                              const write_options &options = {})
{
    detail::payload p(values, shape, options);
    const zeb_payload &pl = p.get();
    const auto record = static_cast<std::size_t>(pl.record_size);
    std::vector<std::byte> image(F0_HEADER_SIZE + record + static_cast<std::size_t>(pl.size));
    std::memcpy(image.data(), &pl.header, F0_HEADER_SIZE);
    if (record > 0)
        std::memcpy(image.data() + F0_HEADER_SIZE, pl.record, record);
    if (pl.size > 0)
        std::memcpy(image.data() + F0_HEADER_SIZE + record, pl.data, static_cast<std::size_t>(pl.size));
    return image;
}

}  // namespace zeb

#endif
