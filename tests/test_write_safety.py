"""Writes that lose nothing: racing writers, private temporary files, records
marked and renewed in place (maps stay valid, times and hard links kept), and
clear errors for deep metadata, odd thread counts and codec configurations."""
import json
import os
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import pyzeb
from clib import lib
from platforms import needs, posix_only

# Each worker runs until the same moment; prints what it did.
RACER = r"""
import os, sys, time
import numpy as np, pyzeb
path, job, until = sys.argv[1], sys.argv[2], float(sys.argv[3])
done = refused = 0
while time.time() < until:
    if job == "increment":
        st = os.stat(path)
        v = int(pyzeb.read(path)[0])
        try:
            pyzeb.write(path, np.array([v + 1], np.int32), if_unchanged=st)
            done += 1
        except OSError:
            refused += 1
    elif job == "write":
        done += 1
        pyzeb.write(path, np.array([done], np.int32), checksum=False)
    else:
        try:
            pyzeb.add_checksum(path)
            done += 1
        except OSError:  # replaced since it was read: nothing done
            refused += 1
print(done, refused)
"""


def race(path, jobs, seconds=1.5):
    """Runs one process per job on path for `seconds`; their (done, refused) counts."""
    until = time.time() + 1.0 + seconds  # time to start up, then all at once
    procs = [subprocess.Popen([sys.executable, "-c", RACER, str(path), job, repr(until)], stdout=subprocess.PIPE,
                              text=True) for job in jobs]
    out = [p.communicate(timeout=60)[0] for p in procs]
    assert all(p.returncode == 0 for p in procs)
    return [tuple(map(int, o.split())) for o in out]


def test_racing_writers_lose_no_update(tmp_path):
    p = tmp_path / "counter.f0"
    pyzeb.write(p, np.array([0], np.int32))
    counts = race(p, ["increment", "increment"])
    succeeded = sum(done for done, _ in counts)
    assert succeeded > 0 and int(pyzeb.read(p)[0]) == succeeded  # lost: 0


def test_a_renewal_racing_a_writer_never_undoes_its_write(tmp_path):
    p = tmp_path / "replaced.f0"
    pyzeb.write(p, np.array([0], np.int32), checksum=False)
    (last, _), _ = race(p, ["write", "checksum"])
    assert int(pyzeb.read(p)[0]) == last and not list(tmp_path.glob(".*"))  # no temporary or lock file left


# A second user lists the directory and tries to open every temporary file.
OBSERVER = r"""
exec 2>/dev/null
echo ready
while [ ! -e stop ]; do
    for f in .*.tmp; do
        [ -e "$f" ] || continue
        if true < "$f"; then echo opened; else echo refused; fi
    done
done
"""


@posix_only
@pytest.mark.skipif(os.name == "posix" and os.geteuid() != 0, reason="needs root, to run a second user (nobody)")
def test_temporary_files_are_private_until_complete():
    d = tempfile.mkdtemp(dir="/tmp")  # a directory the second user may list
    try:
        os.chmod(d, 0o755)
        p = os.path.join(d, "secret.f0")
        a = np.arange(2 << 20, dtype=np.int32)
        pyzeb.write(p, a, compress=False)
        os.chmod(p, 0o600)
        obs = subprocess.Popen(["sh", "-c", OBSERVER], cwd=d, user=65534, group=65534, extra_groups=[],
                               stdout=subprocess.PIPE, text=True)
        assert obs.stdout.readline() == "ready\n"
        for _ in range(20):
            pyzeb.write(p, a, compress=False)
        open(os.path.join(d, "stop"), "w").close()
        seen = obs.communicate(timeout=30)[0].split()
        assert "opened" not in seen, f"{seen.count('opened')} temporary files opened by another user"
        assert os.stat(p).st_mode & 0o777 == 0o600
        if not seen:
            pytest.skip("the second user saw no temporary file")
    finally:
        subprocess.run(["rm", "-rf", d], check=False)


def with_sections_moved(image, preamble=24, checksums_last=True):
    """image with its record rebuilt: the preamble longer, the checksums
    section after the others, header_blocks and every CRC made to match."""
    b = bytearray(image)
    length = struct.unpack_from("<I", b, 512 + 12)[0]
    rec = bytes(b[512:512 + length])
    at, sections = struct.unpack_from("<H", rec, 10)[0], []
    while at < length:
        n = struct.unpack_from("<I", rec, at + 4)[0]
        sections.append(rec[at:at + 8 + n])
        at += 8 + n
    if checksums_last:
        sections.append(sections.pop(0))
    new = bytearray(rec[:24] + bytes(preamble - 24) + b"".join(sections))
    blocks = 1 + -(-len(new) // 512)
    struct.pack_into("<HI", new, 10, preamble, len(new))
    head = bytearray(b[:512])
    head[6] = blocks
    crc_at = preamble + sum(len(s) for s in sections[:-1]) + 8 + 4 if checksums_last else preamble + 8 + 4
    struct.pack_into("<I", new, crc_at, lib.zeb_crc32c(0, bytes(head), 512))
    struct.pack_into("<I", new, 20, 0)
    struct.pack_into("<I", new, 20, lib.zeb_crc32c(0, bytes(new), len(new)))
    data = b[512 * image[6]:]
    return bytes(head + new + bytes(512 * (blocks - 1) - len(new)) + data)


@pytest.mark.parametrize("preamble,checksums_last", [(24, True), (1000, False), (600, True)])
def test_marking_a_map_keeps_any_record_layout_sound(tmp_path, preamble, checksums_last):
    a = np.arange(600, dtype=np.uint16).reshape(20, 30)
    p = tmp_path / "moved.f0"
    p.write_bytes(with_sections_moved(pyzeb.encode(a, compress=False, metadata={"k": "x" * 700}), preamble,
                                      checksums_last))
    assert np.array_equal(pyzeb.read(p), a)
    m = pyzeb.memmap(p, mode="r+")
    m[1, 2] = 9
    m.flush()
    del m
    a[1, 2] = 9
    h = pyzeb.read_header(p)  # verified: the record is sound and says so
    assert h.data_changed and h.metadata == {"k": "x" * 700} and np.array_equal(pyzeb.read(p), a)
    assert pyzeb.add_checksum(p) == "renewed" and not pyzeb.read_header(p).data_changed


@posix_only
def test_renewal_in_place_keeps_maps_links_and_times(tmp_path):
    a = np.arange(600, dtype=np.int16).reshape(20, 30)
    p, other = tmp_path / "m.f0", tmp_path / "other-name.f0"
    pyzeb.write(p, a, compress=False)
    os.link(p, other)
    m = pyzeb.memmap(p, mode="r+")
    m[0, 0] = 7
    m.flush()
    os.utime(p, ns=(1, 1_500_000_000_123_456_789))
    ino = os.stat(p).st_ino
    assert pyzeb.add_checksum(p) == "renewed"
    st = os.stat(p)
    assert (st.st_ino, st.st_nlink, st.st_mtime_ns) == (ino, 2, 1_500_000_000_123_456_789)
    m[0, 1] = 8  # the map still writes to the file
    m.flush()
    del m
    assert pyzeb.read(p, verify=False)[0, 1] == 8 and pyzeb.read_header(other).checksum


@posix_only
def test_a_replacement_leaves_linked_files_alone_and_keeps_times(tmp_path):
    a = np.arange(600, dtype=np.int16).reshape(20, 30)
    p, other = tmp_path / "old.f0", tmp_path / "other-name.f0"
    pyzeb.write(p, a, checksum=False)
    os.link(p, other)
    os.utime(p, ns=(1, 1_400_000_000_000_000_007))
    before = p.read_bytes()
    assert pyzeb.add_checksum(p) == "linked" and p.read_bytes() == before
    assert pyzeb.add_checksum(p, break_links=True) == "added"
    assert os.stat(p).st_mtime_ns == 1_400_000_000_000_000_007 and os.stat(p).st_nlink == 1
    assert pyzeb.read_header(p).checksum and other.read_bytes() == before


def zeb(*args):
    """Runs the command: (exit status, stdout as bytes, stderr)."""
    r = subprocess.run([sys.executable, "-m", "pyzeb", *map(str, args)], capture_output=True, timeout=120)
    assert b"Traceback" not in r.stderr
    return r.returncode, r.stdout, r.stderr.decode()


def with_metadata_bytes(path, monkeypatch, meta):
    """Writes a small file whose record holds these metadata bytes as they are."""
    with monkeypatch.context() as m:
        m.setattr("pyzeb._api._metadata", lambda metadata: meta)
        pyzeb.write(path, np.zeros((2, 3), np.int16), metadata={"a": 1})


def test_deeply_nested_metadata_is_a_format_error(tmp_path, monkeypatch):
    p = tmp_path / "deep.f0"
    with_metadata_bytes(p, monkeypatch, b'{"a":' + b"[" * 2000 + b"]" * 2000 + b"}")
    with pytest.raises(pyzeb.FormatError, match="nested more than 512 deep"):
        pyzeb.read_header(p)
    for command in ("info", "header", "stats"):
        status, _, err = zeb(command, p)
        assert status == 1 and err.count("\n") == 1 and "nested more than 512 deep" in err
    nested = []
    for _ in range(600):
        nested = [nested]
    with pytest.raises(ValueError, match="nested at most 512 deep"):
        pyzeb.encode(np.zeros(3, np.int8), metadata={"a": nested})


def test_info_json_escapes_lone_surrogates(tmp_path, monkeypatch):
    p = tmp_path / "s.f0"
    with_metadata_bytes(p, monkeypatch, b'{"s":"\\ud800x","\\udfff":1}')  # valid JSON, no UTF-8
    status, out, _ = zeb("info", "--json", p)
    assert status == 0 and json.loads(out.decode("utf-8"))["metadata"] == {"s": "\ud800x", "\udfff": 1}


@posix_only
def test_checksum_command_keeps_times_and_linked_files(tmp_path):
    p = tmp_path / "a.f0"
    pyzeb.write(p, np.arange(12, dtype=np.int16).reshape(3, 4), checksum=False)
    os.link(p, tmp_path / "b.f0")
    os.utime(p, ns=(1, 1_300_000_000_000_000_000))
    status, out, _ = zeb("checksum", p)
    assert status == 0 and b"kept: it has other hard links" in out and not pyzeb.read_header(p).checksum
    status, out, _ = zeb("checksum", "--break-links", p)
    assert status == 0 and b"checksum added" in out and pyzeb.read_header(p).checksum
    assert os.stat(p).st_mtime_ns == 1_300_000_000_000_000_000


def test_thread_counts_beyond_the_cores_are_capped(tmp_path):
    a = np.arange(1 << 16, dtype=np.int16).reshape(64, -1)
    p = tmp_path / "t.f0"
    for big in (2**31, 2**63, np.int64(2**40)):
        pyzeb.write(p, a, threads=big)
        assert np.array_equal(pyzeb.read(p, threads=big), a)
        assert np.array_equal(pyzeb.decode(pyzeb.encode(a, threads=big), threads=big), a)
    for bad in (0, -1, -2**31, True, 2.0):
        with pytest.raises(ValueError, match="threads must be"):
            pyzeb.read(p, threads=bad)


@needs("zarr", "numcodecs")
@pytest.mark.parametrize("config", [{"slice": 99}, {"slice": "5"}, {"slice": True}, {"checksum": "yes"}])
def test_the_codec_from_stored_metadata_checks_its_configuration(config):
    from pyzeb.codecs import Crunch
    with pytest.raises(ValueError, match="must be"):
        Crunch.from_dict({"name": "pyzeb.crunch", "configuration": config})


@needs("zarr", "numcodecs")
def test_the_codec_reads_its_own_unsigned_chunks_and_names_what_differs():
    from pyzeb.codecs import Crunch
    a = np.arange(100, dtype=np.uint16).reshape(10, 10)
    c = Crunch()
    assert np.array_equal(c.decode(c.encode(a)), a.ravel()) and c.decode(c.encode(a)).dtype == np.uint16
    mislabelled = pyzeb.encode(a.astype(np.int32), header="<u2")
    with pytest.raises(pyzeb.FormatError, match="names uint16, but the data are int32"):
        c.decode(mislabelled)
