"""One version everywhere: the package, the command, the C library it runs
with, and what a CMake build of the library writes (zebversion.h, zeb.pc, the
CMake package's version file), all from the git tag by one rule."""
import ctypes
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _pyzeb
import pyzeb

ROOT = Path(__file__).resolve().parents[1]
VERSION_CMAKE = ROOT / "cmake" / "ZebVersion.cmake"


def test_package_command_and_library_agree():
    if pyzeb.__version__ == "0+unknown" or "PYZEB_BUILD_DIR" in os.environ:
        # a build tree (the sanitizer run's) has no package metadata of its own
        pytest.skip("pyzeb runs from a build tree, without package metadata of its own")
    lib = ctypes.CDLL(_pyzeb.__file__)
    lib.zeb_version.restype = ctypes.c_char_p
    out = subprocess.run([sys.executable, "-m", "pyzeb", "--version"], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["zeb", "(pyzeb)", pyzeb.__version__]
    assert lib.zeb_version().decode() == pyzeb.__version__
    assert re.fullmatch(r"\d+(\.\d+)*(\.dev\d+)?", pyzeb.__version__)


def need_tools():
    if not VERSION_CMAKE.exists():
        pytest.skip("not run from a source tree")
    for tool in ("cmake", "git"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not available")
    return pytest.importorskip("setuptools_scm", reason="setuptools_scm is not installed")


def scm_version(root: Path) -> str:
    out = subprocess.run([sys.executable, "-m", "setuptools_scm", "--root", str(root), "-c",
                          str(root / "pyproject.toml")], capture_output=True, text=True, check=True)
    return out.stdout.strip().splitlines()[-1]


def cmake_version(root: Path, build: Path) -> tuple[str, str]:
    out = subprocess.run(["cmake", "-S", str(root), "-B", str(build)], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr
    return re.search(r"ZEBV=(\S+) (\S+)", out.stdout).groups()


def release_of(version: str) -> str:
    """X.Y.Z of a version: its leading numbers, padded with zeros."""
    return ".".join((re.match(r"\d+(\.\d+)*", version).group().split(".") + ["0", "0"])[:3])


def git(repo: Path, *args: str) -> None:
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", "-c", "commit.gpgsign=false",
                    "-C", str(repo), *args], check=True, capture_output=True)


# (tag on the first commit or None, commits after it, uncommitted change): the
# CMake rule gives what setuptools_scm gives.
@pytest.mark.parametrize("tag, after, dirty", [
    (None, 2, False), ("v1.2.3", 0, False), ("v1.2.3", 2, False), ("v1.2.3", 0, True), ("2.0", 1, False)])
def test_cmake_rule_matches_setuptools_scm(tmp_path, tag, after, dirty):
    need_tools()
    repo = tmp_path / "repo"
    repo.mkdir()
    scm = ROOT.joinpath("pyproject.toml").read_text(encoding="utf-8").split("[tool.setuptools_scm]")[1].split("\n[")[0]
    (repo / "pyproject.toml").write_text(f'[project]\nname = "x"\ndynamic = ["version"]\n'
                                         f'[tool.setuptools_scm]{scm}\n', encoding="utf-8")
    (repo / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.21)\nproject(x NONE)\n"
        f'include("{VERSION_CMAKE.as_posix()}")\nmessage(STATUS "ZEBV=${{ZEB_VERSION_FULL}} ${{ZEB_VERSION}}")\n')
    git(repo, "init", "-q")
    git(repo, "add", ".")
    git(repo, "commit", "-q", "-m", "first")
    if tag:
        git(repo, "tag", tag)
    for i in range(after):
        git(repo, "commit", "-q", "--allow-empty", "-m", f"after {i}")
    if dirty:
        (repo / "pyproject.toml").write_text((repo / "pyproject.toml").read_text() + "\n")
    full, release = cmake_version(repo, tmp_path / "build")
    assert full == scm_version(repo)
    assert release == release_of(full)


def test_cmake_package_of_this_tree(tmp_path):
    need_tools()
    expected = scm_version(ROOT)
    build = tmp_path / "build"
    env = {k: v for k, v in os.environ.items() if not k.startswith("SKBUILD")}
    out = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DZEB_PYTHON=OFF", "-DZEB_INSTALL=ON"],
                         capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stdout + out.stderr
    header = (build / "include" / "zebversion.h").read_text()
    macros = dict(re.findall(r"#define (ZEB_VERSION_\w+) (\S+)", header))
    release = ".".join(macros[f"ZEB_VERSION_{k}"] for k in ("MAJOR", "MINOR", "PATCH"))
    assert macros["ZEB_VERSION_STRING"] == f'"{expected}"'
    assert release == release_of(expected)
    assert re.search(r"^Version: (\S+)$", (build / "zeb.pc").read_text(), re.M).group(1) == expected
    assert f'set(PACKAGE_VERSION "{release}")' in (build / "zebConfigVersion.cmake").read_text()
