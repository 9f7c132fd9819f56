"""The public headers serve C callers: each compiles on its own as strict C99."""
import pathlib
import shutil
import subprocess

import pytest

INCLUDE = pathlib.Path(__file__).resolve().parent.parent / "include"


@pytest.mark.skipif(shutil.which("cc") is None or not INCLUDE.is_dir(), reason="no C compiler, or no source tree")
@pytest.mark.parametrize("header", ["zebcommon.h", "zebcodec.h", "zebrw.h"])
def test_header_compiles_as_c(header):
    r = subprocess.run(["cc", "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror", "-fsyntax-only",
                        f"-I{INCLUDE}", "-x", "c", "-"], input=f'#include "{header}"\n',
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
