import os
import sys
import subprocess

import pytest

# Threaded encoding and counting are kept for arrays of some size; the tests
# take those paths with arrays of any size (read once, at the first call).
os.environ["ZEB_PARALLEL_MIN_BYTES"] = "0"
# Streams written as they are coded are cut into pieces of about this many
# bytes of array data (512 KiB otherwise), so that every written stream is
# many pieces.
os.environ["ZEB_STREAM_PIECE_BYTES"] = "1000"

from clib import flush_c_stdio


@pytest.fixture
def cio(capfd):
    """Reads what C code wrote to standard output and standard error so far."""
    def read():
        flush_c_stdio()
        return capfd.readouterr()
    read()
    return read


@pytest.fixture
def small_tmpfs(tmp_path):
    mnt = tmp_path / "small"
    mnt.mkdir()
    if not sys.platform.startswith("linux") or os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mnt)],
                                           capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    yield mnt
    subprocess.run(["umount", str(mnt)], check=False)
