"""What some tests need of the system they run on: they are skipped elsewhere."""
import importlib.util
import os
import sys

import pytest

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="needs Linux (/proc, /dev/full, mknod or tmpfs)")
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX file modes, links, fifos or terminals")


def missing(*modules):
    """Those of these optional packages that are not installed."""
    return [m for m in modules if importlib.util.find_spec(m) is None]


def needs(*modules):
    """Skips a test (or a parametrized case) unless every one of these
    optional packages is installed."""
    absent = missing(*modules)
    return pytest.mark.skipif(bool(absent), reason=f"needs {', '.join(absent)} (optional)")
