/* Writes a 480 x 640 int16 frame as an F0 file, reads it back and prints its
 * header, with the library's C calls.  Build: see CMakeLists.txt here, or
 *     gcc write_read.c $(pkg-config --cflags --libs zeb)
 */
#include <zebrw.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ROWS 480
#define COLUMNS 640

static int failed(const char *path, const char *what, int32_t status)
{
    fprintf(stderr, "%s: %s: %s\n", path, what, zeb_status_text(status));
    return 1;
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "frame.f0";
    static int16_t frame[ROWS * COLUMNS];
    for (int y = 0; y < ROWS; ++y)
        for (int x = 0; x < COLUMNS; ++x)
            frame[y * COLUMNS + x] = (int16_t)(1000 + (x * y) % 97);

    /* Dimensions fastest first: columns, then rows. */
    const int32_t dims[2] = {COLUMNS, ROWS};
    const char text[] = "example frame";
    zeb_payload payload;
    int32_t status = zeb_prepare(frame, F0_INT16, dims, 2, text, (int32_t)strlen(text), ZEB_COMPRESS_AUTO, 0,
                                 &payload, NULL);
    if (status != ZEB_OK)
        return failed(path, "encoding", status);
    /* CRC-32C checksums of the header and data, which readers verify. */
    status = zeb_payload_add_record(&payload, ZEB_DTYPE_STORED, NULL, -1, NULL);
    if (status != ZEB_OK) {
        zeb_payload_free(&payload);
        return failed(path, "adding checksums", status);
    }
    int32_t err = 0;
    status = zeb_write_payload(path, &payload, ZEB_WRITE_ATOMIC, NULL, &err);
    zeb_payload_free(&payload);
    if (status != ZEB_OK) {
        fprintf(stderr, "%s: %s: %s\n", path, zeb_status_text(status), strerror(err));
        return 1;
    }

    zeb_reader *reader = NULL;
    zeb_info info;
    status = zeb_open(path, &reader, &info, NULL, &err);
    if (status != ZEB_OK)
        return failed(path, "opening", status);
    int16_t *back = malloc((size_t)info.nbytes);
    status = back ? zeb_read_data(reader, back, info.nbytes, NULL) : ZEB_E_NO_MEMORY;
    zeb_close(reader);
    if (status != ZEB_OK) {
        free(back);
        return failed(path, "reading", status);
    }
    printf("%s: %d x %d, type code %d, %s", path, info.dims[1], info.dims[0], info.type,
           info.compressed ? "crunch stream" : "raw");
    if (info.compressed)
        printf(" (type %d, slice %d)", info.stream.compression_type, info.stream.slice);
    printf(", %lld data bytes at offset %lld, text \"%s\"\n", (long long)info.data_size, (long long)info.data_offset,
           info.header_text);
    int same = info.nbytes == (int64_t)sizeof frame && memcmp(back, frame, sizeof frame) == 0;
    free(back);
    if (!same) {
        fprintf(stderr, "%s: the values read back differ\n", path);
        return 1;
    }
    printf("read back: %d values, all equal\n", ROWS * COLUMNS);
    return 0;
}
