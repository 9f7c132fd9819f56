"""Sizes of float frames as F0 files, beside Zarr's default store and
astropy's RICE_1 tile compression, measured in the same run:

- an EIT-like float64 frame holding whole numbers (a solar disk with limb
  brightening and Poisson noise): pyzeb stores it exactly as integers;
  target: no larger than 1.1 x Zarr's default store (format 3, default
  codecs);
- a float32 frame with Gaussian noise quantized at q = 4: pyzeb's
  ``quantize=4`` against astropy's CompImageHDU(RICE_1, quantize_level=4);
  target: within 10% of its size, and an error bound no larger.

Also the write time of pyzeb against np.save for a scratch file with
``sync=False`` (median of runs, as a ratio).

usage: python bench/bench_fits.py [--size N] [--repeat N]
"""
import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np

import pyzeb


def eit_frame(size, seed=1):
    rng = np.random.default_rng(seed)
    y, x = (np.mgrid[0:size, 0:size] - size / 2) / (size * 0.4)
    r = np.hypot(x, y)
    disk = np.where(r < 1, 800 * (0.4 + 0.6 * np.sqrt(np.clip(1 - r * r, 0, 1))), 30 * np.exp(-(r - 1) * 4))
    return rng.poisson(disk + 20).astype(np.float64)


def noisy_frame(size, seed=2):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size] / size
    return (1000 + 200 * np.sin(4 * x) * np.cos(3 * y) + rng.normal(0, 12, (size, size))).astype(np.float32)


def tree_size(path):
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())


def zarr_size(a, d):
    import zarr
    z = zarr.create_array(os.path.join(d, "z.zarr"), shape=a.shape, dtype=a.dtype)
    z[...] = a
    return tree_size(os.path.join(d, "z.zarr"))


def rice(a, d, q):
    from astropy.io import fits
    p = os.path.join(d, "r.fits")
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(a, compression_type="RICE_1", quantize_level=q)]) \
        .writeto(p, overwrite=True)
    with fits.open(p) as f:
        back = np.array(f[1].data)
    return os.path.getsize(p), back


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return float(np.median(times))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=1024)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as d:
        eit = eit_frame(args.size)
        f0 = os.path.join(d, "eit.f0")
        pyzeb.write(f0, eit)
        assert np.array_equal(pyzeb.read(f0), eit) and pyzeb.read(f0).dtype == np.float64
        z = zarr_size(eit, d)
        print(f"EIT-like float64 {eit.shape}: F0 {os.path.getsize(f0)} bytes, Zarr default {z} bytes, "
              f"ratio {os.path.getsize(f0) / z:.3f} (target <= 1.1)")

        a = noisy_frame(args.size)
        q = os.path.join(d, "q.f0")
        pyzeb.write(q, a, quantize=4)
        back = pyzeb.read(q)
        try:
            size, rback = rice(a, d, 4)
        except ImportError:
            print("astropy missing: pip install 'pyzeb[fits]' for the RICE_1 comparison")
            size, rback = None, None
        err = float(np.max(np.abs(back.astype(np.float64) - a)))
        line = f"float32 {a.shape} quantize 4: F0 {os.path.getsize(q)} bytes, max error {err:.4g}" \
               f" (step {pyzeb.read_header(q).quantization_step:.4g})"
        if size is not None:
            rerr = float(np.max(np.abs(rback.astype(np.float64) - a)))
            line += f"; RICE_1 {size} bytes, max error {rerr:.4g}; size ratio {os.path.getsize(q) / size:.3f}" \
                    f" (target <= 1.1), error ratio {err / rerr:.3f} (target <= 1)"
        print(line)

        big = np.random.default_rng(3).normal(size=(2048, 2048)).astype(np.float32)
        scratch = os.path.join(d, "s.f0")
        t_sync = median_time(lambda: pyzeb.write(scratch, big, compress=False), args.repeat)
        t_nosync = median_time(lambda: pyzeb.write(scratch, big, compress=False, sync=False), args.repeat)
        t_npy = median_time(lambda: np.save(os.path.join(d, "s.npy"), big), args.repeat)
        print(f"raw write of {big.nbytes / 1e6:.1f} MB: sync=False {t_nosync / t_npy:.2f}x np.save, "
              f"synced {t_sync / t_npy:.2f}x np.save (medians of {args.repeat})")


if __name__ == "__main__":
    main()
