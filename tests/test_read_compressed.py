"""Reading compressed F0 files: the stream header checks, decoder choice and what fzread refuses."""
import numpy as np
import pytest

import _pyzeb
from f0build import SYNCH_REVERSED, f0_file, plain_body, run_body, stream_header
from test_read import read_c

# compression type -> (F0 type code, NumPy dtype, body builder)
TYPES = {0: (1, "<i2", plain_body), 1: (0, "u1", plain_body), 2: (1, "<i2", run_body),
         3: (0, "u1", run_body), 4: (2, "<i4", plain_body)}


def stream_file(ctype, values, block_size, *, slice_=3, nblocks=None, datyp=None, dims=None,
                body=None, stream_size=None, **kw):
    values = np.asarray(values)
    blocks = [[int(v) for v in values[i:i + block_size]] for i in range(0, values.size, block_size)]
    body = TYPES[ctype][2](blocks, slice_, ctype) if body is None else body
    nb = len(blocks) if nblocks is None else nblocks
    size = 14 + len(body) if stream_size is None else stream_size
    stream = stream_header(size, nb, block_size, slice_, ctype) + body
    dims = [block_size, values.size // block_size] if dims is None else dims
    kw["flags"] = kw.get("flags", 0) | 1
    return f0_file(TYPES[ctype][0] if datyp is None else datyp, dims, stream, **kw)


@pytest.fixture
def write(tmp_path):
    def write(content):
        p = tmp_path / "c.f0"
        p.write_bytes(content)
        return str(p)
    return write


def ramp(ctype, n=60):
    dt = TYPES[ctype][1]
    rng = np.random.default_rng(ctype)
    v = np.cumsum(rng.integers(-40, 41, n)) + (100 if dt == "u1" else -5000)
    v[20:35] = v[20]  # a stretch for the run-length types
    return (v % 256 if dt == "u1" else v).astype(dt)


@pytest.mark.parametrize("ctype", sorted(TYPES))
@pytest.mark.parametrize("synch", [b"\xaa\xaa\x55\x55", SYNCH_REVERSED])
def test_every_compression_type_reads_exactly(write, cio, ctype, synch):
    values = ramp(ctype)
    r = _pyzeb.fzread(write(stream_file(ctype, values, 12, synch=synch, flags=1 | 0x80)))
    np.testing.assert_array_equal(r["data"].ravel().view(TYPES[ctype][1]), values)
    assert r["data"].shape == (5, 12) and r["header"]["size"] == values.nbytes
    assert "reversed" in cio().err if synch == SYNCH_REVERSED else cio().err == ""


def test_float32_stream(write):
    bits = np.array([0x7FC00001, 0x80000000, 0x3F800000, 0xFF800000, 1, 0x7F7FFFFF], "<u4")
    content = stream_file(4, bits.view("<i4"), 3, datyp=3)
    assert _pyzeb.fzread(write(content))["data"].view("<u4").ravel().tolist() == bits.tolist()


def test_block_count_correction(write, cio):
    values = ramp(0, 36)
    content = stream_file(0, values, 12, nblocks=4, dims=[12, 3])
    r = read_c(write(content), count=36)
    assert cio().err == "warning, bad ch.nblocks = 4\ncorrecting to 3, hope this is right!\n"
    assert r["values"].tolist() == values.tolist()


@pytest.mark.parametrize("datyp,ctype,message", [
    (0, 0, "inconsistent compression type\n"), (1, 1, "inconsistent compression type\n"),
    (1, 4, ""), (3, 0, "")])
def test_mismatched_widths_are_not_decoded(write, cio, datyp, ctype, message):
    content = stream_file(ctype, ramp(ctype, 24), 12, datyp=datyp)
    with pytest.raises(ValueError, match="In pyzeb_fzread: could not read zeb file, compressed element width"):
        _pyzeb.fzread(write(content))
    err = cio().err
    assert err.startswith(message) and "not decoded" in err


def test_unknown_compression_type_names_the_data_type(write, cio):
    content = stream_file(0, ramp(0, 24), 12)
    content = content[:525] + b"\x07" + content[526:]
    with pytest.raises(ValueError, match="unknown compression type"):
        _pyzeb.fzread(write(content))
    # 7 has the low bit of an 8-bit type, so the pairing is flagged first
    assert cio().err == "inconsistent compression type\nerror in data type for compressed data, fh.datyp =1\n"
    r = read_c(write(content), count=24)
    assert r["size"] == 48 and not r["values"].any()  # returned undecoded, zero-filled


@pytest.mark.parametrize("cut,stream_size,message,cause", [
    (10, None, "error reading in compression header\n", "file ends inside the compression header"),
    (14, 13, "error reading in compression header: stream size 13 below 14 bytes\n", "stream size below 14"),
    (14, -5, "error reading in compression header: stream size -5 below 14 bytes\n", "stream size below 14"),
])
def test_bad_stream_headers(write, cio, cut, stream_size, message, cause):
    content = stream_file(0, ramp(0, 24), 12, stream_size=stream_size)[:512 + cut]
    with pytest.raises(ValueError, match=cause):
        _pyzeb.fzread(write(content))
    assert cio().err == message
    r = read_c(write(content), count=24)  # the classic reader still hands out the buffer
    assert r["size"] == 48 and cio().err == message


def test_short_body(write, cio):
    content = stream_file(0, ramp(0, 240), 12, slice_=5)
    path = write(content[:-7])
    with pytest.raises(ValueError, match="file ends before its compressed data are complete"):
        _pyzeb.fzread(path)
    assert cio().err == "error reading in compressed data\n"
    r = read_c(path, count=240)
    err = cio().err
    assert err.startswith("error reading in compressed data\nDECRUNCH -- unexpected end of compressed data")
    assert r["values"][:200].tolist() == ramp(0, 240)[:200].tolist()


def test_decoder_failures_raise(write, cio):
    body = bytearray(plain_body([[7, 8, 9]], 3, 0))
    body[2:] = bytes(len(body) - 2 + 5)  # no 1 bit where the second code starts
    content = stream_file(0, [7, 8, 9], 3, body=bytes(body))
    with pytest.raises(ValueError, match="In pyzeb_fzread: could not read zeb file, bad bit sequence"):
        _pyzeb.fzread(write(content))
    assert cio().err.startswith("DECRUNCH -- bad bit sequence, cannot continue\ni = 2, r1 = 19, ix= 1, iy = 0\n")
    loop = run_body([[7, 7, 7, 7, 7, 7]], 0, 2)  # a run of 5 where the file says 3 elements
    with pytest.raises(ValueError, match="bad loop"):
        _pyzeb.fzread(write(stream_file(2, [7, 7, 7], 3, body=loop)))
    assert "bad loop in decrunchrun, nc=-3, iy=0, in= 6\n" in cio().err


def test_fewer_elements_than_dimensions(write, cio):
    content = stream_file(0, ramp(0, 24), 12, dims=[12, 3])
    with pytest.raises(ValueError, match="fewer elements than the dimensions call for"):
        _pyzeb.fzread(write(content))
    assert cio().err == "error: compressed data hold 24 of the 36 elements the dimensions call for\n"


def test_huge_claims_from_a_tiny_file_are_refused_early(write, cio):
    content = stream_file(0, ramp(0, 24), 12, dims=[32768, 32767], nblocks=32767)
    with pytest.raises(ValueError, match="file ends before its compressed data are complete"):
        _pyzeb.fzread(write(content))
