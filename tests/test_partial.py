"""Reading part of a file along its first axis (pyzeb.read(file, index),
decode(buffer, index)) against the same part of a whole read: raw, indexed
and unindexed compressed files, from paths, pipes and memory; damage and
lying indexes; read_dask and read_stack in chunks."""
import io
import os
import struct
import threading

import numpy as np
import pytest

import pyzeb
from platforms import posix_only
from test_encode import noisy_frame
from test_index import reseal, sections


def frame(dtype, shape):
    rows = int(np.prod(shape[:-1]))
    return noisy_frame(np.dtype(dtype).type, (rows, shape[-1])).reshape(shape)


# name: (array, write options); the int16 frames' streams span several 1 MiB
# windows, and the indexed ones have an index entry every ~60 rows
FILES = {
    "raw": (frame(np.int16, (300, 200)), dict(compress=False)),
    "raw cube": (frame(np.uint16, (12, 30, 40)), dict(compress=False)),
    "raw vector": (np.arange(-50, 50, dtype=np.float64), dict(compress=False)),
    "indexed": (frame(np.int16, (2000, 700)), {}),
    "indexed cube": (frame(np.int32, (40, 100, 64)), {}),
    "unindexed": (frame(np.int16, (2000, 700)), dict(checksum=False)),
    "unindexed int8 slice 3": ((np.arange(37 * 53) % 41 - 20).astype(np.int8).reshape(37, 53),
                               dict(compress=3, checksum=False)),
    "one block": (np.full((50, 40), 7, np.uint8), {}),  # one run-length block for the whole array
}


def parts(n):
    return [0, 1, -1, n // 2, n - 2, slice(None), slice(1, None), slice(n // 3, n // 3 + 1),
            slice(n // 5, n - n // 7), slice(-3, None), slice(None, None, 7), slice(None, None, -3),
            slice(n - 2, 2, -5), slice(5, 2), slice(n + 5, None)]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("parts")
    out = {}
    for name, (a, options) in FILES.items():
        path = d / (name.replace(" ", "_") + ".f0")
        pyzeb.write(path, a, **options)
        out[name] = (a, path)
    return out


@pytest.mark.parametrize("name", FILES)
def test_parts_equal_the_same_part_of_the_whole_array(files, name):
    a, path = files[name]
    image = path.read_bytes()
    assert (image[6] > 1 and 4 in sections(image)) == name.startswith("indexed")
    assert pyzeb.read_header(path).compressed == (FILES[name][1].get("compress") is not False)
    for index in parts(a.shape[0]):
        want = a[index]
        for threads in (1, 2):
            for got in (pyzeb.read(path, index, threads=threads), pyzeb.decode(image, index, threads=threads)):
                assert got.dtype == want.dtype and got.shape == want.shape and np.array_equal(got, want), index
                assert got.flags.c_contiguous and got.flags.owndata
    assert np.array_equal(pyzeb.read(io.BytesIO(image), slice(3, 9)), a[3:9])


@pytest.mark.parametrize("index, error", [(1.0, TypeError), (True, TypeError), ((0, 1), TypeError),
                                          ("0", TypeError), (12, IndexError), (-13, IndexError)])
def test_what_is_no_part_is_refused(files, index, error):
    with pytest.raises(error):
        pyzeb.read(files["raw cube"][1], index)


def test_a_zero_dimensional_array_has_no_parts():
    image = pyzeb.encode(np.array(3, np.int32))
    with pytest.raises(IndexError, match="0-dimensional"):
        pyzeb.decode(image, 0)


def damaged(image, at):
    b = bytearray(image)
    b[at:at + 64] = bytes(x ^ 0xA5 for x in b[at:at + 64])
    return bytes(b)


@pytest.mark.parametrize("name", ["indexed", "unindexed"])
def test_only_the_part_is_decoded(files, name):
    """Damage outside what the part's decoding takes leaves the part exact
    (damage inside it shows only to the whole data's checksum)."""
    a, path = files[name]
    image = path.read_bytes()
    h = pyzeb.read_header(path)
    late = damaged(image, h.data_offset + h.data_size - 2000)  # in the last rows
    assert np.array_equal(pyzeb.decode(late, slice(0, 100)), a[:100])
    if name == "indexed":
        with pytest.raises(pyzeb.FormatError, match="checksum mismatch"):
            pyzeb.decode(late)
        early = damaged(image, h.data_offset + 14 + 1000)  # in the first piece
        assert np.array_equal(pyzeb.decode(early, slice(1000, 1100)), a[1000:1100])


def test_a_lying_index_is_refused_where_a_part_meets_it(files):
    a, path = files["indexed"]
    image = path.read_bytes()
    at, body = sections(image)[4]
    every, count = struct.unpack_from("<4I", body)[1:3]
    entry = at + 16 + 4 * 3  # where block 4 * every starts
    off = struct.unpack_from("<I", image, entry)[0]
    for value in (off + 1, off - 1):
        bad = bytearray(image)
        struct.pack_into("<I", bad, entry, value)
        bad = reseal(bad)
        for threads in (1, 2):
            # a part that ends at that block's piece, or begins there
            for index in (slice(3 * every, 4 * every), slice(4 * every, 4 * every + 1), 4 * every + 3):
                with pytest.raises(pyzeb.FormatError, match="seek index"):
                    pyzeb.decode(bad, index, threads=threads)
            assert np.array_equal(pyzeb.decode(bad, slice(0, 2 * every)), a[:2 * every])
    bad = bytearray(image)
    struct.pack_into("<I", bad, entry, struct.unpack_from("<I", image, entry + 4)[0])  # out of order
    with pytest.raises(pyzeb.FormatError, match="seek index"):
        pyzeb.decode(reseal(bad), 0)


@posix_only
@pytest.mark.parametrize("name", ["raw", "indexed", "unindexed"])
def test_parts_through_a_pipe(files, tmp_path, name):
    """A pipe is read up to the part (passed over before it); one cut short
    gives the rows before the cut and refuses those after."""
    a, path = files[name]
    image = path.read_bytes()
    fifo = tmp_path / "pipe.f0"
    os.mkfifo(fifo)

    def through_pipe(data, index):
        def feed():
            with open(fifo, "wb") as f:
                try:
                    f.write(data)
                except BrokenPipeError:
                    pass
        t = threading.Thread(target=feed)
        t.start()
        try:
            return pyzeb.read(fifo, index)
        finally:
            t.join()

    assert np.array_equal(through_pipe(image, slice(600, 900)), a[600:900])
    cut = image[:len(image) // 2]
    assert np.array_equal(through_pipe(cut, slice(10, 20)), a[10:20])
    with pytest.raises(pyzeb.FormatError):
        through_pipe(cut, -1)


def test_read_dask_in_chunks(files, tmp_path):
    da = pytest.importorskip("dask.array")
    for name in ("raw cube", "indexed", "unindexed int8 slice 3"):
        a, path = files[name]
        for chunks in (None, 1, 7, a.shape[0], 10**6):
            d = pyzeb.read_dask(path, chunks=chunks)
            n = min(chunks or a.shape[0], a.shape[0])
            assert isinstance(d, da.Array) and d.dtype == a.dtype and d.chunks[0][0] == n
            assert np.array_equal(d.compute(scheduler="threads"), a)
    a, path = files["raw cube"]
    stack = pyzeb.read_stack([path, path], chunks=5)
    assert stack.chunks[:2] == ((1, 1), (5, 5, 2))
    assert np.array_equal(stack[:, 6:11].compute(), np.stack([a, a])[:, 6:11])
    # a file replaced by one of another shape fails when a chunk is computed
    moved = tmp_path / "moved.f0"
    pyzeb.write(moved, a)
    d = pyzeb.read_dask(moved, chunks=4)
    pyzeb.write(moved, a[:8])
    assert pyzeb.read_dask(moved, chunks=4).name != d.name
    with pytest.raises(pyzeb.FormatError, match="when the Dask array was made it had shape"):
        d.compute()
    for bad in (0, -1, 2.5, True):
        with pytest.raises(ValueError, match="chunks"):
            pyzeb.read_dask(path, chunks=bad)
    pyzeb.write(moved, np.zeros((0, 3), np.int16))  # no rows: one empty chunk, whatever `chunks`
    for chunks in (None, 4):
        assert pyzeb.read_dask(moved, chunks=chunks).compute().shape == (0, 3)
        assert pyzeb.read_stack([moved, moved], chunks=chunks).compute().shape == (2, 0, 3)
    pyzeb.write(moved, np.array(1.5))
    with pytest.raises(ValueError, match="0-dimensional"):
        pyzeb.read_dask(moved)
