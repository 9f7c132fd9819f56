// zeb.hpp - F0 files from C++20: a header-only interface over the C library
// (zebrw.h), with value types, RAII and exceptions.
//
//     std::vector<std::uint16_t> frame(480 * 640);
//     const std::array<std::size_t, 2> shape{480, 640};       // slowest first
//     zeb::write<std::uint16_t>("frame.f0", frame, shape,
//                               {.text = "dark 12", .metadata = R"({"EXPTIME": 30.0})"});
//     zeb::array a = zeb::read("frame.f0");
//     std::span<const std::uint16_t> v = a.values<std::uint16_t>();
//     std::string json = a.header.metadata;                    // {"EXPTIME": 30.0}
//
// Shapes are given slowest dimension first, as NumPy gives them (the file
// stores its dimensions fastest first; the reversal happens here), and values
// are in native byte order and C order.
//
// Arrays are of the dtypes pyzeb reads and writes: the six F0 types and
// unsigned integers and bool, which the file stores as the signed type of the
// same width (bool as int8 0/1) with their true dtype in pyzeb's header
// record, beside the metadata (the text of a JSON object).  A file written
// here reads back through pyzeb.read with the same dtype, values, header text
// and metadata, and the other way round.
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
//    2^31 - 1 bytes, a header text above 255 bytes or holding a zero byte,
//    metadata that are not the text of a JSON object or do not fit in the
//    header, an unsigned or bool array or metadata without the checksum
//    record, a slice out of range, a values<T>() of the wrong type);
//  - std::bad_alloc: memory ran out.
// Oddities a file can still be read through exactly (a stream that claims
// more blocks than the array holds, a checksum record of a newer version
// whose unknown parts go unchecked) are not reported.
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
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "zebrw.h"

namespace zeb {

// The element types: the F0 type codes 0 to 5, then the true dtypes that
// pyzeb's header record names (each stored as the signed type of the same
// width, bits unchanged; bool as int8 holding 0 or 1).
enum class dtype { int8, int16, int32, float32, float64, int64, uint8, uint16, uint32, uint64, bool_ };

// Bytes per element.
constexpr std::size_t element_size(dtype t) noexcept
{
    constexpr std::size_t sizes[] = {1, 2, 4, 4, 8, 8, 1, 2, 4, 8, 1};
    return sizes[static_cast<int>(t)];
}

// The F0 type that stores t in a file (t itself for the six F0 types).
constexpr dtype stored_dtype(dtype t) noexcept
{
    constexpr dtype stored[] = {dtype::int8,  dtype::int16, dtype::int32, dtype::float32,
                                dtype::float64, dtype::int64, dtype::int8,  dtype::int16,
                                dtype::int32, dtype::int64, dtype::int8};
    return stored[static_cast<int>(t)];
}

// NumPy's name of t ("uint16", "bool", ...).
constexpr std::string_view dtype_name(dtype t) noexcept
{
    constexpr std::string_view names[] = {"int8",  "int16",  "int32",  "float32", "float64", "int64",
                                          "uint8", "uint16", "uint32", "uint64",  "bool"};
    return names[static_cast<int>(t)];
}

// The element types an array can hold, and the dtype of each.  std::vector<bool>
// packs its bits and is no span of bool: hold bool values in std::array<bool, N>,
// std::unique_ptr<bool[]> or a std::vector<std::uint8_t>'s storage as bool.
template <class T>
concept element = std::same_as<T, std::int8_t> || std::same_as<T, std::int16_t> ||
                  std::same_as<T, std::int32_t> || std::same_as<T, std::int64_t> ||
                  std::same_as<T, std::uint8_t> || std::same_as<T, std::uint16_t> ||
                  std::same_as<T, std::uint32_t> || std::same_as<T, std::uint64_t> ||
                  std::same_as<T, bool> || std::same_as<T, float> || std::same_as<T, double>;

static_assert(sizeof(bool) == 1, "zeb.hpp: bool arrays are stored one byte per element");

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
    else if constexpr (std::same_as<T, std::uint8_t>)
        return dtype::uint8;
    else if constexpr (std::same_as<T, std::uint16_t>)
        return dtype::uint16;
    else if constexpr (std::same_as<T, std::uint32_t>)
        return dtype::uint32;
    else if constexpr (std::same_as<T, std::uint64_t>)
        return dtype::uint64;
    else if constexpr (std::same_as<T, bool>)
        return dtype::bool_;
    else if constexpr (std::same_as<T, float>)
        return dtype::float32;
    else
        return dtype::float64;
}

// What a file's headers say.
struct header {
    std::vector<std::size_t> shape{};    // slowest dimension first (NumPy order)
    zeb::dtype dtype = zeb::dtype::int8; // the array's dtype: the true one the record names, else the F0 type
    std::string text{};                // the header text, up to its first zero byte
    bool compressed = false;           // the data are one crunch stream (plain or run-length)
    int slice = -1;                    // the stream's slice, plain or run-length alike; -1 when raw
    bool big_endian = false;           // raw data stored big-endian (streams are always little-endian)
    std::size_t data_offset = 0;       // bytes from the start of the file to the data
    std::size_t data_size = 0;         // bytes of data in the file (the whole stream when compressed)
    bool checksum = false;             // the file carries CRC-32C checksums (see read_options)
    zeb::dtype stored_dtype = zeb::dtype::int8;  // the F0 type as stored (what readers that do not
                                                 // know pyzeb's record see): int16 for uint16, ...
    std::string metadata{};            // the record's metadata: the text of a JSON object as stored,
                                       // UTF-8; empty when the file has none
    bool data_changed = false;         // the data were changed in place after their checksum was
                                       // taken: reads check the header only (pyzeb.add_checksum renews it)
};

// A whole array: its header and its values.
struct array {
    zeb::header header{};
    std::vector<std::byte> bytes{};    // native byte order, C order

    // The values as T, which must be the array's dtype or the F0 type that
    // stores it (std::int16_t for a uint16 array: the bits as stored, as
    // readers that do not know the record see them); otherwise
    // std::invalid_argument (a T that is no element type does not compile).
    template <class T>
    std::span<const T> values() const
    {
        static_assert(element<T>, "zeb::array::values: T must be one of the element types of zeb::dtype");
        if (dtype_of<T>() != header.dtype && dtype_of<T>() != header.stored_dtype)
            throw std::invalid_argument("zeb::array::values: the array's dtype is " +
                                        std::string(dtype_name(header.dtype)) + ", not " +
                                        std::string(dtype_name(dtype_of<T>())));
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
        : format_error(path, status, zeb_status_text(status))
    {
    }
    // With a cause of its own, more exact than the status's text.
    format_error(const std::filesystem::path &path, int status, const std::string &cause)
        : std::runtime_error(describe(path, cause)), path_(std::make_shared<const std::filesystem::path>(path)),
          status_(status)
    {
    }

    const std::filesystem::path &path() const noexcept { return *path_; }
    int status() const noexcept { return status_; }

private:
    static std::string describe(const std::filesystem::path &path, const std::string &cause)
    {
        return (path.empty() ? std::string("<buffer>") : detail::display_name(path)) + ": " + cause;
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
    bool checksum = true;   // pyzeb's header record in the spare header blocks: CRC-32C checksums
                            // of the header and data, the true dtype of unsigned and bool arrays
                            // and the metadata (false: a classic file of one header block, which
                            // refuses those arrays and metadata)
    std::string metadata{}; // the text of a JSON object in UTF-8, stored as given (empty, or an
                            // object without members: none); at most about 7.5 kB
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
    case ZEB_E_METADATA_TOO_LARGE:
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

// The dtype a record's true dtype code names, or `stored` for none or a
// code this library does not know (the data are then read as stored).
inline zeb::dtype true_dtype(int32_t code, zeb::dtype stored)
{
    if (code < ZEB_DTYPE_UINT8 || code > ZEB_DTYPE_BOOL || zeb_dtype_stored_type(code) != static_cast<int32_t>(stored))
        return stored;
    return static_cast<zeb::dtype>(static_cast<int32_t>(zeb::dtype::uint8) + code - ZEB_DTYPE_UINT8);
}

// The record's code of a true dtype (ZEB_DTYPE_STORED for the six F0 types).
constexpr int32_t true_dtype_code(zeb::dtype t) noexcept
{
    return t < zeb::dtype::uint8 ? ZEB_DTYPE_STORED
                                 : ZEB_DTYPE_UINT8 + static_cast<int32_t>(t) - static_cast<int32_t>(zeb::dtype::uint8);
}

inline header to_header(const zeb_info &info, const zeb_record_info &record)
{
    header h;
    h.shape.assign(std::make_reverse_iterator(info.dims + info.dim_count), std::make_reverse_iterator(info.dims));
    h.stored_dtype = static_cast<zeb::dtype>(info.type);
    h.text = info.header_text;
    h.compressed = info.compressed != 0;
    h.slice = info.compressed ? info.stream.slice : -1;
    h.big_endian = info.big_endian != 0;
    h.data_offset = static_cast<std::size_t>(info.data_offset);
    h.data_size = static_cast<std::size_t>(info.data_size);
    // A damaged record (read without verification) says nothing: the array
    // is then its F0 type, without metadata.
    const bool sound = record.state == ZEB_RECORD_OK;
    h.dtype = sound ? true_dtype(record.dtype, h.stored_dtype) : h.stored_dtype;
    h.checksum = sound && record.checksum != 0;
    h.data_changed = sound && record.checksum != 0 && record.data_unchecked != 0;
    if (sound && record.has_metadata && record.metadata_size > 0) {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(record.metadata_size), sizeof record.metadata);
        h.metadata.assign(reinterpret_cast<const char *>(record.metadata), n);
    }
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
    // A bool is 0 or 1 and nothing else: other bytes would be no bool values.
    if (a.header.dtype == zeb::dtype::bool_ &&
        std::ranges::any_of(a.bytes, [](std::byte b) { return std::to_integer<unsigned>(b) > 1; }))
        throw format_error(path, ZEB_E_RECORD, "bool data hold bytes other than 0 and 1");
    return a;
}

// Checks that metadata are what pyzeb reads back as a dict: the text of one
// JSON object in UTF-8, with strings of Unicode text (no lone surrogate
// escapes), no NaN or infinities (they are not JSON), no key twice in one
// object (reading would keep one of the values), integers of at most 4,300
// digits and at most 256 levels of nesting (Python's own limits).  Throws
// std::invalid_argument naming the fault and its byte.
class json_check {
public:
    explicit json_check(std::string_view text) : t_(text) {}

    // Whether the object has no members.
    bool object()
    {
        space();
        if (peek() != '{')
            fault("it does not begin with '{'");
        const bool empty = value(0);
        space();
        if (i_ != t_.size())
            fault("text after the object");
        return empty;
    }

private:
    static constexpr int max_depth = 256;
    static constexpr std::size_t max_int_digits = 4300;
    std::string_view t_;
    std::size_t i_ = 0;

    [[noreturn]] void fault(const char *what) const
    {
        throw std::invalid_argument("zeb: metadata must be the text of a JSON object: " + std::string(what) +
                                    " at byte " + std::to_string(i_));
    }
    int peek(std::size_t ahead = 0) const
    {
        return i_ + ahead < t_.size() ? static_cast<unsigned char>(t_[i_ + ahead]) : -1;
    }
    bool digit() const { return peek() >= '0' && peek() <= '9'; }
    void space()
    {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
            ++i_;
    }
    void word(std::string_view w)
    {
        if (t_.substr(i_, w.size()) != w)
            fault("no JSON value");
        i_ += w.size();
    }

    // One value; for an object or array, whether it is empty.
    bool value(int depth)
    {
        switch (peek()) {
        case '{':
        case '[':
            return container(depth + 1);
        case '"': {
            std::string ignored;
            string_value(ignored);
            return false;
        }
        case 't':
            word("true");
            return false;
        case 'f':
            word("false");
            return false;
        case 'n':
            word("null");
            return false;
        default:
            number();
            return false;
        }
    }

    bool container(int depth)
    {
        if (depth > max_depth)
            fault("nesting deeper than 256 levels");
        const bool is_object = peek() == '{';
        const char close = is_object ? '}' : ']';
        ++i_;
        space();
        if (peek() == close) {
            ++i_;
            return true;
        }
        std::set<std::string> keys;
        for (;;) {
            if (is_object) {
                if (peek() != '"')
                    fault("a key that is not a string");
                const std::size_t at = i_;
                std::string key;
                string_value(key);
                if (!keys.insert(std::move(key)).second) {
                    i_ = at;
                    fault("a key that appears twice in one object");
                }
                space();
                if (peek() != ':')
                    fault("no ':' after a key");
                ++i_;
                space();
            }
            value(depth);
            space();
            if (peek() == ',') {
                ++i_;
                space();
                continue;
            }
            if (peek() != close)
                fault(is_object ? "no ',' or '}' after a member" : "no ',' or ']' after an element");
            ++i_;
            return false;
        }
    }

    void number()
    {
        if (peek() == '-')
            ++i_;
        const std::size_t digits_at = i_;
        if (peek() == '0')
            ++i_;
        else if (digit())
            while (digit())
                ++i_;
        else
            fault("no JSON value (NaN and infinities are not JSON)");
        const std::size_t int_digits = i_ - digits_at;
        bool fraction = false;
        if (peek() == '.') {
            ++i_;
            if (!digit())
                fault("no digit after a decimal point");
            while (digit())
                ++i_;
            fraction = true;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-')
                ++i_;
            if (!digit())
                fault("no digit in an exponent");
            while (digit())
                ++i_;
            fraction = true;
        }
        if (!fraction && int_digits > max_int_digits)
            fault("an integer of more than 4300 digits");
    }

    // Four hex digits after the 'u' at i_; i_ moves past them.
    unsigned hex4()
    {
        unsigned u = 0;
        for (int k = 1; k <= 4; ++k) {
            const int c = peek(static_cast<std::size_t>(k));
            const int d = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0)
                fault("a \\u escape without four hex digits");
            u = u * 16 + static_cast<unsigned>(d);
        }
        i_ += 5;
        return u;
    }

    static void put_utf8(std::string &out, unsigned u)
    {
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (u >> 18));
            out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }

    // The string at i_ (its opening quote), decoded into out; i_ moves past it.
    void string_value(std::string &out)
    {
        ++i_;
        for (;;) {
            const int c = peek();
            if (c < 0)
                fault("a string without its closing quote");
            if (c == '"') {
                ++i_;
                return;
            }
            if (c < 0x20)
                fault("a control character in a string (write it as an escape)");
            if (c == '\\')
                escape(out);
            else if (c < 0x80)
                out += static_cast<char>(t_[i_++]);
            else
                utf8(out);
        }
    }

    void escape(std::string &out)
    {
        ++i_;
        const int c = peek();
        constexpr std::string_view plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
        if (c >= 0 && plain.find(static_cast<char>(c)) != std::string_view::npos) {
            out += meant[plain.find(static_cast<char>(c))];
            ++i_;
            return;
        }
        if (c != 'u')
            fault("an unknown escape in a string");
        unsigned u = hex4();
        if (u >= 0xDC00 && u <= 0xDFFF)
            fault("a lone surrogate escape in a string (no Unicode text)");
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (peek() != '\\' || peek(1) != 'u')
                fault("a lone surrogate escape in a string (no Unicode text)");
            ++i_;
            const unsigned low = hex4();
            if (low < 0xDC00 || low > 0xDFFF)
                fault("a lone surrogate escape in a string (no Unicode text)");
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(out, u);
    }

    // One UTF-8 sequence of two to four bytes: no overlong forms, no
    // surrogates, nothing above U+10FFFF.
    void utf8(std::string &out)
    {
        const int c = peek();
        int more, lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF)
            more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else
            fault("bytes that are not UTF-8");
        for (int k = 1; k <= more; ++k) {
            const int b = peek(static_cast<std::size_t>(k));
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF))
                fault("bytes that are not UTF-8");
        }
        out.append(t_.substr(i_, static_cast<std::size_t>(more) + 1));
        i_ += static_cast<std::size_t>(more) + 1;
    }
};

// An array checked for storing, as the C library's zeb_write_request (which
// points into the values, the options and this object).
class request {
public:
    template <element T>
    request(std::span<const T> values, std::span<const std::size_t> shape, const write_options &options)
    {
        if (shape.size() > F0_MAX_DIMS)
            throw std::invalid_argument("zeb: an F0 file holds at most 16 dimensions");
        // The file's dimensions (fastest first) and their product, bounded by
        // what a file can hold.
        const std::uint64_t max_count = static_cast<std::uint64_t>(F0_MAX_DATA_SIZE) / sizeof(T);
        std::uint64_t count = 1;
        bool empty = false, too_large = false;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            const std::size_t d = shape[shape.size() - 1 - i];
            if (d > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
                throw std::invalid_argument("zeb: a dimension above 2^31 - 1 cannot be stored");
            dims_[i] = static_cast<int32_t>(d);
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
        constexpr zeb::dtype t = dtype_of<T>();
        constexpr int32_t true_code = true_dtype_code(t);
        const bool has_metadata = !options.metadata.empty() && !metadata_empty(options.metadata, true_code);
        if (!options.checksum && true_code != ZEB_DTYPE_STORED)
            throw std::invalid_argument("zeb: an array of dtype " + std::string(dtype_name(t)) + " is stored as " +
                                        std::string(dtype_name(stored_dtype(t))) +
                                        " with its true dtype in pyzeb's header record, which checksum = false "
                                        "leaves out");
        if (!options.checksum && has_metadata)
            throw std::invalid_argument("zeb: metadata are stored in pyzeb's header record, which checksum = false "
                                        "leaves out");
        const int32_t mode = !options.compress ? ZEB_COMPRESS_RAW
                             : options.slice < 0 ? ZEB_COMPRESS_AUTO
                                                 : options.slice;
        w_ = zeb_write_request{values.data(),
                               static_cast<int32_t>(stored_dtype(t)),
                               dims_,
                               static_cast<int32_t>(shape.size()),
                               options.text.data(),
                               static_cast<int32_t>(options.text.size()),
                               mode,
                               options.threads,
                               options.checksum ? 1 : 0,
                               true_code,
                               has_metadata ? reinterpret_cast<const uint8_t *>(options.metadata.data()) : nullptr,
                               has_metadata ? static_cast<int64_t>(options.metadata.size()) : -1,
                               zeb_file_id{},
                               nullptr,
                               0};
    }
    request(const request &) = delete;
    request &operator=(const request &) = delete;

    const zeb_write_request &get() const noexcept { return w_; }

private:
    // Whether metadata (not empty) are an object without members, which is
    // stored as no metadata at all; refuses what does not fit or is no JSON object.
    static bool metadata_empty(const std::string &metadata, int32_t true_code)
    {
        const int64_t most = zeb_record_metadata_max(true_code);
        if (static_cast<std::uint64_t>(metadata.size()) > static_cast<std::uint64_t>(most))
            throw std::invalid_argument("zeb: metadata too large: " + std::to_string(metadata.size()) +
                                        " bytes, at most " + std::to_string(most) + " fit in the header");
        return json_check(metadata).object();
    }

    int32_t dims_[F0_MAX_DIMS] = {};
    zeb_write_request w_{};
};

// The file image of a request: the C library's payload, freed on exit.
class payload {
public:
    explicit payload(const zeb_write_request &w)
    {
        zeb_report report{};
        int32_t status =
            zeb_prepare(w.data, w.type, w.dims, w.dim_count, w.header_text, w.text_len, w.mode, w.threads, &p_, &report);
        if (status == ZEB_OK && w.record)
            status = zeb_payload_add_record(&p_, w.dtype, w.metadata, w.metadata_len, &report);
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
// A stream is written to the temporary file piece by piece as it is coded.
template <element T>
void write(const std::filesystem::path &path, std::span<const T> values, std::span<const std::size_t> shape,
           const write_options &options = {})
{
    const std::string name = detail::c_name(path);
    const detail::request r(values, shape, options);
    zeb_report report{};
    int32_t err = 0;
    const int32_t status = zeb_write_array(name.c_str(), &r.get(), ZEB_WRITE_ATOMIC, &report, &err);
    if (status != ZEB_OK)
        detail::fail(status, err, path, detail::step::storing);
}

// The whole F0 file image of values, as write would store it.
template <element T>
std::vector<std::byte> encode(std::span<const T> values, std::span<const std::size_t> shape,
                              const write_options &options = {})
{
    const detail::request r(values, shape, options);
    const detail::payload p(r.get());
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
