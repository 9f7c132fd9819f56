"""Writes data/sample.f0, the small file the main job reads when given none.

The file is laid out byte by byte here (header record, then raw little-endian
int16 data), so it does not depend on the library it is used to try out: a
64 x 48 frame with a smooth background, two star-like peaks and noise.
"""
import pathlib
import struct

import numpy as np


def main():
    rng = np.random.default_rng(20261208)
    y, x = np.mgrid[0:48, 0:64]
    frame = 200 + 0.8 * x + 0.5 * y
    for cy, cx, amp, sigma in ((14, 20, 1500, 2.0), (33, 47, 900, 3.0)):
        frame += amp * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * sigma**2))
    frame = rng.poisson(frame).astype("<i2")

    header = bytearray(512)
    header[0:4] = b"\xaa\xaa\x55\x55"       # synch pattern
    header[6] = 1                            # one header block
    header[7] = 1                            # 16-bit signed integers
    header[8] = 2                            # two dimensions
    header[10:14] = struct.pack("<i", frame.nbytes)
    header[192:200] = struct.pack("<ii", 64, 48)  # fastest dimension first
    text = b"pyzeb sample frame: 64 x 48 int16, background ramp, two peaks, Poisson noise"
    header[256:256 + len(text)] = text
    out = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample.f0"
    out.write_bytes(bytes(header) + frame.tobytes())
    print(f"wrote {out} ({out.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
