"""The library's pool of threads: started once, bounded by the cores the
process may use, shared by concurrent callers, and started afresh in a
child process made by fork()."""
import os
import warnings

import numpy as np
import pytest

import pyzeb
from test_encode import noisy_frame

linux_only = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")


def os_threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture(scope="module")
def image():
    a = noisy_frame(np.int16, (256, 1024)).reshape(256, 1024)
    return pyzeb.encode(a), a


BOUNDED = """
import os, sys, threading
import numpy as np
import pyzeb
sys.path.insert(0, sys.argv[1])
from test_encode import noisy_frame
a = noisy_frame(np.int16, (256, 1024)).reshape(256, 1024)
data = pyzeb.encode(a)
count = lambda: len(os.listdir("/proc/self/task"))
base = count()
bad = []
def work():
    for _ in range(5):
        bad.extend([1] if not np.array_equal(pyzeb.decode(data, threads=8), a) else [])
        pyzeb.encode(a, threads=8)
peak, running = [0], [True]
def sample():
    while running[0]:
        peak[0] = max(peak[0], count() - base - 5)  # less the sampler and the callers
rounds = []
for _ in range(2):
    callers = [threading.Thread(target=work) for _ in range(4)]
    for t in callers + [sampler := threading.Thread(target=sample)]:
        t.start()
    for t in callers:
        t.join()
    running[0] = False
    sampler.join()
    running[0] = True
    rounds.append(count() - base)
print(len(bad), peak[0], *rounds)
"""


@linux_only
def test_threads_are_kept_and_bounded():
    import subprocess
    import sys
    env = dict(os.environ, ZEB_PARALLEL_MIN_BYTES="0")
    out = subprocess.run([sys.executable, "-c", BOUNDED, os.path.dirname(__file__)], env=env, check=True,
                         capture_output=True, text=True).stdout.split()
    bad, peak, first, second = map(int, out)
    # 4 callers asking for 8 threads each, twice: the pool's threads only
    assert bad == 0 and peak <= first == second <= len(os.sched_getaffinity(0)) - 1


@linux_only
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one core: the pool has no threads to start")
def test_a_forked_child_gets_its_own_pool(image):
    data, a = image
    assert np.array_equal(pyzeb.decode(data, threads=2), a)  # the parent's pool is running
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            import signal
            signal.alarm(30)
            start = os_threads()
            ok = all(np.array_equal(pyzeb.decode(data, threads=2), a) for _ in range(3))
            code = 0 if ok and os_threads() > start else 2  # the child's own pool threads
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
