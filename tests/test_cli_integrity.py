"""The zeb command and checksums: verify's verdicts, info, zeb checksum,
recompress keeping what it must, and FITS keywords through F0 and back."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import pyzeb
from f0build import f0_file
from pyzeb import cli


def zeb(*args):
    """Runs the command: (exit status, stdout, stderr)."""
    r = subprocess.run([sys.executable, "-m", "pyzeb", *map(str, args)], capture_output=True, text=True,
                       timeout=300)
    assert "Traceback" not in r.stderr
    return r.returncode, r.stdout, r.stderr


def frame(seed=0, dtype=np.int16, shape=(32, 40)):
    return (np.random.default_rng(seed).poisson(300, shape) - 20).astype(dtype)


@pytest.fixture
def kinds(tmp_path):
    """One file of each kind verify tells apart."""
    pyzeb.write(tmp_path / "a_verified.f0", frame(), metadata={"run": 7})
    pyzeb.write(tmp_path / "b_plain.f0", frame(1), checksum=False)
    pyzeb.write(tmp_path / "c_changed.f0", frame(2, np.uint16), compress=False)
    m = pyzeb.memmap(tmp_path / "c_changed.f0", mode="r+")
    m[0, 0] = 9
    m.flush()
    del m
    damaged = bytearray(pyzeb.encode(frame(3), compress=False))
    damaged[-5] ^= 0x20  # still decodes: only the checksum tells
    (tmp_path / "d_damaged.f0").write_bytes(damaged)
    return tmp_path


def test_verify_tells_verified_unchecked_and_damaged_files_apart(kinds):
    code, out, err = zeb("verify", kinds)
    assert (code, err) == (1, "")
    assert out.splitlines() == [
        f"{kinds}/a_verified.f0: sound, checksum verified",
        f"{kinds}/b_plain.f0: sound as far as decoding tells: no checksum",
        f"{kinds}/c_changed.f0: sound as far as decoding tells: data changed in place, checksum not renewed",
        f"{kinds}/d_damaged.f0: damaged: checksum mismatch: the file is damaged",
        "4 files checked, 3 sound (1 verified by checksum, 1 without checksum (decoded only), "
        "1 changed in place (decoded only)), 1 damaged"]
    code, quiet, _ = zeb("verify", "-q", kinds)
    assert (code, quiet.splitlines()) == (1, out.splitlines()[3:])


def test_info_shows_the_checksum(kinds):
    code, out, _ = zeb("info", kinds / "a_verified.f0", kinds / "b_plain.f0", kinds / "c_changed.f0")
    assert code == 0
    assert [line.split("  ")[-2] for line in out.splitlines()] == ["checksum", "no checksum",
                                                                   "checksum (data changed in place)"]
    code, out, _ = zeb("info", "--json", kinds / "a_verified.f0", kinds / "c_changed.f0")
    a, c = map(json.loads, out.splitlines())
    assert (a["checksum"], a["data_changed"], a["metadata"]) == (True, False, {"run": 7})
    assert (c["checksum"], c["data_changed"], c["dtype"]) == (True, True, "uint16")


def test_checksum_command(kinds):
    trailing = kinds / "e_trailing.f0"
    trailing.write_bytes(pyzeb.encode(frame(4), checksum=False) + b"notes")
    foreign = kinds / "f_foreign.f0"
    foreign.write_bytes(f0_file(1, [40, 32], frame(5).tobytes(), header_blocks=2))
    untouched = {p: p.read_bytes() for p in (kinds / "d_damaged.f0", trailing, foreign)}
    code, out, err = zeb("checksum", kinds)
    assert code == 1
    assert out.splitlines() == [f"{kinds}/a_verified.f0: checksum present and verified, kept",
                                f"{kinds}/b_plain.f0: checksum added",
                                f"{kinds}/c_changed.f0: checksum renewed",
                                "6 files: 1 checksum added, 1 renewed, 1 kept, 3 failed"]
    assert [line.split(": ")[1:3] for line in err.splitlines()] == [
        [f"{kinds}/d_damaged.f0", "left as it is"], [f"{kinds}/e_trailing.f0", "left as it is"],
        [f"{kinds}/f_foreign.f0", "left as it is"]]
    assert all(p.read_bytes() == b for p, b in untouched.items())
    code, out, _ = zeb("verify", kinds / "a_verified.f0", kinds / "b_plain.f0", kinds / "c_changed.f0")
    assert code == 0 and out.endswith("3 sound (3 verified by checksum, 0 without checksum (decoded only)), "
                                      "0 damaged\n")
    assert pyzeb.read(kinds / "c_changed.f0")[0, 0] == 9


def test_warnings_are_one_line(tmp_path):
    from test_checksum import resealed
    p = tmp_path / "newer.f0"
    p.write_bytes(resealed(pyzeb.encode(frame()), 7, b"\x28\0\0\0\4\0\0\0seek"))
    code, out, err = zeb("info", p)
    assert code == 0 and out.startswith(f"{p}  (32, 40) int16")
    assert err == f"zeb info: warning: {p}: the header record is of version 7 (this pyzeb knows version 1): " \
                  "1 section(s) it does not know (type 40) were not checked\n"
    code, out, err = zeb("recompress", p)
    assert code == 0 and out.splitlines()[0].endswith("kept: its header record is of a newer version, "
                                                      "whose content would be lost")


def test_recompress_keeps_metadata_dtype_and_what_it_cannot_rewrite(tmp_path):
    u = tmp_path / "u.f0"
    pyzeb.write(u, frame(dtype=np.uint16), compress=False, metadata={"exptime": 30.0})
    trailing = tmp_path / "t.f0"
    trailing.write_bytes(pyzeb.encode(frame(1), compress=False) + b"x" * 7)
    before = trailing.read_bytes()
    code, out, err = zeb("recompress", u, trailing)
    assert (code, err) == (0, "")
    assert out.splitlines()[1].endswith("kept: the 7 bytes after its data would be lost")
    h = pyzeb.read_header(u)
    assert (h.compressed, h.checksum, h.dtype, h.metadata) == (True, True, np.uint16, {"exptime": 30.0})
    assert np.array_equal(pyzeb.read(u), frame(dtype=np.uint16)) and trailing.read_bytes() == before


def test_recompress_leaves_a_file_replaced_meanwhile(tmp_path, monkeypatch, capsys):
    p = tmp_path / "r.f0"
    pyzeb.write(p, frame(), compress=False)
    real_read = pyzeb.read

    def read_then_replaced(path, **kw):
        a = real_read(path, **kw)
        pyzeb.write(p, frame(9), compress=False, header="someone else's")  # while recompress works
        return a
    monkeypatch.setattr(pyzeb, "read", read_then_replaced)
    assert cli.main(["recompress", str(p)]) == 1
    assert "changed while it was being rewritten" in capsys.readouterr().err
    assert pyzeb.read_header(p).text == "someone else's" and np.array_equal(real_read(p), frame(9))


# ---- FITS -------------------------------------------------------------------------

fits = pytest.importorskip("astropy.io.fits")

CARDS = [("OBJECT", "M31", "target"), ("EXPTIME", 30.5, "[s] exposure"), ("NCOMBINE", 3, ""),
         ("SIMULATE", False, "a boolean"), ("UNDEF", None, "no value"),
         ("LONGSTR", "a string value far longer than one card can hold, " * 3, "continued"),
         ("HIERARCH ESO DET DIT", 1.25, "hierarch"), ("COMMENT", "a comment card", ""),
         ("HISTORY", "reduced with care", ""), ("DATE-OBS", "2026-12-08T21:04:11", "")]


def fits_file(path, data, extra_hdus=0, compressed=False):
    hdu = fits.PrimaryHDU(data)
    for key, value, comment in CARDS:
        hdu.header.append((key, value, comment), end=True)
    hdus = [hdu] + [fits.ImageHDU(data + i + 1) for i in range(extra_hdus)]
    if compressed:
        c = fits.CompImageHDU(data, header=hdu.header)
        hdus = [fits.PrimaryHDU(), c]
    fits.HDUList(hdus).writeto(path)


def cards(header):
    return [(c.keyword, c.value, c.comment) for c in header.cards if c.keyword in {k.split()[-1] if k.startswith(
        "HIERARCH") else k for k, _, _ in CARDS} or c.keyword == "ESO DET DIT"]


@pytest.mark.parametrize("dtype", [np.int16, np.uint16, np.float32])
def test_fits_keywords_survive_f0_and_back_and_fitscheck_passes(tmp_path, dtype):
    data = frame(dtype=dtype)
    src, f0, back = tmp_path / "in.fits", tmp_path / "mid.f0", tmp_path / "out.fits"
    fits_file(src, data)
    assert cli.main(["convert", str(src), str(f0)]) == 0
    h = pyzeb.read_header(f0)
    assert h.dtype == dtype and [k for k, _, _ in h.metadata["fits"]] == \
        ["OBJECT", "EXPTIME", "NCOMBINE", "SIMULATE", "UNDEF", "LONGSTR", "ESO DET DIT", "COMMENT", "HISTORY",
         "DATE-OBS"]
    pyzeb.write(f0, pyzeb.read(f0), metadata={**h.metadata, "pipeline": {"version": 2}})
    assert cli.main(["convert", str(f0), str(back)]) == 0
    with fits.open(src) as a, fits.open(back) as b:
        assert cards(b[0].header) == cards(a[0].header)
        assert np.array_equal(b[0].data, data) and b[0].data.dtype.newbyteorder("=") == dtype
        assert json.loads(b[0].header["F0META"]) == {"pipeline": {"version": 2}}
    check = subprocess.run([str(Path(sys.executable).with_name("fitscheck")), str(back)], capture_output=True,
                           text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    # and F0 again: the same metadata
    assert cli.main(["convert", str(back), str(tmp_path / "again.f0")]) == 0
    assert pyzeb.read_header(tmp_path / "again.f0").metadata == pyzeb.read_header(f0).metadata


@pytest.mark.parametrize("a", [np.array([[True, False]]), np.array([[0, 2**32 - 1]], np.uint32),
                               np.array([[0, 2**64 - 1]], np.uint64)], ids=str)
def test_f0_to_fits_and_back_keeps_the_values(tmp_path, a):
    pyzeb.write(tmp_path / "a.f0", a)
    assert cli.main(["convert", str(tmp_path / "a.f0"), str(tmp_path / "a.fits")]) == 0
    assert cli.main(["convert", str(tmp_path / "a.fits"), str(tmp_path / "b.f0")]) == 0
    b = pyzeb.read(tmp_path / "b.f0")
    assert np.array_equal(b, a) and b.dtype == (np.uint8 if a.dtype == np.bool_ else a.dtype)


def test_fits_hdu_choice_and_tile_compressed_input(tmp_path, capsys):
    data = frame()
    multi, fz = tmp_path / "multi.fits", tmp_path / "in.fits.fz"
    fits_file(multi, data, extra_hdus=2)
    fits_file(fz, data, compressed=True)
    assert cli.main(["convert", str(multi), str(tmp_path / "x.f0")]) == 1
    assert "HDUs 0, 1, 2 all hold images: choose one with --hdu, or convert each with --all-hdus" \
        in capsys.readouterr().err
    assert cli.main(["convert", str(multi), str(tmp_path / "x.f0"), "--hdu", "2"]) == 1  # 0 and 1 left out
    assert cli.main(["convert", str(multi), str(tmp_path / "x.f0"), "--hdu", "2", "--allow-loss"]) == 0
    assert np.array_equal(pyzeb.read(tmp_path / "x.f0"), data + 2)
    assert cli.main(["convert", str(multi), str(tmp_path / "x.f0"), "--hdu", "3", "--allow-loss"]) == 1
    assert cli.main(["convert", str(fz), str(tmp_path / "z.f0")]) == 0
    h = pyzeb.read_header(tmp_path / "z.f0")
    assert np.array_equal(pyzeb.read(tmp_path / "z.f0"), data) and ["OBJECT", "M31", "target"] in h.metadata["fits"]
    assert cli.main(["convert", str(fz), str(tmp_path / "n.f0"), "--no-keywords"]) == 0
    assert pyzeb.read_header(tmp_path / "n.f0").metadata == {}
    assert cli.main(["convert", str(tmp_path / "n.f0"), str(tmp_path / "n.fits.fz")]) == 2


def test_fits_keywords_too_many_for_the_header(tmp_path, capsys):
    hdu = fits.PrimaryHDU(frame())
    rng = np.random.default_rng(0)  # values that deflate little
    for i in range(400):
        hdu.header.append((f"KEY{i}", rng.bytes(20).hex(), "a comment of some length"), end=True)
    hdu.writeto(tmp_path / "big.fits")
    assert cli.main(["convert", str(tmp_path / "big.fits"), str(tmp_path / "big.f0")]) == 1
    assert "do not fit in an F0 header" in capsys.readouterr().err and not (tmp_path / "big.f0").exists()
    assert cli.main(["convert", str(tmp_path / "big.fits"), str(tmp_path / "big.f0"), "--no-keywords"]) == 0
