"""The documentation's examples run as doctests (pytest --doctest-glob='*.md'
docs/): each page in a fresh empty directory of its own, so that the files
it makes are its own and it starts from nothing."""
import doctest
import re

import pytest

# An example's expected output ends at its code block's closing fence, as it
# does at a blank line.
doctest.DocTestParser._EXAMPLE_RE = re.compile(
    doctest.DocTestParser._EXAMPLE_RE.pattern.replace(
        r"(?![ ]*>>>)  # Not a line starting with PS1", r"(?![ ]*>>>)  # Not a line starting with PS1" "\n"
        r"                     (?![ ]*```)  # Not a code block's fence"),
    re.MULTILINE | re.VERBOSE)


@pytest.fixture(autouse=True)
def _fresh_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
