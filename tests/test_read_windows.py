"""Compressed bodies read from files and pipes in windows give exactly what decoding the whole body gives."""
import ctypes as C
import os
import subprocess
import sys

import numpy as np
import pytest

import _pyzeb
from clib import Report, lib
from f0build import f0_file
from platforms import linux_only, posix_only
from test_open import Image, events

WINDOW = 1 << 20


def encoded(ct, data, bs, nb, slice_=5):
    cap = int(lib.zeb_compress_bound(ct, slice_, bs, nb))
    out = np.zeros(cap, np.uint8)
    n = lib.zeb_encode(ct, out.ctypes.data, data.ctypes.data, slice_, bs, nb, cap, 0)
    assert n > 0
    return out[:n].tobytes()


@pytest.fixture(scope="module")
def streams():
    rng = np.random.default_rng(7)
    rows = np.cumsum(rng.integers(-90, 91, (1024, 1536)), axis=1).astype("<i2")  # about 2.2 MiB of body
    runs = np.repeat(rng.integers(-3, 4, 40_000).astype("<i2"), 30)              # one block of 1.2M elements
    return {"rows": f0_file(1, [1536, 1024], encoded(0, rows, 1536, 1024), flags=1),
            "one run-length block": f0_file(1, [runs.size], encoded(2, runs, runs.size, 1, 2), flags=1)}


def damaged(content, how, at):
    b = bytearray(content)
    if how == "cut":
        return bytes(b[:at])
    b[at:at + 16] = bytes(16) if how == "zeros" else b"\xff" * 16
    return bytes(b)


def read(path=None, content=None, flags=0):
    img, rep = Image(), Report()
    if path is not None:
        st = lib.zeb_read(path.encode(), C.byref(img), C.byref(rep), flags)
    else:
        st = lib.zeb_read_memory(content, len(content), C.byref(img), C.byref(rep), flags)
    data = C.string_at(img.data, img.data_size) if img.data else None
    lib.zeb_free(img.data)
    return st, events(rep), data


PLACES = [526 + WINDOW - 3, 526 + WINDOW + 40, 526 + 2 * WINDOW + 1, -20, -1]


@pytest.mark.parametrize("name", ["rows", "one run-length block"])
@pytest.mark.parametrize("how", ["cut", "zeros", "ones"])
def test_file_reads_in_windows_equal_the_whole_body(tmp_path, streams, name, how):
    for at in PLACES:
        content = damaged(streams[name], how, at if at >= 0 else len(streams[name]) + at)
        p = tmp_path / "w.f0"
        p.write_bytes(content)
        whole = read(content=content)  # memory images are decoded in one piece
        assert read(str(p)) == whole, (how, at)
        assert read(str(p), flags=1) == read(content=content, flags=1), (how, at)


def through_fifo(tmp_path, content, code):
    """Runs `code` (which reads FIFO) in a child while `cat` feeds it content."""
    src, fifo = tmp_path / "src.f0", tmp_path / "fifo"
    src.write_bytes(content)
    os.mkfifo(fifo)
    feeder = subprocess.Popen(["sh", "-c", f'cat "{src}" > "{fifo}"'])
    try:
        child = subprocess.run([sys.executable, "-c", code, str(fifo)], capture_output=True, text=True, timeout=60,
                               cwd=os.path.dirname(__file__))
    finally:
        feeder.wait(timeout=60)
    return child.stdout, child.stderr


FZREAD = """
import sys, _pyzeb
try:
    print(_pyzeb.fzread(sys.argv[1])["data"].sum())
except ValueError as e:
    print(e)
"""


@posix_only
@pytest.mark.parametrize("how,at", [(None, 0), ("cut", -7), ("ones", 526 + WINDOW + 40), ("cut", 526 + WINDOW)])
def test_pipes_read_as_files_do(tmp_path, cio, streams, how, at):
    content = streams["rows"] if how is None else damaged(streams["rows"], how, at % len(streams["rows"]))
    p = tmp_path / "f.f0"
    p.write_bytes(content)
    try:
        expect = str(_pyzeb.fzread(str(p))["data"].sum())
    except ValueError as e:
        expect = str(e)
    assert through_fifo(tmp_path, content, FZREAD) == (expect + "\n", cio().err)


RSS = """
import sys, numpy, _pyzeb
def hwm():
    return int([l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1]) * 1024
base = hwm()
a = _pyzeb.fzread(sys.argv[1])["data"]
print(base, hwm(), a.nbytes)
"""


@linux_only
@pytest.mark.skipif("PYZEB_BUILD_DIR" in os.environ, reason="the sanitizer's shadow memory distorts the figures")
def test_compressed_read_takes_the_array_and_a_bounded_amount(tmp_path):
    rng = np.random.default_rng(3)
    rows = np.cumsum(rng.integers(-60, 61, (256, 4096)), axis=1).astype("<i2")
    a = np.tile(rows, (32, 1))  # 64 MiB, about 29 MiB of stream
    p = str(tmp_path / "big.f0")
    assert _pyzeb.fzwrite(p, a, 1, "") == 1
    stream = os.path.getsize(p) - 512
    del a
    out = subprocess.run([sys.executable, "-c", RSS, p], capture_output=True, text=True, check=True,
                         cwd=os.path.dirname(__file__)).stdout
    base, peak, nbytes = map(int, out.split())
    extra = peak - base - nbytes
    print(f"array {nbytes >> 20} MiB, stream {stream >> 20} MiB, peak above baseline {(peak - base) >> 20} MiB")
    assert stream > 24 << 20 and extra < 8 << 20
