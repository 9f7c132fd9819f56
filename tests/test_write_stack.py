"""pyzeb.write_stack: planes of NumPy and Dask arrays written to files of
their own, on threads and on a 2-process local cluster; a failing task; and
the thread budget of reads inside Dask tasks."""
import os

import numpy as np
import pytest

import pyzeb
from pyzeb._lazy import task_threads
from test_partial import frame

CUBE = frame(np.int16, (9, 40, 30))


def written(paths):
    return np.stack([pyzeb.read(p) for p in paths])


def test_numpy_planes_and_what_is_refused(tmp_path):
    paths = pyzeb.write_stack(CUBE.astype(np.uint16), str(tmp_path / "night" / "f-{:03d}.f0"), compress=False,
                              metadata={"run": 7})
    assert paths == [str(tmp_path / "night" / f"f-{i:03d}.f0") for i in range(9)]
    assert np.array_equal(written(paths), CUBE.astype(np.uint16))
    assert pyzeb.read_header(paths[4]).metadata == {"run": 7} and not pyzeb.read_header(paths[4]).compressed
    for pattern, error in [(str(tmp_path / "same.f0"), ValueError), (str(tmp_path / "{name}.f0"), ValueError),
                           (tmp_path / "{}.f0", TypeError)]:
        with pytest.raises(error):
            pyzeb.write_stack(CUBE, pattern)
    with pytest.raises(ValueError, match="at least one dimension"):
        pyzeb.write_stack(np.int16(3), str(tmp_path / "{}.f0"))
    with pytest.raises(ValueError, match="threads"):
        pyzeb.write_stack(CUBE, str(tmp_path / "{}.f0"), threads=0)


def failing(block):
    if block.min() < 0:
        raise RuntimeError("this chunk cannot be computed")
    return block


def test_dask_arrays_on_threads_and_a_failing_task(tmp_path):
    da = pytest.importorskip("dask.array")
    d = da.from_array(CUBE, chunks=(2, 20, 15))
    paths = pyzeb.write_stack(d + 1, str(tmp_path / "t" / "{}.f0"))
    assert len(paths) == 9 and np.array_equal(written(paths), CUBE + 1)
    bad = np.abs(CUBE)
    bad[5, 3, 3] = -1  # in the third chunk (planes 4 and 5)
    with pytest.raises(RuntimeError, match="cannot be computed"):
        pyzeb.write_stack(da.from_array(bad, chunks=(2, 40, 30)).map_blocks(failing), str(tmp_path / "b-{}.f0"))
    left = sorted(os.listdir(tmp_path))
    assert "b-4.f0" not in left and "b-5.f0" not in left and not [n for n in left if n.endswith(".tmp")]
    assert all(np.array_equal(pyzeb.read(tmp_path / f"b-{i}.f0"), bad[i]) for i in range(9) if f"b-{i}.f0" in left)


def test_a_two_process_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    da = pytest.importorskip("dask.array")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        d = da.from_array(CUBE, chunks=(3, 40, 30)) * 2
        paths = pyzeb.write_stack(d, str(tmp_path / "c" / "frame-{:04d}.f0"), header="cluster")
        in_task = client.submit(task_threads, None, pure=False).result()
        back = client.compute(pyzeb.read_stack(paths).sum(axis=(1, 2))).result()
    assert np.array_equal(written(paths), CUBE * 2) and pyzeb.read_header(paths[0]).text == "cluster"
    assert np.array_equal(back, (CUBE * 2).sum(axis=(1, 2))) and in_task == 1


def test_thread_budget(tmp_path, monkeypatch):
    dask = pytest.importorskip("dask")
    import pyzeb._stack as stack
    path = tmp_path / "f.f0"
    pyzeb.write(path, CUBE)
    cores = pyzeb._api._cores()  # more threads than cores are capped
    assert task_threads(None) == 0 and task_threads(3) == min(3, cores) and task_threads(None, True) == 1
    assert dask.compute(dask.delayed(task_threads)(None), scheduler="threads")[0] == 1
    seen = []
    real = stack._read_expecting
    monkeypatch.setattr(stack, "_read_expecting", lambda *a: seen.append(a[5]) or real(*a))
    for threads, scheduler, want in [(None, "threads", {1}), (2, "threads", {min(2, cores)}), (None, "synchronous", {1})]:
        seen.clear()
        pyzeb.read_dask(path, chunks=3, threads=threads).compute(scheduler=scheduler)
        pyzeb.read_stack([path], threads=threads).compute(scheduler=scheduler)
        assert set(seen) == want
    lazy = pyzeb.open(path, threads=2)
    assert lazy._threads == 2 and np.array_equal(lazy[1:3], CUBE[1:3])
    for call in (lambda: pyzeb.read_dask(path, threads=0), lambda: pyzeb.read_stack([path], threads=-1),
                 lambda: pyzeb.open(path, threads=1.5)):
        with pytest.raises(ValueError, match="threads"):
            call()


def test_a_task_that_runs_out_of_room_leaves_no_partial_file(small_tmpfs):
    da = pytest.importorskip("dask.array")
    planes = frame(np.int32, (3, 100, 100))  # 40 kB each, a 64 kB file system
    with pytest.raises(OSError):
        pyzeb.write_stack(da.from_array(planes, chunks=(1, 100, 100)), str(small_tmpfs / "{}.f0"), compress=False)
    left = os.listdir(small_tmpfs)
    assert len(left) <= 1 and all(np.array_equal(pyzeb.read(small_tmpfs / n), planes[int(n[0])]) for n in left)
