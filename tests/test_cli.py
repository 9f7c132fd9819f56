"""The zeb command through its real entry points: output and exit status of each
sub-command and of each class of bad input, conversions, recompression, previews."""
import json
import os
import re
import stat
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import pyzeb
from f0build import f0_file
from pyzeb import cli
from pyzeb.cli import _common, verify
from platforms import needs, posix_only

TEXT = "dark frame, 20 s"


def zeb(*args, cwd=None, env=None, script=False):
    """Runs the command; (exit status, stdout bytes, stderr text)."""
    cmd = [str(Path(sys.executable).with_name("zeb"))] if script else [sys.executable, "-m", "pyzeb"]
    r = subprocess.run(cmd + [str(a) for a in args], capture_output=True, cwd=cwd, env=env, timeout=300)
    err = r.stderr.decode()
    assert "Traceback" not in err
    return r.returncode, r.stdout, err


def frame(shape=(64, 80), dtype=np.int16, seed=0):
    return (np.random.default_rng(seed).poisson(200, shape) - 50).astype(dtype)


@pytest.fixture
def tree(tmp_path):
    """a.f0 (compressed), b.f0 (raw float32 cube), sub/c.f0, and t.f0, whose
    stream is cut short after its headers (damaged, but its headers read)."""
    pyzeb.write(tmp_path / "a.f0", frame(), header=TEXT)
    pyzeb.write(tmp_path / "b.f0", frame((2, 8, 6), np.float32), compress=False, header="cube")
    (tmp_path / "sub").mkdir()
    pyzeb.write(tmp_path / "sub" / "c.f0", frame(seed=1))
    whole = pyzeb.encode(frame(seed=2))
    (tmp_path / "sub" / "t.f0").write_bytes(whole[:len(whole) // 2])
    (tmp_path / "notes.txt").write_text("not an F0 file")
    return tmp_path


@pytest.mark.parametrize("args,status,out,err", [
    (["--version"], 0, rf"zeb \(pyzeb\) {re.escape(pyzeb.__version__)}\n", ""),
    (["info", "a.f0"], 0, rf"a.f0  \(64, 80\) int16  crunch type [02] \((plain|run-length)\) slice \d+  \d+ bytes  ratio \d\.\d\d  checksum  \"{TEXT}\"\n$", ""),
    (["info", "."], 0, r"^./a.f0 .*\n./b.f0  \(2, 8, 6\) float32  raw little-endian  1408 bytes  ratio 1.00  checksum  \"cube\"\n$", ""),
    (["info", "-r", "sub/t.f0", "."], 0, r"^sub/t.f0 .*\n./a.f0 .*\n./b.f0 .*\n./sub/c.f0 .*\n./sub/t.f0 [^\n]*\n$", ""),
    (["header", "a.f0"], 0, f"^{TEXT}\n$", ""),
    (["verify", "a.f0", "b.f0"], 0, r"^a.f0: sound, checksum verified\nb.f0: sound, checksum verified\n2 files checked, 2 sound \(2 verified by checksum, 0 without checksum \(decoded only\)\), 0 damaged\n$", ""),
    (["verify", "-r", "."], 1, r"\n./sub/t.f0: damaged: .+\n4 files checked, 3 sound \(3 verified by .*\), 1 damaged\n$", ""),
    # usage errors: one line, status 2
    ([], 2, "", r"^zeb: error: a command is required"),
    (["frobnicate"], 2, "", r"^zeb: error: argument COMMAND: invalid choice"),
    (["info", "--bogus", "a.f0"], 2, "", r"^zeb: error: unrecognized arguments: --bogus"),
    (["convert", "a.f0", "a.tiff"], 2, "", r"^zeb convert: error: OUT a.tiff: unknown extension"),
    (["convert", "a.f0", "a.npy", "--slice", "3"], 2, "", r"^zeb convert: error: --compress.*F0 output only"),
    (["convert", "a.npy", "a.f0", "--slice", "33"], 2, "", r"^zeb convert: error: argument --slice: slice 33"),
    (["convert", "a.f0", "a.npy", "--header", "x"], 2, "", r"^zeb convert: error: --header: a .npy file has no"),
    (["preview", "a.f0", "-o", "p.png", "--percentiles", "99", "1"], 2, "", r"^zeb preview: error: --perc"),
    (["preview", "a.f0"], 2, "", r"^zeb preview: error: the following arguments are required: -o"),
    # failures: one line naming the file, status 1
    (["info", "missing.f0"], 1, "", r"^zeb info: missing.f0: No such file or directory\n$"),
    (["info", "notes.txt", "a.f0"], 1, r"^a.f0 ", r"^zeb info: notes.txt: .+\n$"),
    (["header", "sub"], 0, r"^# sub/c.f0\n\n\n# sub/t.f0\n\n$", ""),
    (["header", "-r", "."], 0, r"^# ./a.f0\ndark frame, 20 s\n\n# ./b.f0\ncube\n\n# ./sub/c.f0\n\n\n# ./sub/t.f0\n\n$", ""),
    (["verify", "missing.f0", "a.f0"], 1, r"^a.f0: sound, checksum verified\n1 file checked, 1 sound \(1 .*\), 0 damaged\n$", r"^zeb verify: missing.f0: No such"),
    (["convert", "sub/t.f0", "t.npy"], 1, "", r"^zeb convert: sub/t.f0: .+\n$"),
    (["convert", "a.f0", "nodir/a.npy"], 1, "", r"^zeb convert: nodir/a.npy: No such file or directory\n$"),
    (["preview", "sub/t.f0", "-o", "p.png"], 1, "", r"^zeb preview: sub/t.f0: .+\n$"),
    (["preview", "b.f0", "-o", "p.png", "--plane", "2"], 1, "", r"^zeb preview: b.f0: plane 2 out of range"),
])
def test_command(tree, args, status, out, err):
    if args[:1] == ["preview"] and status == 1:
        pytest.importorskip("PIL")  # without Pillow preview stops at its install hint first
    code, stdout, stderr = zeb(*args, cwd=tree)
    assert code == status
    assert re.search(out, stdout.decode(), re.S) if out else stdout == b""
    assert re.search(err, stderr) and stderr.count("\n") == 1 if err else stderr == ""


def test_help_is_complete():
    parser = cli.build_parser()
    code, out, _ = zeb("--help", script=Path(sys.executable).with_name("zeb").exists())
    assert code == 0 and b"example:" in out
    commands = parser._subparsers._group_actions[0].choices
    for name, sub in commands.items():
        code, out, err = zeb(name, "--help")
        assert code == 0 and name.encode() in out and b"example:" in out
        for action in sub._actions:
            assert all(opt.encode() in out for opt in action.option_strings)
            assert action.help and (action.option_strings or action.metavar.encode() in out)

@posix_only

def test_progress_bar_only_on_a_terminal(tree):
    pytest.importorskip("tqdm")
    for i in range(_common.PROGRESS_MIN_FILES):
        pyzeb.write(tree / f"p{i}.f0", frame((8, 8), seed=i))
    import fcntl, pty, termios  # POSIX terminals only
    primary, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("4H", 24, 100, 0, 0))  # a terminal has a size
    p = subprocess.Popen([sys.executable, "-m", "pyzeb", "verify", tree], stdout=subprocess.PIPE, stderr=secondary)
    os.close(secondary)
    bar = b""
    while chunk := _read_terminal(primary):
        bar += chunk
    os.close(primary)
    assert p.wait(timeout=300) == 0 and p.communicate()[0].endswith(b"\n10 files checked, 10 sound (10 verified "
                                                                    b"by checksum, 0 without checksum (decoded only))"
                                                                    b", 0 damaged\n")
    assert b"| 0/10 [" in bar and b"Traceback" not in bar


def _read_terminal(fd):
    try:
        return os.read(fd, 65536)
    except OSError:  # the other side has closed
        return b""


def test_json_lines_and_header_bytes(tree):
    odd = tree / "odd.f0"
    odd.write_bytes(f0_file(1, [2], bytes(4), text=b"caf\xe9\ttab"))
    code, out, _ = zeb("info", "--json", "a.f0", "odd.f0", cwd=tree)
    rows = [json.loads(line) for line in out.splitlines()]
    assert code == 0 and len(rows) == 2
    h = pyzeb.read_header(tree / "a.f0")
    assert rows[0] | {"file": "a.f0"} == rows[0] and rows[0]["shape"] == [64, 80] and rows[0]["text"] == TEXT
    assert (rows[0]["compressed"], rows[0]["slice"], rows[0]["data_size"]) == (True, h.slice, h.data_size)
    assert rows[0]["file_size"] == (tree / "a.f0").stat().st_size and rows[1]["text"] == "caf\\xe9\ttab"
    assert zeb("header", "odd.f0", cwd=tree)[1] == b"caf\xe9\ttab\n"
    assert zeb("info", "odd.f0", cwd=tree)[1].endswith(b'"caf\\xe9\\ttab"\n')


def test_closed_pipe_and_interrupt_end_quietly(tree, monkeypatch, capsys):
    names = " ".join(["a.f0"] * 3000)
    r = subprocess.run(f"{sys.executable} -m pyzeb info {names} | head -1", shell=True, cwd=tree,
                       capture_output=True, text=True, timeout=300)
    assert r.stdout.startswith("a.f0 ") and r.stderr == ""

    def interrupted(args, out):
        raise KeyboardInterrupt
    monkeypatch.setattr(verify, "run", interrupted)
    assert cli.main(["verify", str(tree)]) == 130
    assert capsys.readouterr().err == "zeb: interrupted\n"


@pytest.fixture
def without(tmp_path):
    """An environment in which the named modules cannot be imported."""
    def env(*modules):
        blocker = tmp_path / "blocker"
        for m in modules:
            (blocker / m).mkdir(parents=True)
            (blocker / m / "__init__.py").write_text("raise ImportError('blocked for a test')\n")
        path = os.pathsep.join(filter(None, [str(blocker), os.environ.get("PYTHONPATH")]))
        return dict(os.environ, PYTHONPATH=path)
    return env


@pytest.mark.parametrize("args,module,message", [
    (["convert", "a.f0", "a.fits"], "astropy", "FITS conversion needs astropy: pip install 'pyzeb[fits]'"),
    (["preview", "a.f0", "-o", "p.png"], "PIL", "preview needs Pillow: pip install 'pyzeb[cli]'"),
    # preview asks for Pillow first
    pytest.param(["preview", "a.f0", "-o", "p.png", "--cmap", "gray"], "matplotlib",
                 "--cmap needs matplotlib: pip install", marks=needs("PIL")),
    pytest.param(["preview", "a.f0", "-o", "p.png", "--log"], "astropy",
                 "--stretch log needs astropy: pip install 'pyzeb[fits]'", marks=needs("PIL")),
    pytest.param(["preview", "a.f0", "-o", "p.png", "--interval", "zscale"], "astropy",
                 "--interval zscale needs astropy: pip", marks=needs("PIL")),
])
def test_missing_optional_dependency(tree, without, args, module, message):
    code, out, err = zeb(*args, cwd=tree, env=without(module))
    assert code == 1 and out == b"" and err.startswith(f"zeb {args[0]}: {message}")
    assert not any(p.name.startswith(("a.fits", "p.png", ".")) for p in tree.iterdir() if p.is_file())


@pytest.mark.parametrize("fmt", ["npy", pytest.param("fits", marks=needs("astropy"))])
@pytest.mark.parametrize("dtype", ["i1", "i2", "i4", "i8", "f4", "f8"])
def test_convert_round_trip(tmp_path, capsys, fmt, dtype):
    a = frame((3, 5, 7), dtype)
    a.flat[::7] = np.iinfo(dtype).min if a.dtype.kind == "i" else np.nan
    src, mid, back = tmp_path / "a.f0", tmp_path / f"a.{fmt}", tmp_path / "b.f0"
    pyzeb.write(src, a, header="caf\udce9 \\ text")
    assert cli.main(["convert", str(src), str(mid)]) == 0
    assert cli.main(["convert", str(mid), str(back), "--slice", "4"]) == 0
    b = pyzeb.read(back)
    assert b.dtype == a.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    h = pyzeb.read_header(back)
    assert h.text == ("caf\udce9 \\ text" if fmt == "fits" else "")
    assert not h.compressed or h.slice == 4
    assert capsys.readouterr() == ("", "") and sorted(os.listdir(tmp_path)) == ["a.f0", f"a.{fmt}", "b.f0"]


@needs("astropy")
def test_convert_keeps_unsigned_and_fits_text(tmp_path):
    from astropy.io import fits
    u = np.arange(6, dtype=np.uint16).reshape(2, 3) + 65000
    fits.PrimaryHDU(u).writeto(tmp_path / "u.fits")
    np.save(tmp_path / "u8.npy", u.astype(np.uint8))
    assert cli.main(["convert", str(tmp_path / "u.fits"), str(tmp_path / "u.f0"), "--header", "kept"]) == 0
    assert cli.main(["convert", str(tmp_path / "u8.npy"), str(tmp_path / "u8.f0"), "--no-compress"]) == 0
    a, b = pyzeb.read(tmp_path / "u.f0"), pyzeb.read(tmp_path / "u8.f0")
    assert (a.dtype, b.dtype) == (np.uint16, np.uint8) and np.array_equal(a, u) and np.array_equal(b, u % 256)
    assert pyzeb.read_header(tmp_path / "u.f0").text == "kept" and not pyzeb.read_header(tmp_path / "u8.f0").compressed
    np.save(tmp_path / "c.npy", np.zeros(3, complex))
    assert cli.main(["convert", str(tmp_path / "c.npy"), str(tmp_path / "c.f0")]) == 1
    assert not (tmp_path / "c.f0").exists()

@posix_only

def test_recompress(tmp_path):
    raw = tmp_path / "raw.f0"
    pyzeb.write(raw, frame(), compress=False, header=TEXT)
    os.chmod(raw, 0o640)
    (tmp_path / "link.f0").symlink_to("raw.f0")
    best = tmp_path / "best.f0"
    pyzeb.write(best, frame(seed=3))
    extra = tmp_path / "extra.f0"
    extra.write_bytes(f0_file(1, [80, 64], frame().tobytes(), header_blocks=2))
    before = {p.name: p.read_bytes() for p in (raw, best, extra)}

    code, out, err = zeb("recompress", "--dry-run", tmp_path)
    assert code == 0 and err == "" and {p.name: p.read_bytes() for p in (raw, best, extra)} == before
    lines = out.decode().splitlines()
    assert "best.f0: " in lines[0] and lines[0].endswith("kept: already as small")
    assert lines[1].endswith("kept: its 1 extra header blocks would be lost")
    assert re.fullmatch(r".*link.f0: 11264 -> \d+ bytes, would be rewritten", lines[2])
    assert re.fullmatch(r".*raw.f0: 11264 -> 11264 bytes, kept: the same file as .*link.f0", lines[3])
    assert re.fullmatch(r"4 files, 1 to rewrite, would free \d+ bytes \(.*\)", lines[-1])

    code, out, err = zeb("recompress", raw, best)
    assert code == 0 and err == ""
    saved = len(before["raw.f0"]) - raw.stat().st_size
    assert saved > 0 and out.decode().splitlines()[-1].startswith(f"2 files, 1 rewritten, freed {saved} bytes")
    assert raw.read_bytes() == pyzeb.encode(frame(), header=TEXT) and best.read_bytes() == before["best.f0"]
    assert stat.S_IMODE(raw.stat().st_mode) == 0o640 and (tmp_path / "link.f0").is_symlink()


@needs("PIL", "astropy", "matplotlib")
def test_preview_image(tmp_path):
    from PIL import Image
    cube = np.zeros((2, 40, 60), np.float32)
    cube[0, 5:15, 40:55] = 1000        # a bright patch top right in plane 0 ...
    cube[1, 30:38, 2:10] = 1000        # ... bottom left in plane 1
    cube += np.random.default_rng(0).random(cube.shape).astype(np.float32)
    cube[0, 0, 0] = np.nan
    pyzeb.write(tmp_path / "c.f0", cube)
    for plane, args, mode, (rows, cols) in [(0, ["--origin", "upper"], "L", (slice(5, 15), slice(40, 55))),
                                            (1, ["--log", "--cmap", "viridis"], "RGB", (slice(2, 10), slice(2, 10)))]:
        png = tmp_path / f"p{plane}.png"
        code, out, err = zeb("preview", tmp_path / "c.f0", "-o", png, "--plane", plane, *args)
        assert (code, out, err) == (0, f"{png}\n".encode(), "")
        im = Image.open(png)
        assert im.size == (60, 40) and im.mode == mode and im.format == "PNG"
        v = np.asarray(im.convert("L"), np.float64)
        inside = np.zeros(v.shape, bool)
        inside[rows, cols] = True
        assert v.std() > 0 and v[inside].mean() > v[~inside].mean() + 100

