"""Builds F0 files and crunch streams byte by byte, independently of the library."""
import struct

import numpy as np

SYNCH = b"\xaa\xaa\x55\x55"
SYNCH_REVERSED = b"\x55\x55\xaa\xaa"


def f0_header(datyp, dims, *, text=b"", flags=0, header_blocks=1, data_size=0,
              synch=SYNCH, dim_count=None):
    """The 512-byte header record, laid out field by field."""
    h = bytearray(512)
    h[0:4] = synch
    h[4] = flags
    h[6] = header_blocks
    h[7] = datyp
    h[8] = len(dims) if dim_count is None else dim_count
    h[10:14] = struct.pack("<i", data_size)
    for i, d in enumerate(dims[:16]):
        h[192 + 4 * i:196 + 4 * i] = struct.pack("<i", d)
    text = text.encode() if isinstance(text, str) else text
    text = text[:256]
    h[256:256 + len(text)] = text
    return bytes(h)


def f0_file(datyp, dims, payload, *, header_blocks=1, extra_blocks=None, **kw):
    """A whole file: header, header_blocks - 1 further blocks, then payload."""
    head = f0_header(datyp, dims, header_blocks=header_blocks, data_size=len(payload), **kw)
    n_extra = max(header_blocks, 1) - 1
    extra = extra_blocks if extra_blocks is not None else bytes([0x5A]) * (512 * n_extra)
    return head + extra + bytes(payload)


def stream_header(stream_size, nblocks, block_size, slice_, ctype):
    return struct.pack("<iiiBB", stream_size, nblocks, block_size, slice_, ctype)


class BitWriter:
    """Writes fields least significant bit first, as crunch bodies store them."""

    def __init__(self):
        self.bits = []

    def put(self, value, width):
        for i in range(width):
            self.bits.append((value >> i) & 1)

    def align(self):
        while len(self.bits) % 8:
            self.bits.append(0)

    def tobytes(self):
        self.align()
        out = bytearray()
        for i in range(0, len(self.bits), 8):
            out.append(sum(b << k for k, b in enumerate(self.bits[i:i + 8])))
        return bytes(out)


def put_code(w, d, slice_, esc_bits):
    """One difference code: low part, then the folded high part or an escape."""
    w.put(d & ((1 << slice_) - 1), slice_)
    h = d >> slice_
    y = 2 * h if h >= 0 else -2 * h - 1
    if y <= 30:
        w.put(1 << y, y + 1)
    else:
        w.put(1 << 31, 32)
        w.put(d & ((1 << esc_bits) - 1), esc_bits)


WIDTH = {0: 16, 1: 8, 4: 32, 2: 16, 3: 8}


def plain_body(blocks, slice_, ctype, starts=None):
    """Reference plain crunch body for a list of blocks of Python ints.

    `starts`, a list, receives the body bit position of every code."""
    width = WIDTH[ctype]
    esc = width + 1
    w = BitWriter()
    for blk in blocks:
        w.align()
        w.put(blk[0] & ((1 << width) - 1), width)
        for a, b in zip(blk, blk[1:]):
            if starts is not None:
                starts.append(len(w.bits))
            put_code(w, b - a, slice_, esc)
    return w.tobytes()


def to_unsigned_ints(arr):
    """Elements as Python ints the way the codec reads them (8-bit unsigned)."""
    a = np.asarray(arr)
    if a.dtype.itemsize == 1:
        return [int(v) for v in a.astype(np.uint8)]
    return [int(v) for v in a]


def run_pieces(length):
    """Lengths of the run segments that a run of `length` equal differences takes."""
    pieces = []
    while length > 128:
        take = 127 if length == 129 else 128
        pieces.append(take)
        length -= take
    return pieces + [length]


def run_body(blocks, slice_, ctype, starts=None):
    """Reference run-length crunch body (types 2 and 3) for a list of blocks.

    Each block: its first element, then segments.  A stretch of 4 or more equal
    differences is a run (3-byte pieces: 257 - length, then the difference as
    two little-endian bytes); every other difference is a literal code, and
    consecutive literals share segments of at most 127 codes, each opened by
    its count byte and padded to a byte boundary.  A block of one element
    takes one further byte, written as 0.  `starts`, a list, receives the
    body bit position of every literal code.
    """
    width = WIDTH[ctype]
    esc = width + 1
    out = bytearray()
    for blk in blocks:
        out += (blk[0] % (1 << width)).to_bytes(width // 8, "little")
        diffs = [b - a for a, b in zip(blk, blk[1:])]
        if not diffs:
            out.append(0)
            continue
        pending = []

        def close_literals():
            for start in range(0, len(pending), 127):
                chunk = pending[start:start + 127]
                w = BitWriter()
                for d in chunk:
                    if starts is not None:
                        starts.append(8 * (len(out) + 1) + len(w.bits))
                    put_code(w, d, slice_, esc)
                out.append(len(chunk))
                out.extend(w.tobytes())
            pending.clear()

        k = 0
        while k < len(diffs):
            stretch = 1
            while k + stretch < len(diffs) and diffs[k + stretch] == diffs[k]:
                stretch += 1
            if stretch < 4:
                pending.append(diffs[k])
                k += 1
                continue
            close_literals()
            for n in run_pieces(stretch):
                out.append(257 - n)
                out.extend((diffs[k] % 65536).to_bytes(2, "little"))
            k += stretch
        close_literals()
    return bytes(out)
