"""Speed of the zeb command, pyzeb.read_stack and the Zarr crunch codec.

Each figure is the median of several runs in this one process, printed with
its ratio to a reference measured in the same run:

- `zeb info` on 1,000 compressed 256 x 256 int16 files (headers only), in
  process and as a command, against plainly opening and closing the same
  files and against reading them whole with pyzeb.read;
- read_stack(...).sum() over 64 compressed 1024 x 1024 int16 frames on Dask's
  threaded scheduler with 2 threads, against a serial loop of pyzeb.read;
- the same 64 frames in a Zarr (format 2) array with the crunch codec and with
  zarr's default compressor: stored bytes and read speed.

usage: python bench/bench_cli.py [--repeat N] [--files N] [--frames N]
"""
import argparse
import contextlib
import io
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import pyzeb
from pyzeb import cli
from bench import median_time, paired_times


def sky_frames(n, size, seed=2026):
    """Smooth sky with stars and Poisson noise; each frame its own noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size].astype(np.float64) / size
    sky = 900 + 300 * np.sin(3.1 * x + 1.0) * np.cos(2.3 * y)
    for cx, cy, s, a in rng.random((30, 4)) * [1, 1, 0.01, 3000] + [0, 0, 0.002, 0]:
        sky += a * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * s * s))
    for _ in range(n):
        yield np.clip(rng.poisson(sky), -32768, 32767).astype(np.int16)


def bench_info(tmp, nfiles, repeat):
    d = Path(tmp) / "info"
    d.mkdir()
    frame = next(sky_frames(1, 256))
    for i in range(nfiles):
        pyzeb.write(d / f"{i:04d}.f0", np.roll(frame, i), header=f"frame {i}")
    paths = sorted(str(p) for p in d.iterdir())
    size = sum(os.path.getsize(p) for p in paths)
    print(f"zeb info on {nfiles} files of 256 x 256 int16, compressed ({size / nfiles / 1024:.0f} KiB each on disk)")

    def open_close():
        for p in paths:
            open(p, "rb").close()

    def read_all():
        for p in paths:
            pyzeb.read(p)

    def info():
        with contextlib.redirect_stdout(io.StringIO()):
            assert cli.main(["info", str(d)]) == 0

    def command():
        subprocess.run([sys.executable, "-m", "pyzeb", "info", str(d)], stdout=subprocess.DEVNULL, check=True)

    t_open, t_read, t_info = paired_times([open_close, read_all, info], repeat)
    t_cmd = median_time(command, max(3, repeat // 2))
    t_start = median_time(lambda: subprocess.run([sys.executable, "-m", "pyzeb", "--version"],
                                                 stdout=subprocess.DEVNULL, check=True), max(3, repeat // 2))
    print(f"  open and close each file (reference)   {t_open * 1e3:8.1f} ms")
    print(f"  pyzeb.read of each file                {t_read * 1e3:8.1f} ms   {t_read / t_open:6.1f}x open/close")
    print(f"  zeb info, in process                   {t_info * 1e3:8.1f} ms   {t_info / t_open:6.1f}x open/close"
          f"   {t_read / t_info:5.1f}x faster than reading the data")
    print(f"  zeb info, as a command                 {t_cmd * 1e3:8.1f} ms   (of which {t_start * 1e3:.0f} ms "
          f"start-up: `zeb --version`)")


def bench_stack(tmp, nframes, repeat):
    import dask
    d = Path(tmp) / "stack"
    d.mkdir()
    paths = []
    for i, f in enumerate(sky_frames(nframes, 1024)):
        paths.append(str(d / f"{i:03d}.f0"))
        pyzeb.write(paths[-1], f)
    raw = nframes * 1024 * 1024 * 2
    stored = sum(os.path.getsize(p) for p in paths)
    print(f"\nread_stack(...).sum() over {nframes} compressed 1024 x 1024 int16 frames "
          f"({raw / 2**20:.0f} MiB of data, {stored / 2**20:.0f} MiB on disk, ratio {raw / stored:.2f})")

    def serial():
        return sum(int(pyzeb.read(p).sum(dtype=np.int64)) for p in paths)

    stack = pyzeb.read_stack(paths)

    def threaded():
        with dask.config.set(scheduler="threads", num_workers=2):
            return int(stack.sum(dtype=np.int64).compute())

    assert serial() == threaded()
    t_serial, t_dask = paired_times([serial, threaded], repeat)
    c0, t0 = time.process_time(), time.perf_counter()
    threaded()
    busy = (time.process_time() - c0) / (time.perf_counter() - t0)  # cores this process got
    print(f"  serial loop of pyzeb.read (reference)  {t_serial * 1e3:8.1f} ms   {raw / t_serial / 1e6:7.0f} MB/s")
    print(f"  read_stack, dask threads=2             {t_dask * 1e3:8.1f} ms   {raw / t_dask / 1e6:7.0f} MB/s"
          f"   {t_serial / t_dask:5.2f}x the serial loop (using {busy:.1f} cores; load average "
          f"{os.getloadavg()[0]:.1f})")
    return paths


def bench_zarr(tmp, paths, repeat):
    import zarr
    from pyzeb.codecs import Crunch
    frames = np.stack([pyzeb.read(p) for p in paths])
    raw = frames.nbytes
    print(f"\nZarr (format 2) array of the same {len(paths)} frames, one chunk per frame")
    arrays = {}
    for label, compressors in (("zarr's default compressor", "auto"), ("pyzeb.crunch", Crunch())):
        path = Path(tmp) / f"z-{len(arrays)}.zarr"
        z = zarr.create_array(path, shape=frames.shape, chunks=(1, *frames.shape[1:]), dtype=frames.dtype,
                              compressors=compressors, zarr_format=2)
        t0 = time.perf_counter()
        z[:] = frames
        t_write = time.perf_counter() - t0
        name = z.metadata.compressor.codec_id if z.metadata.compressor is not None else "none"
        stored = sum(f.stat().st_size for f in path.iterdir() if f.name[0].isdigit())
        z = zarr.open_array(path, mode="r")
        assert np.array_equal(z[:], frames)
        arrays[label] = (z, name, stored, t_write)
    t_reads = paired_times([lambda z=z: z[:] for z, *_ in arrays.values()], repeat)
    for (label, (z, name, stored, t_write)), t_read in zip(arrays.items(), t_reads):
        print(f"  {label + ' (' + name + ')':<38} stored {stored / 2**20:6.1f} MiB (ratio {raw / stored:.2f}), "
              f"read {raw / t_read / 1e6:6.0f} MB/s, write {raw / t_write / 1e6:6.0f} MB/s")
    (_, _, ref_size, _), (_, _, size, _) = arrays.values()
    print(f"  {'':<38} crunch: {ref_size / size:.2f}x smaller, reads at {t_reads[0] / t_reads[1]:.2f}x the speed")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--frames", type=int, default=64)
    args = ap.parse_args()
    print(f"pyzeb {pyzeb.__version__}, {os.cpu_count()} cores; medians of {args.repeat} runs")
    with tempfile.TemporaryDirectory(prefix="pyzeb-bench-cli-") as tmp:
        bench_info(tmp, args.files, args.repeat)
        paths = bench_stack(tmp, args.frames, args.repeat)
        bench_zarr(tmp, paths, args.repeat)


if __name__ == "__main__":
    main()
