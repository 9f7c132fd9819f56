"""The zeb command on whole archives: folders, FIFOs, leftover temporary files,
many files per run, odd names, recompress's bookkeeping, diff, stats, preview
and Ctrl-C, through the real entry points."""
import base64
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import pyzeb
from pyzeb import cli
from pyzeb.cli import _common, diff as cli_diff, stats as cli_stats
from platforms import missing, needs

ZEB = [sys.executable, "-m", "pyzeb"]
SCRIPT = [str(Path(sys.executable).with_name("zeb"))]


def zeb(*args, cwd=None, env=None, cmd=ZEB):
    """(exit status, stdout bytes, stderr text); a run that blocks fails the test."""
    r = subprocess.run(cmd + [os.fsencode(a) if isinstance(a, (str, bytes, Path)) else str(a) for a in args],
                       capture_output=True, cwd=cwd, env=env, timeout=60)
    err = r.stderr.decode()
    assert "Traceback" not in err and "Warning" not in err
    return r.returncode, r.stdout, err


def png(path):
    from PIL import Image
    with Image.open(path) as im:
        return np.asarray(im, np.float64)


def frame(shape=(32, 40), dtype=np.int16, seed=0):
    return (np.random.default_rng(seed).poisson(200, shape) - 50).astype(dtype)


@pytest.fixture
def night(tmp_path):
    """night/a/1.f0, night/b/2.F0 (upper case), night/b/fifo.f0 (a FIFO),
    night/b/.2.F0.0123456789ab.tmp (left by an interrupted write), empty/."""
    for sub, f in (("a", "1.f0"), ("b", "2.F0")):
        (tmp_path / "night" / sub).mkdir(parents=True)
        pyzeb.write(tmp_path / "night" / sub / f, frame(seed=len(f)))
    if hasattr(os, "mkfifo"):  # not on Windows
        os.mkfifo(tmp_path / "night" / "b" / "fifo.f0")
    (tmp_path / "night" / "b" / ".2.F0.0123456789ab.tmp").write_bytes(bytes(3000))
    (tmp_path / "empty").mkdir()
    return tmp_path


TMP_LINE = r"night/b/\.2\.F0\.0123456789ab\.tmp: temporary file of an interrupted write, [\d.]+ \w+ on disk"


@pytest.mark.parametrize("args,status,out,err", [
    (["info", "night"], 1, "", r"^zeb info: night: no F0 files here; 2 subdirectories, use -r\n$"),
    (["verify", "night"], 1, r"^0 files checked", r"^zeb verify: night: no F0 files here; 2 subdirectories"),
    (["info", "empty"], 1, "", r"^zeb info: no F0 files found in empty\n$"),
    (["stats", "empty", "night/a"], 0, r"^night/a/1.f0  \(32, 40\) int16  min", ""),
    (["info", "-r", "night"], 0, r"^night/a/1.f0 .*\nnight/b/2.F0 [^\n]*\n$", r"^zeb info: night/b/fifo.f0: skipped: a FIFO\n$"),
    (["verify", "-r", "night"], 0, rf"\n{TMP_LINE}\n2 files checked, 2 sound \(.*\), 0 damaged, 1 temporary file of interrupted writes\n$",
     r"^zeb verify: night/b/fifo.f0: skipped: a FIFO\n$"),
    (["verify", "-r", "night", "--remove-temporary"], 0, rf"\n{TMP_LINE}, kept: changed \d+ s ago, a write may be in", "FIFO"),
    # a FIFO named is refused at once, never opened
    (["info", "night/b/fifo.f0"], 1, "", r"^zeb info: night/b/fifo.f0: not a regular file but a FIFO; skipped\n$"),
    (["verify", "night/b/fifo.f0"], 1, r"^0 files checked", r"^zeb verify: night/b/fifo.f0: not a regular file but a FIFO"),
    (["header", "night/b/fifo.f0"], 1, "", r"^zeb header: night/b/fifo.f0: not a regular file but a FIFO\n$"),
    (["convert", "night/b/fifo.f0", "x.npy"], 1, "", r"^zeb convert: night/b/fifo.f0: not a regular file but a FIFO\n$"),
    pytest.param(["preview", "night/b/fifo.f0", "-o", "x.png"], 1, "", r"^zeb preview: night/b/fifo.f0: not a regular file",
                 marks=needs("PIL")),  # preview asks for Pillow first
    (["diff", "night/a/1.f0", "night/b/fifo.f0"], 2, "", r"^zeb diff: night/b/fifo.f0: not a regular file but a FIFO\n$"),
    (["recompress", "night/b/fifo.f0"], 1, r"^0 files", r"^zeb recompress: night/b/fifo.f0: not a regular file"),
    (["convert", "night/a/1.f0", "night/b/fifo.f0", "x.npy"], 2, "", r"^zeb convert: error: convert IN OUT, or"),
])
def test_folders_and_fifos(night, args, status, out, err):
    code, stdout, stderr = zeb(*args, cwd=night)
    assert code == status
    assert re.search(out, stdout.decode(), re.S) if out else stdout == b""
    assert re.search(err, stderr) if err else stderr == ""


def test_remove_temporary_spares_young_files(night):
    old, young = night / "night" / "b" / ".2.F0.0123456789ab.tmp", night / "night" / "a" / ".1.f0.ffffffffffff.tmp"
    young.write_bytes(b"x")
    os.utime(old, (time.time() - 3600,) * 2)
    code, out, _ = zeb("verify", "-r", "night", "--remove-temporary", cwd=night)
    lines = out.decode().splitlines()
    assert code == 0 and re.search(r", kept: changed \d+ s ago, a write may be in progress$", lines[-3])
    assert lines[-2].endswith(", removed") and lines[-1].endswith("2 temporary files of interrupted writes")
    assert not old.exists() and young.exists()


# names that could forge lines or are not UTF-8, as the shell's $'...' quotes show them
ODD_NAMES = [(b"new\nline.f0", r"$'new\nline.f0'"), (b"bell\x07\t.f0", r"$'bell\x07\t.f0'"),
             (b"caf\xe9.f0", r"$'caf\xe9.f0'"), (b"it's \\ fine.f0", "it's \\ fine.f0"),
             (b"$'x'.f0", r"$'$\'x\'.f0'"), ("\u00e9t\u00e9 \u2028.f0".encode(), "$'\u00e9t\u00e9 \\u2028.f0'")]


@pytest.mark.parametrize("raw,quoted", ODD_NAMES)
def test_odd_names(tmp_path, raw, quoted):
    pyzeb.write(os.path.join(os.fsencode(tmp_path), raw), frame((4, 6)))
    code, out, _ = zeb("info", raw, cwd=tmp_path)
    assert code == 0 and out.count(b"\n") == 1 and out.decode().startswith(f"{quoted}  (4, 6) int16 ")
    if quoted.startswith("$'"):  # the shell reads the quoted form back as the very name
        assert subprocess.run(["bash", "-c", f"printf %s {quoted}"], capture_output=True).stdout == raw
    code, out, _ = zeb("info", "--json", raw, cwd=tmp_path)
    row = json.loads(out.decode("utf-8"))  # valid UTF-8 whatever the name
    exact = base64.b64decode(row["file_bytes"]) if "file_bytes" in row else row["file"].encode()
    assert exact == raw and row["shape"] == [4, 6] and row["dims"] == [6, 4]
    assert len(os.listdir(tmp_path)) == 1


@needs("astropy", "PIL")
def test_convert_and_preview_many_files(tmp_path, capsys):
    (tmp_path / "in" / "sub").mkdir(parents=True)
    for p, seed in (("in/x.f0", 1), ("in/sub/y.f0", 2)):
        pyzeb.write(tmp_path / p, frame(seed=seed), header=p)
    np.save(tmp_path / "z.npy", frame(seed=3).astype(np.uint16))
    src = [str(tmp_path / "in"), str(tmp_path / "z.npy")]
    assert cli.main(["convert", "-r", *src, "--to", "fits", "-o", str(tmp_path / "out")]) == 0
    assert capsys.readouterr().out == "3 files: 3 converted, 0 failed\n"
    # --to f0 searches folders for FITS files
    assert cli.main(["convert", "-r", str(tmp_path / "out"), "--to", "f0", "-o", str(tmp_path / "back"), "--slice", "3"]) == 0
    assert sorted(str(p.relative_to(tmp_path / "back")) for p in (tmp_path / "back").rglob("*.f0")) == [
        "sub/y.f0", "x.f0", "z.f0"]
    assert cli.main(["convert", "-r", str(tmp_path / "in"), "--to", "f0", "-o", str(tmp_path / "b2")]) == 1
    assert re.fullmatch(r"zeb convert: no FITS files found in .*/in\n", capsys.readouterr().err)
    fits = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*"))
    assert fits == ["sub", "sub/y.fits", "x.fits", "z.fits"]
    for f, seed in (("x", 1), ("sub/y", 2)):
        assert cli.main(["convert", str(tmp_path / "out" / f"{f}.fits"), str(tmp_path / "b.f0")]) == 0
        assert np.array_equal(pyzeb.read(tmp_path / "b.f0"), frame(seed=seed))
        assert pyzeb.read_header(tmp_path / "b.f0").text == f"in/{f}.f0"
    # two inputs that would write one output: refused before anything is written
    pyzeb.write(tmp_path / "x.f0", frame())
    code, _, err = zeb("convert", "in/x.f0", "x.f0", "--to", "npy", "-o", "o2", cwd=tmp_path)
    assert code == 2 and "in/x.f0 and x.f0 would both be written to o2/x.npy" in err and not (tmp_path / "o2").exists()
    code, out, err = zeb("preview", "-r", "in", "-o", "png", "--max-size", "16", cwd=tmp_path)
    assert (code, out.decode().splitlines(), err) == (0, ["png/x.png", "png/sub/y.png"], "")
    assert png(tmp_path / "png" / "sub" / "y.png").shape == (11, 14)  # 32 x 40 in blocks of 3


def test_messages_for_bad_inputs(tmp_path):
    np.savez(tmp_path / "a.npz", a=frame())
    os.rename(tmp_path / "a.npz", tmp_path / "a.npy")
    (tmp_path / "t.npy").write_text("not numpy")
    np.save(tmp_path / "c.npy", np.zeros((2, 2), complex))
    pyzeb.write(tmp_path / "e.f0", np.zeros((0, 5), np.int16))
    cases = [(["convert", "a.npy", "a.f0"], "a.npy: an .npz archive of arrays, not a .npy file", "numpy"),
             (["convert", "t.npy", "a.f0"], "t.npy: not a NumPy .npy file", "numpy"),
             (["convert", "c.npy", "c.fits"], "c.fits: a FITS image cannot hold complex128 data", "astropy"),
             (["convert", "c.npy", "c.f0"], "c.f0: cannot store an array of dtype complex128", "numpy"),
             (["preview", "e.f0", "-o", "e.png"], "e.f0: nothing to show: the array has shape (0, 5)", "PIL")]
    for args, message, module in cases:
        if missing(module):
            continue  # the command asks for that optional package first
        code, out, err = zeb(*args, cwd=tmp_path)
        assert (code, out) == (1, b"") and err.startswith(f"zeb {args[0]}: {message}") and err.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == ["a.npy", "c.npy", "e.f0", "t.npy"]


@needs("astropy")
def test_fits_text_with_backslashes(tmp_path, capsys):
    from astropy.io import fits
    hdu = fits.PrimaryHDU(frame((3, 4)))
    hdu.header["F0TEXT"] = r"C:\data\x and \\ twice"
    hdu.writeto(tmp_path / "w.fits")
    assert cli.main(["convert", str(tmp_path / "w.fits"), str(tmp_path / "w.f0")]) == 0
    assert pyzeb.read_header(tmp_path / "w.f0").text == r"C:\data\x and \ twice"
    for text in ("C:\\data\\x\\x41", "tab\there \\n \udce9", "long " * 13):  # pyzeb's own escapes come back exactly
        pyzeb.write(tmp_path / "s.f0", frame((3, 4)), header=text)
        assert cli.main(["convert", str(tmp_path / "s.f0"), str(tmp_path / "s.fits")]) == 0
        assert cli.main(["convert", str(tmp_path / "s.fits"), str(tmp_path / "t.f0")]) == 0
        assert pyzeb.read_header(tmp_path / "t.f0").text == text
    assert capsys.readouterr() == ("", "")  # nothing printed, no warning either


def test_long_names_and_durable_outputs(tmp_path, monkeypatch):
    pyzeb.write(tmp_path / "a.f0", frame())
    calls = []
    real_fsync, real_replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: (calls.append("fsync"), real_fsync(fd))[1])
    monkeypatch.setattr(os, "replace", lambda a, b: (calls.append("replace"), real_replace(a, b))[1])
    done = 1
    for ext, cmd, module in ((".npy", "convert", "numpy"), (".fits", "convert", "astropy"), (".png", "preview", "PIL")):
        if missing(module):
            continue
        done += 1
        out = tmp_path / ("\u00e9" * 125 + "x" * (255 - 250 - len(ext)) + ext)  # 255 bytes of UTF-8
        assert len(os.fsencode(out.name)) == 255
        calls.clear()
        args = [str(tmp_path / "a.f0"), *(["-o"] if cmd == "preview" else []), str(out)]
        assert cli.main([cmd, *args]) == 0
        assert out.stat().st_size > 0 and calls[:2] == ["fsync", "replace"]
    assert len(os.listdir(tmp_path)) == done  # no temporary file left


def test_recompress_keeps_times_links_and_small_savings(tmp_path):
    raw = frame((64, 80))
    for n in ("t.f0", "h1.f0"):
        pyzeb.write(tmp_path / n, raw, compress=False)
    os.link(tmp_path / "h1.f0", tmp_path / "h2.f0")
    pyzeb.write(tmp_path / "near.f0", raw, compress=5)   # the best stream saves a little only
    os.utime(tmp_path / "t.f0", ns=(1_000_000_000_123_456_789, 1_100_000_000_987_654_321))
    sizes = {p.name: p.stat().st_size for p in tmp_path.iterdir()}
    best = len(pyzeb.encode(raw))
    near = 100 * (sizes["near.f0"] - best) / sizes["near.f0"]

    code, out, _ = zeb("recompress", ".", "--min-saving", f"{near + 0.01:.2f}", cwd=tmp_path)
    lines = out.decode().splitlines()
    assert code == 0 and lines[0].startswith("./h1.f0: 11264 -> 11264 bytes, kept: it has 2 hard links")
    assert lines[2] == f"./near.f0: {sizes['near.f0']} -> {sizes['near.f0']} bytes, kept: would save only {near:.2f}%"
    assert lines[3] == f"./t.f0: 11264 -> {best} bytes, rewritten"
    assert lines[4] == f"4 files, 1 rewritten, freed {11264 - best} bytes ({_common.human(11264 - best)})"
    st = (tmp_path / "t.f0").stat()
    assert (st.st_atime_ns, st.st_mtime_ns) == (1_000_000_000_123_456_789, 1_100_000_000_987_654_321)

    # both names of a linked file rewritten: its space is freed once, each new copy costs its size
    code, out, _ = zeb("recompress", "h1.f0", "h2.f0", "--break-links", "-n", cwd=tmp_path)
    assert out.decode().splitlines()[-1].startswith(f"2 files, 2 to rewrite, would free {11264 - 2 * best} bytes")
    code, out, _ = zeb("recompress", "h1.f0", "--break-links", cwd=tmp_path)
    assert out.decode().splitlines()[-1].startswith(f"1 file, 1 rewritten, freed {-best} bytes")
    assert (tmp_path / "h2.f0").stat().st_size == 11264 and (tmp_path / "h1.f0").stat().st_nlink == 1


def test_diff(tmp_path):
    a = np.arange(24, dtype=np.float32).reshape(4, 6)
    a[0, 0] = np.nan
    b = a.copy()
    b[2, 3] += 0.25
    b[3, 5] = np.inf
    pyzeb.write(tmp_path / "a.f0", a, header="one")
    pyzeb.write(tmp_path / "a2.f0", a, header="one", compress=False)
    pyzeb.write(tmp_path / "b.f0", b, header="two")
    pyzeb.write(tmp_path / "i.f0", np.array([[1, 2], [3, -32768]], np.int16))
    pyzeb.write(tmp_path / "j.f0", np.array([[1, 2], [3, 32767]], np.int16))
    np.save(tmp_path / "a.npy", a)
    cases = [
        (["a.f0", "a2.f0"], 0, "a.f0 and a2.f0: no differences\n"),
        (["a.f0", "b.f0"], 1, 'a.f0 and b.f0 differ:\n  header text: "one" and "two"\n'
                              "  data: 2 of 24 elements differ; largest difference inf at (3, 5): 23.0 and inf\n"),
        (["a.f0", "b.f0", "--atol", "0.5"], 1, "data: 1 of 24 elements differ beyond rtol 0, atol 0.5; largest "
                                                "difference inf at (3, 5)"),
        (["a.f0", "a.npy"], 1, 'header text: "one" and ""\n'),
        (["i.f0", "j.f0"], 1, "data: 1 of 4 elements differ; largest difference 65535 at (1, 1): -32768 and 32767\n"),
        (["i.f0", "a.f0"], 1, "  shape: (2, 2) and (4, 6)\n  dtype: int16 and float32\n"),
        (["a.f0", "b.f0", "-q"], 1, ""),
        (["a.f0", "missing.f0"], 2, ""),
        (["a.f0", "b.f0", "--rtol", "-1"], 2, ""),
    ]
    for args, status, out in cases:
        code, stdout, _ = zeb("diff", *args, cwd=tmp_path)
        assert code == status and (out in stdout.decode() if out else stdout == b"")
    assert cli_diff.metadata_lines({"EXPTIME": 10, "A": 1}, {"EXPTIME": 20, "B": 2}, "x", "y") == \
        ["metadata EXPTIME: 10 and 20", "metadata only in x: A", "metadata only in y: B"]


@pytest.mark.parametrize("dtype", ["i1", "i2", "i4", "f4", "f8"])
def test_stats_match_numpy(tmp_path, monkeypatch, capsys, dtype):
    rng = np.random.default_rng(7)
    a = (rng.normal(50, 10, (3, 50, 61))).astype(dtype)
    if a.dtype.kind == "f":
        a[1, 2, 3], a[2, 0, 0] = np.nan, np.inf
    pyzeb.write(tmp_path / "a.f0", a)
    monkeypatch.setattr(cli_stats, "BAND", 200)  # many bands
    code = cli.main(["stats", "--json", str(tmp_path / "a.f0")])
    s = json.loads(capsys.readouterr().out)
    v = a[np.isfinite(a)].astype(np.float64)
    assert code == 0 and s["shape"] == [3, 50, 61] and s["count"] == v.size and s["nonfinite"] == a.size - v.size
    assert (s["min"], s["max"], s["median"]) == (v.min(), v.max(), np.median(v))
    assert s["mean"] == pytest.approx(v.mean(), rel=1e-12) and s["std"] == pytest.approx(v.std(), rel=1e-9)
    assert s["noise"] == pytest.approx(10, rel=0.1 if dtype != "i1" else 0.2)


def test_stats_in_bands(monkeypatch):
    a = np.random.default_rng(1).normal(0, 3, (40, 37)).astype(np.float32)
    whole = cli_stats.statistics(a)
    monkeypatch.setattr(cli_stats, "BAND", 37 * 3)
    banded = cli_stats.statistics(a)
    assert banded.keys() == whole.keys() and all(banded[k] == pytest.approx(whole[k]) for k in whole)
    # 64-bit extremes are exact, not rounded through float64
    for big in (np.array([[0, 2**64 - 1, 2**63 + 1]], np.uint64), np.array([[-2**63 + 1, 2**63 - 1]], np.int64)):
        s = cli_stats.statistics(big)
        assert (s["min"], s["max"]) == (int(big.min()), int(big.max()))


def test_preview_options(tmp_path):
    pytest.importorskip("astropy")
    img = np.zeros((300, 200), np.float64)
    img[:10, :] = 1e300           # row 0 side: far beyond float32
    img[150, 100] = np.inf
    img[10:20, :] = np.nan
    img[200:, :] = np.linspace(0, 100, 200)
    pyzeb.write(tmp_path / "x.f0", img)
    u = (np.arange(60 * 80).reshape(60, 80) * 13 % 65536).astype(np.uint16)
    np.save(tmp_path / "u.npy", u)
    for extra in ([], ["--stretch", "asinh"], ["--stretch", "sqrt", "--interval", "zscale"], ["--log"],
                  ["--origin", "upper", "--max-size", "0"]):
        code, out, err = zeb("preview", "x.f0", "-o", "x.png", "--max-size", "100", *extra, cwd=tmp_path,
                             env=dict(os.environ, PYTHONWARNINGS="error"))
        assert (code, err) == (0, "")
        v = png(tmp_path / "x.png")
        upper = "upper" in extra
        assert v.shape == ((300, 200) if upper else (100, 67))
        top = v[:10] if upper else v[-3:]   # the huge values: white, as the largest shown
        assert top.min() == 255 and v.std() > 10
    assert zeb("preview", "u.npy", "-o", "u.png", "--origin", "upper", cwd=tmp_path)[0] == 0
    g = png(tmp_path / "u.png")
    big = u >= 32768   # unsigned: the upper half is the brighter one
    assert g[big].mean() > g[~big].mean() + 100


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="peak memory read from /proc")
@pytest.mark.skipif("PYZEB_BUILD_DIR" in os.environ, reason="the sanitizer's shadow memory distorts the figures")
@needs("PIL")
def test_preview_peak_memory(tmp_path):
    """A 4096 x 4096 int16 frame (32 MiB) shown at 2048 px: the peak (VmHWM,
    which unlike ru_maxrss starts afresh in the new program) stays within 3
    times the frame, measured against a tiny frame's run."""
    big = np.random.default_rng(0).poisson(300, (4096, 4096)).astype(np.int16)
    pyzeb.write(tmp_path / "big.f0", big)
    pyzeb.write(tmp_path / "raw.f0", big, compress=False)
    pyzeb.write(tmp_path / "small.f0", big[:64, :64])
    del big
    code = ("import re, sys; from pyzeb.cli import main; assert main(sys.argv[1:]) == 0; "
            "print(re.search(r'VmHWM:\\s*(\\d+)', open('/proc/self/status').read())[1])")
    peak = {}
    for n in ("small", "big", "raw"):
        r = subprocess.run([sys.executable, "-c", code, "preview", f"{n}.f0", "-o", f"{n}.png"], cwd=tmp_path,
                           capture_output=True, text=True, timeout=120)
        peak[n] = int(r.stdout.split()[-1]) * 1024
    frame_bytes = 4096 * 4096 * 2
    print("preview peak over the frame:", {n: round((peak[n] - peak["small"]) / frame_bytes, 2) for n in peak})
    assert max(peak["big"], peak["raw"]) - peak["small"] < 3 * frame_bytes, peak


@pytest.fixture
def interrupter(tmp_path):
    """An environment in which the process sends itself SIGINT (as Ctrl-C
    does) when it first imports the named module."""
    hook = tmp_path / "hook"
    hook.mkdir()
    (hook / "sitecustomize.py").write_text(
        "import os, signal, sys\n"
        "class Hook:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == os.environ['INTERRUPT_AT']:\n"
        "            sys.meta_path.remove(self)\n"
        "            os.kill(os.getpid(), signal.SIGINT)\n"
        "sys.meta_path.insert(0, Hook())\n")
    path = os.pathsep.join(filter(None, [str(hook), os.environ.get("PYTHONPATH")]))
    return lambda module: dict(os.environ, PYTHONPATH=path, INTERRUPT_AT=module)


@pytest.mark.parametrize("cmd", [ZEB, SCRIPT], ids=["python -m pyzeb", "zeb"])
@pytest.mark.parametrize("module,args", [
    ("numpy", ["info", "a.f0"]), ("pyzeb._core", ["info", "a.f0"]), ("argparse", ["verify", "a.f0"]),
    pytest.param("astropy.io.fits", ["convert", "a.f0", "a.fits"], marks=needs("astropy")),
    pytest.param("PIL.PngImagePlugin", ["preview", "a.f0", "-o", "a.png"], marks=needs("PIL")),
])
def test_interrupted_at_any_moment(tmp_path, interrupter, cmd, module, args):
    pyzeb.write(tmp_path / "a.f0", frame())
    code, out, err = zeb(*args, cwd=tmp_path, env=interrupter(module), cmd=cmd)
    assert (code, out, err) == (130, b"", "zeb: interrupted\n")
    assert os.listdir(tmp_path) == ["a.f0", "hook"] or sorted(os.listdir(tmp_path)) == ["a.f0", "hook"]
