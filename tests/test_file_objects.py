"""pyzeb on file objects that take or give fewer bytes than asked, memory maps
of files replaced meanwhile, and read_stack's task names."""
import contextlib
import errno
import io
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import pyzeb
from platforms import posix_only

A = np.arange(40_000, dtype=np.int32).reshape(200, 200) * 7919 % 100_003


class Trickle(io.RawIOBase):
    """A raw writer that takes at most `step` bytes per call."""

    def __init__(self, step):
        self.step, self.out = step, bytearray()

    def writable(self):
        return True

    def write(self, b):
        n = min(self.step, len(b))
        self.out += bytes(b[:n])
        return n


def test_write_honours_what_a_raw_writer_takes():
    for step in (1, 777, 1 << 20):
        w = Trickle(step)
        pyzeb.write(w, A, compress=False)
        assert bytes(w.out) == pyzeb.encode(A, compress=False)

@posix_only

def test_write_to_a_full_non_blocking_pipe_raises():
    import fcntl  # POSIX only
    r, w = os.pipe()
    try:
        fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) | os.O_NONBLOCK)
        with open(w, "wb", buffering=0, closefd=False) as f, pytest.raises(BlockingIOError) as info:
            pyzeb.write(f, A, compress=False)  # 160 kB into a 64 kB pipe nobody reads
        assert info.value.errno == errno.EAGAIN and 0 < info.value.characters_written < A.nbytes
    finally:
        os.close(r)
        os.close(w)


@pytest.mark.parametrize("count", [0, -1, 10**9, "ten"])
def test_write_refuses_a_count_that_makes_no_sense(count):
    class Odd:
        def write(self, b):
            return count
    with pytest.raises(OSError, match="incomplete"):
        pyzeb.write(Odd(), A)


def test_writers_returning_none_are_taken_as_done():
    class Sink:  # the usual hand-written writer
        def __init__(self):
            self.parts = []

        def write(self, b):
            self.parts.append(bytes(b))
    s = Sink()
    pyzeb.write(s, A)
    assert b"".join(s.parts) == pyzeb.encode(A)


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("call", [pyzeb.read_header, pyzeb.read])
def test_unbuffered_pipe_is_read_until_the_bytes_are_there(call, compress):
    data = pyzeb.encode(A, compress=compress, header="through a pipe")
    r, w = os.pipe()

    def feed():  # 100-byte pieces with pauses first: each read() of the pipe gets a few
        with open(w, "wb", buffering=0) as f, contextlib.suppress(BrokenPipeError):
            i = 0
            while i < len(data):  # read_header stops reading early
                n = 100 if i < 2000 else 65536
                f.write(data[i:i + n])
                i += n
                time.sleep(0.0005)
    t = threading.Thread(target=feed)
    t.start()
    try:
        with open(r, "rb", buffering=0) as f:
            got = call(f)
    finally:
        t.join()
    if call is pyzeb.read:
        assert np.array_equal(got, A)
    else:
        assert got.text == "through a pipe" and got.shape == A.shape


def test_memmap_maps_the_file_it_read_the_headers_of(tmp_path, monkeypatch):
    p, other = tmp_path / "m.f0", tmp_path / "other.f0"
    pyzeb.write(p, A, compress=False)
    pyzeb.write(other, np.ones((3, 5), np.float64), compress=False)
    real = np.memmap

    def replaced_meanwhile(*args, **kw):
        if other.exists():
            os.replace(other, p)
        return real(*args, **kw)
    monkeypatch.setattr(np, "memmap", replaced_meanwhile)
    m = pyzeb.memmap(p)
    assert m.dtype == A.dtype and np.array_equal(m, A)


def test_read_stack_names_change_when_a_file_is_rewritten(tmp_path):
    pytest.importorskip("dask.array")
    paths = [str(tmp_path / f"{i}.f0") for i in range(3)]
    for p in paths:
        pyzeb.write(p, A[:10])
    first = pyzeb.read_stack(paths)
    assert pyzeb.read_stack(paths).name == first.name
    pyzeb.write(paths[1], A[10:20])  # same shape and dtype, same size
    os.utime(paths[1], ns=(os.stat(paths[0]).st_atime_ns, os.stat(paths[0]).st_mtime_ns))
    second = pyzeb.read_stack(paths)
    assert second.name != first.name
    assert np.array_equal(second.compute()[1], A[10:20])


def test_write_to_dev_stdout_keeps_what_was_printed(tmp_path):
    out = tmp_path / "out.bin"
    script = ("import numpy as np, pyzeb\nprint('before')\n"
              "pyzeb.write('/dev/stdout', np.arange(5, dtype=np.int16))\nprint('after')\n")
    with open(out, "wb") as f:
        subprocess.run([sys.executable, "-c", script], stdout=f, check=True, timeout=120)
    assert out.read_bytes() == b"before\n" + pyzeb.encode(np.arange(5, dtype=np.int16)) + b"after\n"
