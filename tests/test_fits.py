"""FITS archives to F0 and back: stored integers, every HDU accounted for,
INHERIT, large headers, .fits.gz, each round trip checked by astropy."""
import gzip
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _pyzeb
import pyzeb
from pyzeb import cli

fits = pytest.importorskip("astropy.io.fits")
FITSCHECK = Path(sys.executable).with_name("fitscheck")


def same(a, b):
    """FITSDiff finds data and keywords identical (the checksums are written anew)."""
    d = fits.FITSDiff(str(a), str(b), ignore_keywords=["CHECKSUM", "DATASUM"])
    assert d.identical, d.report()


def checked(path):
    r = subprocess.run([str(FITSCHECK), str(path)], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


def image(dtype, scaling=(), shape=(6, 7), seed=0):
    """A primary HDU of stored integers with scaling cards set as stored (not applied)."""
    info = np.iinfo(dtype)
    a = np.random.default_rng(seed).integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
    h = fits.PrimaryHDU(a)
    for key, value in scaling:
        h.header[key] = value
    h.header["OBJECT"] = "M31"
    h.header["DATE-OBS"] = "2024-01-02T03:04:05"
    return a, h


def raw_write(hdus, path):
    """Writes HDUs whose headers carry BSCALE/BZERO over unscaled data."""
    import io
    b = io.BytesIO()
    fits.HDUList(hdus).writeto(b)
    b.seek(0)
    with fits.open(b, do_not_scale_image_data=True) as again:
        for h in again:
            for key in ("BSCALE", "BZERO", "BLANK"):
                if "X" + key[:6] in h.header:
                    h.header.rename_keyword("X" + key[:6], key, force=True)
        again.writeto(path, checksum=True)


@pytest.mark.parametrize("dtype,scaling,want", [
    (np.int16, [("XBLANK", -32768)], np.int16),
    (np.int16, [("XBSCALE", 0.5), ("XBZERO", 10.0), ("XBLANK", -1)], np.int16),
    (np.int32, [("XBSCALE", 2.0), ("XBZERO", -3.0)], np.int32),
    (np.int64, [("XBLANK", -9223372036854775808)], np.int64),
    (np.int64, [("XBSCALE", 1.0), ("XBZERO", 1.5)], np.int64),
    (np.int16, [("XBSCALE", 1), ("XBZERO", 32768)], np.uint16),    # the unsigned conventions
    (np.int32, [("XBSCALE", 1), ("XBZERO", 2147483648)], np.uint32),
    (np.int64, [("XBSCALE", 1), ("XBZERO", 9223372036854775808)], np.uint64),
    (np.uint8, [("XBSCALE", 1), ("XBZERO", -128)], np.int8),
])
def test_stored_integers_round_trip(tmp_path, dtype, scaling, want):
    a, h = image(dtype, [(k, v) for k, v in scaling])
    raw_write([h], tmp_path / "o.fits")
    assert cli.main(["convert", str(tmp_path / "o.fits"), str(tmp_path / "o.f0")]) == 0
    got = pyzeb.read(tmp_path / "o.f0")
    assert got.dtype == want
    with fits.open(tmp_path / "o.fits", do_not_scale_image_data=True) as f:
        stored = f[0].data
    if want == dtype:  # the stored integers, exactly (int64 beyond 2^53 included)
        assert np.array_equal(got, stored)
    assert pyzeb.read_header(tmp_path / "o.f0").text == "M31 2024-01-02T03:04:05"
    assert cli.main(["convert", str(tmp_path / "o.f0"), str(tmp_path / "b.fits")]) == 0
    same(tmp_path / "o.fits", tmp_path / "b.fits")
    checked(tmp_path / "b.fits")
    assert np.array_equal(_pyzeb.fzread(str(tmp_path / "o.f0"))["data"].view(got.dtype), got)


def test_physical_values_and_info(tmp_path, capsys):
    a, h = image(np.int16, [("XBSCALE", 0.5), ("XBZERO", 10.0), ("XBLANK", -1)])
    raw_write([h], tmp_path / "s.fits")
    assert cli.main(["convert", str(tmp_path / "s.fits"), str(tmp_path / "s.f0")]) == 0
    with fits.open(tmp_path / "s.fits") as f:  # astropy's physical values
        phys = f[0].data
    hdr = pyzeb.fits_header(tmp_path / "s.f0")
    stored = pyzeb.read(tmp_path / "s.f0")
    mine = np.where(stored == hdr["BLANK"], np.nan, hdr["BZERO"] + hdr["BSCALE"] * stored.astype(float))
    assert np.array_equal(mine, phys, equal_nan=True)
    capsys.readouterr()
    assert cli.main(["info", str(tmp_path / "s.f0")]) == 0
    assert "scaled: physical = 10.0 + 0.5 x stored, BLANK -1" in capsys.readouterr().out


def mef(tmp_path, primary_data=None, inherit=False, table=True, images=1):
    p = fits.PrimaryHDU(primary_data)
    p.header["TARGNAME"] = "NGC 1"
    p.header["INSTRUME"] = "CAM"
    hdus = [p]
    for i in range(images):
        e = fits.ImageHDU(np.arange(12, dtype=np.int16).reshape(3, 4) + i, name="AMP", ver=i + 1)
        if inherit:
            e.header["INHERIT"] = True
        e.header["GAIN"] = 1.5 + i
        hdus.append(e)
    if table:
        hdus.append(fits.BinTableHDU.from_columns([fits.Column("x", "E", array=np.arange(3.0))], name="EVENTS"))
    fits.HDUList(hdus).writeto(tmp_path / "m.fits", checksum=True)
    return tmp_path / "m.fits"


def test_tables_and_empty_primary_refused_then_allowed(tmp_path, capsys):
    src = mef(tmp_path)
    assert cli.main(["convert", str(src), str(tmp_path / "m.f0")]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[0].endswith("HDU 2 (BinTableHDU, EXTNAME EVENTS): a table, which F0 files cannot hold")
    assert err[-1].endswith("not converted: 1 HDU would be left out (--allow-loss converts the images alone)")
    assert not (tmp_path / "m.f0").exists()
    assert cli.main(["convert", str(src), str(tmp_path / "m.f0"), "--allow-loss"]) == 0
    assert "left out: HDU 2 (BinTableHDU, EXTNAME EVENTS)" in capsys.readouterr().err
    md = pyzeb.read_header(tmp_path / "m.f0").metadata
    assert ["TARGNAME", "NGC 1", ""] in md["fits_primary"]
    assert not any(c[0] == "TARGNAME" for c in md["fits"])  # no INHERIT: the extension's own cards only


def test_inherit_extension_by_name_round_trip(tmp_path):
    src = mef(tmp_path, inherit=True, table=False, images=2)
    assert cli.main(["convert", str(src), str(tmp_path / "a.f0"), "--hdu", "amp,2", "--allow-loss"]) == 0
    h = pyzeb.fits_header(tmp_path / "a.f0")
    assert (h["TARGNAME"], h["GAIN"], h["EXTVER"]) == ("NGC 1", 2.5, 2)
    # back: the primary header, then the extension with its own cards
    assert cli.main(["convert", str(tmp_path / "a.f0"), str(tmp_path / "b.fits")]) == 0
    with fits.open(tmp_path / "b.fits") as f, fits.open(src) as o:
        assert len(f) == 2 and "TARGNAME" not in f[1].header
        d = fits.HeaderDiff(o[2].header, f[1].header, ignore_keywords=["CHECKSUM", "DATASUM"])
        assert d.identical, d.report()
        assert fits.HeaderDiff(o[0].header, f[0].header, ignore_keywords=["CHECKSUM", "DATASUM"]).identical
    checked(tmp_path / "b.fits")


def test_all_hdus_gzip_and_folders(tmp_path):
    src = mef(tmp_path, table=False, images=2)
    (tmp_path / "arc" / "sub").mkdir(parents=True)
    gz = tmp_path / "arc" / "m.FITS.GZ"
    gz.write_bytes(gzip.compress(src.read_bytes()))
    fits.PrimaryHDU(np.ones((2, 2), np.float32)).writeto(tmp_path / "arc" / "sub" / "x.fts")
    assert cli.main(["convert", str(gz), str(tmp_path / "out.f0"), "--hdu", "1"]) == 1  # HDU 2 left out
    assert cli.main(["convert", str(gz), str(tmp_path / "out.f0"), "--all-hdus"]) == 0
    for i in (1, 2):
        assert np.array_equal(pyzeb.read(tmp_path / f"out-hdu{i}.f0"), np.arange(12).reshape(3, 4) + i - 1)
    assert cli.main(["convert", "-r", str(tmp_path / "arc"), "--to", "f0", "-o", str(tmp_path / "dir"),
                     "--all-hdus"]) == 0
    found = sorted(str(p.relative_to(tmp_path / "dir")) for p in (tmp_path / "dir").rglob("*.f0"))
    assert found == ["m-hdu1.f0", "m-hdu2.f0", "sub/x-hdu0.f0"]


@pytest.mark.parametrize("cards", [600, 2000])
def test_large_headers_deflated_or_refused(tmp_path, cards, capsys):
    a, h = image(np.int16)
    for i in range(cards):
        h.header[f"HIERARCH ESO DET CHIP{i} GAIN"] = (1.0 + i / 1000, f"chip {i} e-/ADU")
    h.header["LONGSTR"] = "x" * 150
    h.writeto(tmp_path / "big.fits", checksum=True)
    status = cli.main(["convert", str(tmp_path / "big.fits"), str(tmp_path / "big.f0")])
    if cards == 2000:
        assert status == 1
        assert "deflated bytes fit in the header" in capsys.readouterr().err
        return
    assert status == 0
    got = pyzeb.fits_header(tmp_path / "big.f0")
    assert got["ESO DET CHIP599 GAIN"] == 1.599 and got["LONGSTR"] == "x" * 150
    assert _pyzeb.fzread(str(tmp_path / "big.f0"))["data"].shape == a.shape
    assert cli.main(["convert", str(tmp_path / "big.f0"), str(tmp_path / "back.fits")]) == 0
    same(tmp_path / "big.fits", tmp_path / "back.fits")
    checked(tmp_path / "back.fits")


def test_empty_primary_and_one_extension_round_trip(tmp_path):
    src = mef(tmp_path, table=False)
    gz = tmp_path / "e.fits.gz"
    gz.write_bytes(gzip.compress(src.read_bytes()))
    assert cli.main(["convert", str(gz), str(tmp_path / "e.f0")]) == 0  # the empty primary is kept as cards
    assert cli.main(["convert", str(tmp_path / "e.f0"), str(tmp_path / "back.fits")]) == 0
    same(src, tmp_path / "back.fits")
    checked(tmp_path / "back.fits")


def test_convert_quantize_no_sync_and_info(tmp_path, capsys):
    a = np.random.default_rng(4).normal(50, 3, (32, 32)).astype(np.float32)
    np.save(tmp_path / "n.npy", a)
    assert cli.main(["convert", str(tmp_path / "n.npy"), str(tmp_path / "n.f0"), "--quantize", "4",
                     "--no-sync"]) == 0
    assert np.abs(pyzeb.read(tmp_path / "n.f0") - a).max() <= pyzeb.read_header(tmp_path / "n.f0") \
        .quantization_step / 2 * 1.0001
    capsys.readouterr()
    assert cli.main(["info", str(tmp_path / "n.f0")]) == 0
    assert "quantized (step " in capsys.readouterr().out
    assert cli.main(["convert", str(tmp_path / "n.f0"), str(tmp_path / "n.npy"), "--quantize", "4"]) == 2


def test_diff_folders_and_keywords_one_line_each(tmp_path, capsys):
    for side, date in (("a", "2024-01-01"), ("b", "2024-01-02")):
        (tmp_path / side / "sub").mkdir(parents=True)
        md = {"fits": [["OBJECT", "M31", ""], ["DATE-OBS", date, ""], ["EXPTIME", 30.0, "s"]]}
        pyzeb.write(tmp_path / side / "sub" / "x.f0", np.arange(6, dtype=np.int16), metadata=md)
        pyzeb.write(tmp_path / side / "same.f0", np.arange(3, dtype=np.int8))
    pyzeb.write(tmp_path / "a" / "lonely.f0", np.arange(3, dtype=np.int8))
    capsys.readouterr()
    assert cli.main(["diff", str(tmp_path / "a"), str(tmp_path / "b")]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"only in {tmp_path / 'a'}: lonely.f0"
    assert out[2:] == ["  keyword DATE-OBS: '2024-01-01' and '2024-01-02'",
                       "2 pairs compared: 1 differ, 1 files on one side only"]
    (tmp_path / "a" / "lonely.f0").unlink()
    (tmp_path / "b" / "sub" / "x.f0").unlink()
    (tmp_path / "a" / "sub" / "x.f0").unlink()
    assert cli.main(["diff", "-q", str(tmp_path / "a"), str(tmp_path / "b")]) == 0


def test_preview_nan_in_its_own_colour(tmp_path):
    pytest.importorskip("PIL")
    pytest.importorskip("matplotlib")
    from PIL import Image
    a = np.linspace(0, 1, 64, dtype=np.float32).reshape(8, 8)
    a[0, 0] = np.nan
    pyzeb.write(tmp_path / "n.f0", a)
    for extra, want in ((["--cmap", "viridis"], (0, 0, 0)), (["--nan-color", "#ff0000"], (255, 0, 0))):
        assert cli.main(["preview", str(tmp_path / "n.f0"), "-o", str(tmp_path / "n.png"), "--origin", "upper",
                         *extra]) == 0
        with Image.open(tmp_path / "n.png") as im:
            px = np.asarray(im.convert("RGB"))
        assert tuple(px[0, 0]) == want and tuple(px[0, 1]) != want


def test_scaled_float_image_gives_physical_values(tmp_path):
    h = fits.PrimaryHDU(np.ones((2, 3), np.float32))
    h.header["XBSCALE"], h.header["XBZERO"] = 2.0, 0.5
    raw_write([h], tmp_path / "f.fits")
    assert cli.main(["convert", str(tmp_path / "f.fits"), str(tmp_path / "f.f0")]) == 0
    assert np.array_equal(pyzeb.read(tmp_path / "f.f0"), np.full((2, 3), 2.5, np.float32))
