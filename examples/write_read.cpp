// Writes a 480 x 640 int16 frame as an F0 file, reads it back and prints its
// header.  Build: see CMakeLists.txt here, or
//     g++ -std=c++20 write_read.cpp $(pkg-config --cflags --libs zeb)
#include <zeb.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <vector>

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "frame.f0";
    try {
        const std::array<std::size_t, 2> shape{480, 640};  // rows, columns: slowest first
        std::vector<std::int16_t> frame(shape[0] * shape[1]);
        for (std::size_t y = 0; y < shape[0]; ++y)
            for (std::size_t x = 0; x < shape[1]; ++x)
                frame[y * shape[1] + x] = static_cast<std::int16_t>(1000 + (x * y) % 97);

        zeb::write<std::int16_t>(path, frame, shape, {.text = "example frame"});

        const zeb::array a = zeb::read(path);
        const zeb::header &h = a.header;
        std::printf("%s: %zu x %zu, dtype code %d, %s", path, h.shape[0], h.shape[1], static_cast<int>(h.dtype),
                    h.compressed ? "crunch stream" : "raw");
        if (h.compressed)
            std::printf(" (slice %d)", h.slice);
        std::printf(", %zu data bytes at offset %zu, %s, text \"%s\"\n", h.data_size, h.data_offset,
                    h.checksum ? "checksums verified" : "no checksums", h.text.c_str());

        const auto values = a.values<std::int16_t>();
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
