"""Throughput of the pyzeb package: the automatic stream choice, threads, reads.

Figures, each a median of several runs in this one process, with the
reference it is compared with measured in the same run:
  - the automatic choice's stream ratio and write speed against the slice-5
    stream, on the 8-, 16- and 32-bit benchmark frames and a low-noise 8-bit
    image, and its encoding speed on 64 x 64 and 256 x 256 tiles;
  - pyzeb.write / pyzeb.encode of a 4096 x 4096 int16 frame with 2 threads
    against 1;
  - reading 64 compressed 1024 x 1024 int16 files with a pool of 2 threads
    against 1;
  - pyzeb.read of a compressed file against the bounded decoder on the same
    stream in memory;
  - pyzeb.read_header of 10,000 files against opening and closing them;
  - pyzeb.read with its checksums verified: a raw file against
    numpy.fromfile of the same file (target: at least 0.8x), a compressed
    one against the same read without verification (target: at least 0.9x).

usage: python bench/bench_pyzeb.py [--repeat N] [--size N]
"""
import argparse
import ctypes as C
import io
import os
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _pyzeb
import pyzeb
from bench import frames, median_time, paired_times

lib = C.CDLL(_pyzeb.__file__)
lib.zeb_decode.restype = C.c_int32
lib.zeb_decode.argtypes = [C.c_int32, C.c_void_p, C.c_int64, C.c_void_p, C.c_int64,
                           C.c_int32, C.c_int32, C.c_int32, C.c_void_p]


def low_noise_image(n):
    """An 8-bit picture with smooth shading and little noise."""
    rng = np.random.default_rng(99)
    y, x = np.mgrid[0:n, 0:n] / n
    img = 40 + 30 * np.sin(5 * x) * np.cos(4 * y) + rng.normal(0, 0.6, (n, n))
    return np.clip(np.rint(img), -128, 127).astype(np.int8)


def mbs(nbytes, seconds):
    return nbytes / seconds / 1e6


def automatic_choice(tmp, arrays, repeat):
    print("automatic stream choice against slice 5 (pyzeb.write, atomic, to the page cache)")
    path = os.path.join(tmp, "auto.f0")
    for label, a in arrays.items():
        auto, five = pyzeb.encode(a), pyzeb.encode(a, compress=5)
        # in turn, so that the load of the machine and the disk weigh on both alike
        t_auto, t_five = paired_times([lambda: pyzeb.write(path, a), lambda: pyzeb.write(path, a, compress=5)],
                                      repeat)
        e_auto, e_five = paired_times([lambda: pyzeb.encode(a), lambda: pyzeb.encode(a, compress=5)], repeat)
        hdr = pyzeb.read_header(io.BytesIO(auto))
        print(f"  {label:<18} ratio {a.nbytes / len(auto):6.2f} (slice 5: {a.nbytes / len(five):5.2f}, "
              f"{len(five) / len(auto):5.2f}x smaller; type {hdr.compression_type}, slice {hdr.slice})   "
              f"write {mbs(a.nbytes, t_auto):6.0f} MB/s = {t_five / t_auto:4.2f}x slice 5   "
              f"encode {e_five / e_auto:4.2f}x slice 5")


def small_arrays(frame, repeat):
    """pyzeb.encode of small tiles (Zarr-chunk sizes): the automatic choice
    against slice 5.  Each timing is a loop of calls, the two in turn, in CPU
    time of this thread (small arrays are encoded on the calling thread), so
    that the other processes of a busy machine do not weigh in."""
    print("small tiles of the int16 frame, pyzeb.encode: automatic choice against slice 5 "
          "(medians of thread CPU time)")
    for n, target, calls in ((64, 0.5, 400), (256, 0.8, 40)):
        tile = np.ascontiguousarray(frame[:n, :n])
        times = {True: [], 5: []}
        for _ in range(max(repeat, 9)):
            for mode in times:
                t0 = time.thread_time_ns()
                for _ in range(calls):
                    pyzeb.encode(tile, compress=mode)
                times[mode].append((time.thread_time_ns() - t0) / calls / 1e3)
        t_auto, t_five = statistics.median(times[True]), statistics.median(times[5])
        ratio = t_five / t_auto
        print(f"  {n}x{n}: auto {t_auto:6.1f} us, slice 5 {t_five:6.1f} us, speed {ratio:4.2f}x slice 5 "
              f"(target {target}x: {'met' if ratio >= target else 'NOT met'}), "
              f"{len(pyzeb.encode(tile, compress=5)) / len(pyzeb.encode(tile)):4.2f}x smaller")


def threads(arr, tmp, repeat):
    path = os.path.join(tmp, "threads.f0")
    print(f"threads, {arr.shape} {arr.dtype} frame, automatic choice")
    for what, fn in (("encode", lambda n: pyzeb.encode(arr, threads=n)),
                     ("encode slice 5", lambda n: pyzeb.encode(arr, compress=5, threads=n)),
                     ("write", lambda n: pyzeb.write(path, arr, threads=n))):
        t1 = median_time(lambda: fn(1), repeat)
        t2 = median_time(lambda: fn(2), repeat)
        print(f"  {what:<16} 1 thread {mbs(arr.nbytes, t1):6.0f} MB/s   2 threads {mbs(arr.nbytes, t2):6.0f} MB/s"
              f"   {t1 / t2:4.2f}x")


def pool_reads(tmp, repeat):
    rng = np.random.default_rng(5)
    paths = []
    base = rng.poisson(800, (1024, 1024)).astype(np.int16)
    for i in range(64):
        paths.append(os.path.join(tmp, f"frame{i:02d}.f0"))
        pyzeb.write(paths[-1], base + np.int16(i))
    nbytes = 64 * base.nbytes
    results = {}
    for workers in (1, 2):
        with ThreadPoolExecutor(workers) as pool:
            results[workers] = median_time(lambda: list(pool.map(pyzeb.read, paths)), repeat)
    print(f"64 compressed 1024 x 1024 int16 files, pyzeb.read in a thread pool: 1 worker "
          f"{mbs(nbytes, results[1]):6.0f} MB/s, 2 workers {mbs(nbytes, results[2]):6.0f} MB/s   "
          f"{results[1] / results[2]:4.2f}x")


def read_against_decoder(arr, tmp, repeat):
    path = os.path.join(tmp, "read.f0")
    pyzeb.write(path, arr, compress=5)
    h = pyzeb.read_header(path)
    with open(path, "rb") as f:
        body = np.frombuffer(f.read(), np.uint8)[h.data_offset + 14:].copy()
    out = np.empty_like(arr)
    bs, nb = arr.shape[-1], arr.size // arr.shape[-1]
    dec = lambda: lib.zeb_decode(h.compression_type, body.ctypes.data, body.size, out.ctypes.data, out.size,
                                 h.slice, bs, nb, None)
    assert dec() == 0 and np.array_equal(out, arr)

    def dec_fresh():  # into a new array, as a read must
        fresh = np.empty_like(arr)
        lib.zeb_decode(h.compression_type, body.ctypes.data, body.size, fresh.ctypes.data, fresh.size,
                       h.slice, bs, nb, None)

    t_dec = median_time(dec, repeat)
    t_fresh = median_time(dec_fresh, repeat)
    t_read = median_time(lambda: pyzeb.read(path), repeat)
    t_fz = median_time(lambda: _pyzeb.fzread(path), repeat)
    print(f"compressed read of {arr.shape} {arr.dtype} (slice 5): decoder in memory {mbs(arr.nbytes, t_dec):6.0f} MB/s"
          f" (into a new array {mbs(arr.nbytes, t_fresh):6.0f} MB/s)\n"
          f"  pyzeb.read {mbs(arr.nbytes, t_read):6.0f} MB/s = {t_dec / t_read:4.2f}x ({t_fresh / t_read:4.2f}x)"
          f"   _pyzeb.fzread {mbs(arr.nbytes, t_fz):6.0f} MB/s = {t_dec / t_fz:4.2f}x ({t_fresh / t_fz:4.2f}x)")


def header_reads(tmp, count, repeat):
    image = pyzeb.encode(np.arange(64 * 64, dtype=np.int16).reshape(64, 64), header="header-only bench")
    folder = os.path.join(tmp, "many")
    os.mkdir(folder)
    paths = [os.path.join(folder, f"{i:05d}.f0") for i in range(count)]
    for p in paths:
        with open(p, "wb") as f:
            f.write(image)

    def open_close():
        for p in paths:
            os.close(os.open(p, os.O_RDONLY))

    t_ref = median_time(open_close, repeat)
    t_hdr = median_time(lambda: [pyzeb.read_header(p) for p in paths], repeat)
    print(f"pyzeb.read_header of {count} files: {t_hdr * 1e6 / count:5.1f} us a file; os.open + os.close "
          f"{t_ref * 1e6 / count:5.1f} us a file; {t_hdr / t_ref:4.2f}x")


def verified_reads(arr, tmp, repeat):
    print(f"reads with checksums verified, {arr.shape} {arr.dtype} frame (page cache)")
    raw, comp = os.path.join(tmp, "verified-raw.f0"), os.path.join(tmp, "verified-crunch.f0")
    pyzeb.write(raw, arr, compress=False)
    pyzeb.write(comp, arr)
    offset = pyzeb.read_header(raw).data_offset
    repeat = max(repeat, 21)  # reads of some 10 ms each: more runs steady the medians on a busy machine
    t_np, t_raw, t_raw_off = paired_times([lambda: np.fromfile(raw, arr.dtype, offset=offset),
                                           lambda: pyzeb.read(raw), lambda: pyzeb.read(raw, verify=False)], repeat)
    t_comp, t_comp_off = paired_times([lambda: pyzeb.read(comp), lambda: pyzeb.read(comp, verify=False)], repeat)

    def verdict(ratio, target):
        return f"target >= {target:.1f}x: {'met' if ratio >= target else 'MISSED'}"
    print(f"  raw        pyzeb.read {mbs(arr.nbytes, t_raw):6.0f} MB/s = {t_np / t_raw:4.2f}x numpy.fromfile "
          f"({mbs(arr.nbytes, t_np):6.0f} MB/s; {verdict(t_np / t_raw, 0.8)}); verify=False "
          f"{mbs(arr.nbytes, t_raw_off):6.0f} MB/s")
    print(f"  compressed pyzeb.read {mbs(arr.nbytes, t_comp):6.0f} MB/s = {t_comp_off / t_comp:4.2f}x verify=False "
          f"({mbs(arr.nbytes, t_comp_off):6.0f} MB/s; {verdict(t_comp_off / t_comp, 0.9)})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--size", type=int, default=4096)
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="pyzeb-bench-")
    try:
        arrays = frames(args.size)
        arrays["low-noise int8"] = low_noise_image(args.size)
        automatic_choice(tmp, arrays, args.repeat)
        small_arrays(arrays["int16"], args.repeat)
        threads(arrays["int16"], tmp, args.repeat)
        read_against_decoder(arrays["int16"], tmp, args.repeat)
        verified_reads(arrays["int16"], tmp, args.repeat)
        pool_reads(tmp, args.repeat)
        header_reads(tmp, 10_000, args.repeat)
    finally:
        shutil.rmtree(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())
