// zeb.hpp on hostile input.  The first byte chooses what the rest is:
//  - even: metadata for write_options::metadata.  The check either refuses
//    them (std::invalid_argument) or the image written reads back with the
//    same metadata, unless they are an object without members (none).
//  - odd: a file image for decode (with or without verification), which
//    either throws a zeb::format_error or gives the array's full size; a
//    bool array holds only 0 and 1.
#include <zeb.hpp>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0) {
        const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
        const std::array<std::uint16_t, 3> v{1, 2, 65535};
        const std::array<std::size_t, 1> shape{3};
        std::vector<std::byte> image;
        try {
            image = zeb::encode<std::uint16_t>(v, shape, {.compress = false, .metadata = text});
        } catch (const std::invalid_argument &) {
            return 0;
        }
        const zeb::array a = zeb::decode(image);
        if (a.header.dtype != zeb::dtype::uint16 || a.values<std::uint16_t>()[2] != 65535)
            std::abort();
        std::string bare = text;  // an object without members is "{}" but for spacing
        std::erase_if(bare, [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
        if (a.header.metadata != text && !(a.header.metadata.empty() && (text.empty() || bare == "{}")))
            std::abort();
        return 0;
    }
    const std::span<const std::byte> image(reinterpret_cast<const std::byte *>(data + 1), size - 1);
    for (bool verify : {true, false}) {
        try {
            const zeb::array a = zeb::decode(image, {.verify = verify, .threads = 1});
            std::size_t n = zeb::element_size(a.header.dtype);
            for (std::size_t d : a.header.shape)
                n *= d;
            if (a.bytes.size() != n || zeb::stored_dtype(a.header.dtype) != a.header.stored_dtype)
                std::abort();
            if (a.header.dtype == zeb::dtype::bool_)
                for (bool b : a.values<bool>())
                    if (static_cast<unsigned char>(b) > 1)
                        std::abort();
        } catch (const zeb::format_error &) {
        } catch (const std::bad_alloc &) {
        }
    }
    return 0;
}
