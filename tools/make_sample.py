"""Writes the sample files in data/ that the tour (`make run`) shows.

- sample.f0: laid out byte by byte here (header record, then raw
  little-endian int16 data), so it does not depend on the library it is used
  to try out: a 64 x 48 frame with a smooth background, two star-like peaks
  and noise.
- sample_big_endian.f0: also byte by byte, raw big-endian float32 data
  (file flag bit 7 set): a 4 x 32 x 40 cube of a peak drifting across the
  frame, one plane per step.
- sample_compressed.f0: a 256 x 256 int16 sky frame written with pyzeb.write
  (the smallest crunch stream), so this one needs the package built; without
  it the other two are still written.

usage: python tools/make_sample.py
"""
import pathlib
import struct
import sys

import numpy as np

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def header(datyp, dims, nbytes, text, flags=0):
    h = bytearray(512)
    h[0:4] = b"\xaa\xaa\x55\x55"       # synch pattern
    h[4] = flags
    h[6] = 1                            # one header block
    h[7] = datyp
    h[8] = len(dims)
    h[10:14] = struct.pack("<i", nbytes)
    h[192:192 + 4 * len(dims)] = struct.pack(f"<{len(dims)}i", *dims)  # fastest dimension first
    h[256:256 + len(text)] = text
    return bytes(h)


def big_endian_cube():
    y, x = np.mgrid[0:32, 0:40]
    planes = []
    for step in range(4):
        cx, cy = 8 + 8 * step, 10 + 4 * step
        planes.append(100 + 2000 * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / 18.0) + 0.1 * x)
    cube = np.array(planes, dtype=">f4")
    text = b"pyzeb sample cube: 4 x 32 x 40 float32, big-endian raw data, a peak drifting over 4 steps"
    out = DATA / "sample_big_endian.f0"
    out.write_bytes(header(3, [40, 32, 4], cube.nbytes, text, flags=0x80) + cube.tobytes())
    return out


def compressed_frame():
    try:
        import pyzeb
    except ImportError as exc:
        print(f"skipping sample_compressed.f0: pyzeb cannot be imported ({exc})", file=sys.stderr)
        return None
    rng = np.random.default_rng(8122026)
    y, x = np.mgrid[0:256, 0:256] / 256
    sky = 800 + 150 * np.sin(4 * x) * np.cos(3 * y)
    for cx, cy, amp, s in rng.random((25, 4)) * [1, 1, 5000, 0.008] + [0, 0, 200, 0.003]:
        sky += amp * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * s * s))
    out = DATA / "sample_compressed.f0"
    # a classic file without checksums, as archives hold them (the tour shows `zeb verify` on it)
    pyzeb.write(out, rng.poisson(sky).astype(np.int16), checksum=False,
                header="pyzeb sample sky frame: 256 x 256 int16, 25 stars, crunch-compressed")
    return out


def main():
    rng = np.random.default_rng(20261208)
    y, x = np.mgrid[0:48, 0:64]
    frame = 200 + 0.8 * x + 0.5 * y
    for cy, cx, amp, sigma in ((14, 20, 1500, 2.0), (33, 47, 900, 3.0)):
        frame += amp * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * sigma**2))
    frame = rng.poisson(frame).astype("<i2")

    text = b"pyzeb sample frame: 64 x 48 int16, background ramp, two peaks, Poisson noise"
    out = DATA / "sample.f0"
    out.write_bytes(header(1, [64, 48], frame.nbytes, text) + frame.tobytes())
    for path in (out, big_endian_cube(), compressed_frame()):
        if path is not None:
            print(f"wrote {path} ({path.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
