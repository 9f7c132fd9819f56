// Writes a 480 x 640 uint16 frame with metadata as an F0 file, reads it back
// and prints its header.  Build: see CMakeLists.txt here, or
//     g++ -std=c++20 write_read.cpp $(pkg-config --cflags --libs zeb)
#include <zeb.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "frame.f0";
    try {
        const std::array<std::size_t, 2> shape{480, 640};  // rows, columns: slowest first
        std::vector<std::uint16_t> frame(shape[0] * shape[1]);
        for (std::size_t y = 0; y < shape[0]; ++y)
            for (std::size_t x = 0; x < shape[1]; ++x)
                frame[y * shape[1] + x] = static_cast<std::uint16_t>(40000 + (x * y) % 97);

        // The metadata are the text of a JSON object, as pyzeb.write stores a dict.
        zeb::write<std::uint16_t>(path, frame, shape,
                                  {.text = "example frame", .metadata = R"({"EXPTIME": 30.0, "FILTER": "R"})"});

        const zeb::array a = zeb::read(path);
        const zeb::header &h = a.header;
        std::printf("%s: %zu x %zu, %s (stored as %s), %s", path, h.shape[0], h.shape[1],
                    std::string(zeb::dtype_name(h.dtype)).c_str(), std::string(zeb::dtype_name(h.stored_dtype)).c_str(),
                    h.compressed ? "crunch stream" : "raw");
        if (h.compressed)
            std::printf(" (slice %d)", h.slice);
        std::printf(", %zu data bytes at offset %zu, %s, text \"%s\", metadata %s\n", h.data_size, h.data_offset,
                    h.checksum ? "checksums verified" : "no checksums", h.text.c_str(), h.metadata.c_str());

        const auto values = a.values<std::uint16_t>();
        if (!std::equal(values.begin(), values.end(), frame.begin(), frame.end())) {
            std::fprintf(stderr, "%s: the values read back differ\n", path);
            return 1;
        }
        std::printf("read back: %zu values, all equal\n", values.size());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
