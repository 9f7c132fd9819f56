"""What some tests need of the system they run on: they are skipped elsewhere."""
import os
import sys

import pytest

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="needs Linux (/proc, /dev/full, mknod or tmpfs)")
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX file modes, links, fifos or terminals")
