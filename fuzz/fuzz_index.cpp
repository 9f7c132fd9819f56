// Files whose seek index lies.  The input picks an array (type, rows, row
// length, contents, how it is coded) and the spacing of its index, then
// edits to the index entries; the library builds the file, record sealed over
// the edited index.  Then:
//  - a whole read (on one thread and on three) fails or gives the true
//    array, and where it succeeds every entry is the true start of its block;
//  - a part read fails or gives the true rows, except where an entry it
//    starts from is not its block's start, and then the whole read refuses
//    the file as one whose index does not match.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../src/rw/record.h"
#include "zebcodec.h"
#include "zebrw.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ZEB_PARALLEL_MIN_BYTES", "0", 1);  // small arrays take the threaded paths too
    stderr = fopen("/dev/null", "w");
    return 0;
}

namespace {

using Input = FuzzInput;

// The elements of a file read whole (threads), or its status.
int32_t read_whole(const std::vector<uint8_t> &file, int32_t threads, std::vector<uint8_t> &out)
{
    zeb_reader *reader = nullptr;
    zeb_info info;
    int32_t st = zeb_open_memory_ex(file.data(), int64_t(file.size()), 0, &reader, &info, nullptr, nullptr);
    if (st != ZEB_OK)
        return st;
    out.assign(size_t(info.nbytes) + 1, 0);
    st = zeb_read_data_threads(reader, out.data(), info.nbytes, threads, nullptr);
    zeb_close(reader);
    out.resize(size_t(info.nbytes));
    return st;
}

int32_t read_part(const std::vector<uint8_t> &file, int64_t first, int64_t count, int64_t size, int32_t threads,
                  std::vector<uint8_t> &out)
{
    zeb_reader *reader = nullptr;
    int32_t st = zeb_open_memory_ex(file.data(), int64_t(file.size()), 0, &reader, nullptr, nullptr, nullptr);
    if (st != ZEB_OK)
        return st;
    out.assign(size_t(count * size) + 1, 0);
    st = zeb_read_range(reader, first, count, out.data(), count * size, threads, nullptr);
    zeb_close(reader);
    out.resize(size_t(count * size));
    return st;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size};
    const uint8_t kind = in.byte();
    const int32_t type = kind % 3;                    // int8, int16, int32
    const int32_t esize = type == 0 ? 1 : type == 1 ? 2 : 4;
    const int32_t mode = (kind >> 2) % 4 == 0 ? ZEB_COMPRESS_AUTO : (kind >> 4) % 9;  // chosen stream or a slice
    const int32_t rows = 2 + in.byte() % 199;         // blocks: up to 200, so whole reads cut pieces of several
    const int32_t cols = 1 + in.byte() % 24;          // elements a block
    const int32_t every = 1 + in.byte() % 5;
    const uint8_t noise = in.byte(), seed = in.byte();

    // A random walk with noise of the size asked for, and now and then a jump.
    std::vector<uint8_t> array(size_t(rows) * cols * esize);
    uint32_t r = 2463534242u ^ seed;
    int64_t v = 0;
    for (int64_t i = 0; i < int64_t(rows) * cols; ++i) {
        r ^= r << 13, r ^= r >> 17, r ^= r << 5;
        v += int64_t(r % (2u * noise + 1)) - noise;
        if ((r >> 24) == 0)
            v += int64_t(r >> 8);
        const int32_t e = int32_t(v);
        std::memcpy(&array[size_t(i) * esize], &e, size_t(esize));  // little-endian host
    }

    const int32_t dims[2] = {cols, rows};
    zeb_payload pl{};
    if (zeb_prepare(array.data(), type, dims, 2, "idx", 3, mode, 1, &pl, nullptr) != ZEB_OK)
        return 0;
    if (!(pl.header.file_flags & F0_FLAG_COMPRESSED)) {
        zeb_payload_free(&pl);
        return 0;
    }
    // The true block starts, from coding the same stream again.
    const uint8_t *stream = static_cast<const uint8_t *>(pl.data);
    int32_t nb, bs;
    std::memcpy(&nb, stream + 4, 4);
    std::memcpy(&bs, stream + 8, 4);
    const int32_t slice = stream[12], ct = stream[13];
    CHECK(nb > 0 && bs > 0 && int64_t(nb) * bs <= int64_t(rows) * cols);
    std::vector<uint8_t> again(size_t(pl.size) + 64);
    std::vector<int64_t> truth(static_cast<size_t>(nb));
    CHECK(zeb_encode_indexed(ct, again.data(), array.data(), slice, bs, nb, int32_t(again.size()), 1, 1,
                             truth.data()) == pl.size);
    CHECK(std::memcmp(again.data(), stream, size_t(pl.size)) == 0);
    auto true_start = [&](int64_t block) { return block <= 0 ? 0 : block >= nb ? pl.size - 14 : truth[block - 1]; };

    auto *ix = new zeb::SeekIndex;
    ix->every = every;
    ix->count = (nb - 1) / every;
    for (int64_t i = 0; i < ix->count; ++i)
        ix->offsets[i] = true_start((i + 1) * every);
    // Edits: (entry, what, amount).
    while (in.n >= 3 && ix->count > 0) {
        const int64_t i = in.byte() % ix->count;
        const uint8_t what = in.byte();
        const int8_t amount = int8_t(in.byte());
        switch (what % 4) {
        case 0: ix->offsets[i] += amount; break;                                     // a few bytes off
        case 1: ix->offsets[i] = true_start((i + 1) * every + amount % 4); break;    // another block's start
        case 2:                                                                      // a run, blocks away
            for (int64_t j = i; j < ix->count && j < i + (amount & 127); ++j)
                ix->offsets[j] = true_start((j + 1) * every + (what >> 2) % 3 - 1);
            break;
        default: ix->offsets[i] = (uint8_t(amount) << 8 | what) % (pl.size + 8); break;  // anywhere
        }
    }
    bool sound = true;
    for (int64_t i = 0; i < ix->count; ++i)
        sound = sound && ix->offsets[i] == true_start((i + 1) * every);
    delete static_cast<zeb::SeekIndex *>(pl.seek_index);
    pl.seek_index = ix;
    if (zeb_payload_add_record(&pl, ZEB_DTYPE_STORED, nullptr, -1, nullptr) != ZEB_OK) {
        zeb_payload_free(&pl);
        return 0;
    }
    std::vector<uint8_t> file(reinterpret_cast<const uint8_t *>(&pl.header),
                              reinterpret_cast<const uint8_t *>(&pl.header) + F0_HEADER_SIZE);
    file.insert(file.end(), pl.record, pl.record + pl.record_size);
    file.insert(file.end(), stream, stream + pl.size);
    zeb_payload_free(&pl);

    std::vector<uint8_t> got;
    int32_t whole = ZEB_OK;
    for (int32_t threads : {1, 3}) {
        const int32_t st = read_whole(file, threads, got);
        CHECK(threads == 1 || st == whole);
        whole = st;
        if (st == ZEB_OK)
            CHECK(got == array);
    }
    CHECK(whole == ZEB_OK || whole == ZEB_E_BAD_INDEX);
    CHECK((whole == ZEB_OK) == sound);  // the whole read vouches for every entry

    const int64_t row = int64_t(cols) * esize;
    auto check_part = [&](int64_t first, int64_t count) {
        const int32_t st = read_part(file, first * cols, count * cols, esize, 1 + int32_t(first % 3), got);
        if (st != ZEB_OK)
            return;
        if (std::memcmp(got.data(), array.data() + first * row, size_t(count * row)) != 0)
            CHECK(whole == ZEB_E_BAD_INDEX);  // a lie a part read cannot see; the whole read refuses it
        if (whole == ZEB_OK)
            CHECK(std::memcmp(got.data(), array.data() + first * row, size_t(count * row)) == 0);
    };
    for (int64_t k = 0; k < rows; k += 1 + rows / 40)
        check_part(k, 1);
    check_part(rows - 1, 1);
    check_part(0, rows);
    check_part(rows / 3, rows / 2);
    return 0;
}
