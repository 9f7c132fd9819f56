# Sphinx configuration of pyzeb's documentation site: MyST Markdown pages,
# the Python API from the installed package's docstrings, the command's
# options from its own parser, the C and C++ headers from their comments.
import os
import re
import sys
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import pyzeb  # noqa: E402  (the installed package: `make docs` installs it first)

project = "pyzeb"
author = "the pyzeb developers"
copyright = "the pyzeb developers"
release = pyzeb.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "commandhelp",
    "headerdoc",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "conftest.py", "_ext"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
# `name` in docstrings is code, not a cross-reference to look up.
default_role = "code"
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "undoc-members": False}
suppress_warnings = [
    "ref.python",      # `slice` in a signature is Python's, not an attribute of the same name
]

html_theme = "furo"
html_title = f"pyzeb {release}"


def _guide_glob(app, docname, source):  # type: ignore[no-untyped-def]
    """The user guide's toctree takes, after the pages it lists, every other
    page of guide/ by a glob; with no other page yet the glob is dropped
    (Sphinx warns about a glob that matches nothing)."""
    if docname != "index":
        return
    listed = set(re.findall(r"^guide/([\w-]+)$", source[0], re.M))
    others = {p.stem for p in Path(app.srcdir, "guide").glob("*.md")} - listed
    if not others:
        source[0] = source[0].replace("\nguide/*\n", "\n")


def setup(app):  # type: ignore[no-untyped-def]
    app.connect("source-read", _guide_glob)
