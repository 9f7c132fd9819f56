"""Throughput of the crunch codec and of F0 file reading and writing.

Builds realistic 4096 x 4096 frames (fixed seed) and reports, as medians of
several runs in this one process, MB/s of raw array bytes for our decoders and
encoders (slice 5), fzread/fzwrite of compressed and raw files (fzread of the
compressed file also against the decoder on the same stream in memory, into a
new array each time) and, measured in
the same run as reference points, numpy.fromfile / ndarray.tofile and the Rice
and AEC codecs of imagecodecs on the same frames.  Each figure is printed with
its ratio to those references.

A section of its own measures the automatic stream choice and threaded
encoding (see choice_and_threads), another reads of files with pyzeb's header
record, checksums verified, against the same files without it and
numpy.fromfile (see checksum_reads).

A last section measures pyzeb.write on 1 and 2 threads (see threaded_writes).

The first section (see targets) prints each speed target of the codec
beside its reference measured in the same run.

usage: python bench/bench.py [--repeat N] [--size N] [--only-targets] [--only-choice] [--only-checksum]
                             [--only-index] [--only-write]
"""
import argparse
import ctypes as C
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import _pyzeb

try:
    import imagecodecs
except ImportError:  # the reference points are optional
    imagecodecs = None

lib = C.CDLL(_pyzeb.__file__)
lib.zeb_encode.restype = C.c_int32
lib.zeb_encode.argtypes = [C.c_int32, C.c_void_p, C.c_void_p] + [C.c_int32] * 5
lib.zeb_compress_bound.restype = C.c_int64
lib.zeb_compress_bound.argtypes = [C.c_int32] * 4
lib.zeb_decode.restype = C.c_int32
lib.zeb_decode.argtypes = [C.c_int32, C.c_void_p, C.c_int64, C.c_void_p, C.c_int64,
                           C.c_int32, C.c_int32, C.c_int32, C.c_void_p]
lib.zeb_encode_indexed.restype = C.c_int32
lib.zeb_encode_indexed.argtypes = [C.c_int32, C.c_void_p, C.c_void_p] + [C.c_int32] * 6 + [C.c_void_p]
lib.zeb_decode_indexed.restype = C.c_int32
lib.zeb_decode_indexed.argtypes = [C.c_int32, C.c_void_p, C.c_int64, C.c_void_p, C.c_int64] + [C.c_int32] * 4 + [
    C.c_void_p, C.c_int64, C.c_int32, C.c_void_p]

CT = {np.dtype(np.int8): 1, np.dtype(np.int16): 0, np.dtype(np.int32): 4}
SLICE = 5


def frames(n):
    """Smooth large-scale structure plus Poisson noise of a few tens of counts."""
    rng = np.random.default_rng(12345)
    y, x = np.mgrid[0:n, 0:n].astype(np.float64) / n
    sky = 900 + 300 * np.sin(3.1 * x + 1.0) * np.cos(2.3 * y) + 200 * x * y
    for _ in range(40):
        cx, cy, s, a = rng.random(), rng.random(), 0.002 + 0.01 * rng.random(), 3000 * rng.random()
        sky += a * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * s * s))
    f16 = np.clip(rng.poisson(sky), -32768, 32767).astype(np.int16)
    f8 = np.clip(rng.poisson(sky / 40) + 10, -128, 127).astype(np.int8)
    f32 = rng.poisson(sky * 40).astype(np.int32) + 100000
    return {"int16": f16, "int8": f8, "int32": f32}


def median_time(fn, repeat):
    fn()  # warm up (page cache, allocator)
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def paired_median_times(fa, fb, repeat):
    """Medians of fa and fb run alternately, so that both see the same load."""
    fa(), fb()
    ta, tb = [], []
    for _ in range(repeat):
        for fn, times in ((fa, ta), (fb, tb)):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
    return statistics.median(ta), statistics.median(tb)


def paired_times(fns, repeat):
    """Median times of several functions run in turn, so that the load of a
    shared machine weighs on each of them alike."""
    for fn in fns:
        fn()
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, ts in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    return [statistics.median(ts) for ts in times]


def encode(frame):
    ct = CT[frame.dtype]
    bs, nb = frame.shape[1], frame.shape[0]
    cap = lib.zeb_compress_bound(ct, SLICE, bs, nb)
    out = np.empty(cap, np.uint8)
    n = lib.zeb_encode(ct, out.ctypes.data, frame.ctypes.data, SLICE, bs, nb, cap, 0)
    assert n > 0, n
    return out, n


def blosc2_decoders(label, frame, crunch_size, repeat, report):
    """Blosc2 (lz4 and zstd, bit-shuffle filter, one thread) as decoder
    reference points: decode MB/s and stream size against crunch's.  Returns
    the names reported, for the ratios on our decoder's line."""
    if not getattr(getattr(imagecodecs, "BLOSC2", None), "available", False):
        print(f"  {label} imagecodecs blosc2: not available in this imagecodecs, skipped")
        return []
    names = []
    for codec in ("lz4", "zstd"):
        name = f"{label} blosc2 {codec} bitshuffle decode"
        enc = imagecodecs.blosc2_encode(frame, codec=codec, filters=["bitshuffle"],
                                        typesize=frame.dtype.itemsize, numthreads=1)
        bout = np.empty_like(frame)
        report(name, median_time(lambda: imagecodecs.blosc2_decode(enc, numthreads=1, out=bout), repeat),
               frame.nbytes)
        assert np.array_equal(bout, frame)
        print(f"  {'':<38} stream {len(enc)} bytes, {len(enc) / crunch_size:.3f}x crunch's "
              f"(compression ratio {frame.nbytes / len(enc):.2f})")
        names.append(name)
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--only-targets", action="store_true", help="only the speed targets against their references")
    ap.add_argument("--only-choice", action="store_true", help="only the stream choice and threads section")
    ap.add_argument("--only-checksum", action="store_true", help="only the checksummed reads section")
    ap.add_argument("--only-index", action="store_true", help="only the indexed (threaded) decoding section")
    ap.add_argument("--only-write", action="store_true", help="only the threaded (overlapped) writing section")
    args = ap.parse_args()
    if args.only_targets:
        targets(frames(args.size)["int16"], args.repeat)
        return 0
    if args.only_write:
        threaded_writes(frames(args.size)["int16"], args.repeat)
        return 0
    if args.only_choice:
        choice_and_threads(args.size, args.repeat)
        return 0
    if args.only_checksum:
        checksum_reads(frames(args.size)["int16"], args.repeat)
        return 0
    if args.only_index:
        indexed_reads(frames(args.size)["int16"], args.repeat)
        return 0
    targets(frames(args.size)["int16"], args.repeat)
    tmp = tempfile.mkdtemp(prefix="pyzeb-bench-")
    results = []

    def report(name, seconds, nbytes, ref=None):
        mbs = nbytes / seconds / 1e6
        results.append((name, mbs))
        line = f"  {name:<38} {mbs:9.0f} MB/s"
        for rname in ref or ():
            rv = dict(results).get(rname)
            if rv:
                line += f"   {mbs / rv:5.2f}x {rname}"
        print(line)

    for label, frame in frames(args.size).items():
        nbytes = frame.nbytes
        stream, n = encode(frame)
        body = np.ascontiguousarray(stream[14:n])
        print(f"{label} frame {frame.shape}: crunch slice {SLICE} stream {n} bytes, "
              f"ratio {nbytes / n:.2f}")
        refs = []
        if imagecodecs is not None and frame.dtype != np.int32:
            rc = imagecodecs.rcomp_encode(frame)
            report(f"{label} imagecodecs rcomp_decode", median_time(
                lambda: imagecodecs.rcomp_decode(rc, shape=frame.shape, dtype=frame.dtype), args.repeat), nbytes)
            bps = frame.dtype.itemsize * 8
            flags = imagecodecs.AEC.FLAG.DATA_SIGNED | imagecodecs.AEC.FLAG.DATA_PREPROCESS
            ae = imagecodecs.aec_encode(frame, bitspersample=bps, flags=flags)
            aout = np.empty_like(frame)
            report(f"{label} imagecodecs aec_decode", median_time(
                lambda: imagecodecs.aec_decode(ae, bitspersample=bps, flags=flags, out=aout), args.repeat), nbytes)
            refs = [f"{label} imagecodecs aec_decode", f"{label} imagecodecs rcomp_decode"]
            refs += blosc2_decoders(label, frame, n, args.repeat, report)
        out = np.empty_like(frame)
        ct = CT[frame.dtype]
        bs, nb = frame.shape[1], frame.shape[0]
        dec = lambda: lib.zeb_decode(ct, body.ctypes.data, body.size, out.ctypes.data, out.size,
                                     SLICE, bs, nb, None)
        assert dec() == 0 and np.array_equal(out, frame)
        report(f"{label} our decoder", median_time(dec, args.repeat), nbytes, refs)

        if imagecodecs is not None and frame.dtype != np.int32:
            report(f"{label} imagecodecs rcomp_encode", median_time(
                lambda: imagecodecs.rcomp_encode(frame), args.repeat), nbytes)
            report(f"{label} imagecodecs aec_encode", median_time(
                lambda: imagecodecs.aec_encode(frame, bitspersample=bps, flags=flags), args.repeat), nbytes)
            refs = [f"{label} imagecodecs aec_encode", f"{label} imagecodecs rcomp_encode"]
        cap = lib.zeb_compress_bound(ct, SLICE, bs, nb)
        sbuf = np.empty(cap, np.uint8)
        enc = lambda: lib.zeb_encode(ct, sbuf.ctypes.data, frame.ctypes.data, SLICE, bs, nb, cap, 0)
        assert enc() == n
        report(f"{label} our encoder", median_time(enc, args.repeat), nbytes, refs)

        if frame.dtype == np.int16:
            raw_path, comp_path = os.path.join(tmp, "raw.f0"), os.path.join(tmp, "comp.f0")
            npy_path = os.path.join(tmp, "raw.bin")
            report("numpy ndarray.tofile", median_time(lambda: frame.tofile(npy_path), args.repeat), nbytes)
            report("fzwrite raw", median_time(lambda: _pyzeb.fzwrite(raw_path, frame, 0, ""), args.repeat),
                   nbytes, ["numpy ndarray.tofile"])
            report("fzwrite compressed", median_time(lambda: _pyzeb.fzwrite(comp_path, frame, 1, ""),
                                                     args.repeat), nbytes, ["numpy ndarray.tofile"])
            report("numpy.fromfile", median_time(
                lambda: np.fromfile(npy_path, dtype=np.int16), args.repeat), nbytes)
            report("fzread raw", median_time(lambda: _pyzeb.fzread(raw_path), args.repeat), nbytes,
                   ["numpy.fromfile"])
            # The same stream decoded from memory into a fresh array, the
            # reference for the file reader's windowed decoding.
            fbody = np.fromfile(comp_path, np.uint8)[512 + 14:]
            def fdec():
                fresh = np.empty_like(frame)
                return lib.zeb_decode(ct, fbody.ctypes.data, fbody.size, fresh.ctypes.data, fresh.size,
                                      SLICE, bs, nb, None), fresh
            assert fdec()[0] == 0 and np.array_equal(fdec()[1], frame)
            t_dec, t_read = paired_median_times(fdec, lambda: _pyzeb.fzread(comp_path), 2 * args.repeat + 1)
            report("decoder, same stream, new array", t_dec, nbytes)
            report("fzread compressed", t_read, nbytes,
                   ["numpy.fromfile", "int16 our decoder", "decoder, same stream, new array"])
            assert np.array_equal(_pyzeb.fzread(comp_path)["data"], frame)
        print()
    for f in os.listdir(tmp):
        os.unlink(os.path.join(tmp, f))
    os.rmdir(tmp)
    choice_and_threads(args.size, args.repeat)
    checksum_reads(frames(args.size)["int16"], args.repeat)
    indexed_reads(frames(args.size)["int16"], args.repeat)
    threaded_writes(frames(args.size)["int16"], args.repeat)
    return 0


# ---- files with a seek index, decoded on several threads ---------------------

def indexed_reads(frame, repeat):
    """pyzeb.decode and pyzeb.read of a file with pyzeb's seek index on 1 and
    2 threads, and blosc2 (lz4, bit-shuffle) decoding the same frame on one
    thread into a reused buffer, run in turn so that the load of the machine
    weighs on each alike."""
    import pyzeb
    image = pyzeb.encode(frame)
    print(f"seek index: {frame.shape} {frame.dtype} frame, file of {len(image)} bytes (medians, run in turn)")
    fns, names = [lambda: pyzeb.decode(image, threads=1), lambda: pyzeb.decode(image, threads=2)], ["1", "2"]
    tmp = tempfile.mkdtemp(prefix="pyzeb-bench-")
    path = os.path.join(tmp, "indexed.f0")
    with open(path, "wb") as f:
        f.write(image)
    band = slice(frame.shape[0] // 2, frame.shape[0] // 2 + frame.shape[0] // 16)
    fns += [lambda: pyzeb.read(path), lambda: pyzeb.read(path, threads=1), lambda: pyzeb.read(path, band)]
    blosc = imagecodecs is not None and getattr(getattr(imagecodecs, "BLOSC2", None), "available", False)
    if blosc:
        enc = imagecodecs.blosc2_encode(frame, codec="lz4", filters=["bitshuffle"], typesize=frame.itemsize,
                                        numthreads=1)
        bout = np.empty_like(frame)
        fns.append(lambda: imagecodecs.blosc2_decode(enc, numthreads=1, out=bout))
    try:
        assert np.array_equal(pyzeb.decode(image, threads=2), frame)
        times = paired_times(fns, 2 * repeat + 1)
    finally:
        os.unlink(path)
        os.rmdir(tmp)
    t1, t2, t_read, t_read1, t_band = times[:5]
    print(f"  pyzeb.decode 1 thread   {mbs_of(frame, t1):6.0f} MB/s")
    print(f"  pyzeb.decode 2 threads  {mbs_of(frame, t2):6.0f} MB/s = {t1 / t2:4.2f}x 1 thread (target 1.7x)")
    print(f"  pyzeb.read 1 thread     {mbs_of(frame, t_read1):6.0f} MB/s; all cores {t_read1 / t_read:4.2f}x that")
    print(f"  pyzeb.read of rows {band.start}:{band.stop} (1/16 of the frame): {t_read / t_band:5.1f}x faster "
          f"than the whole frame")
    line = f"  pyzeb.read (all cores)  {mbs_of(frame, t_read):6.0f} MB/s"
    if blosc:
        t_b = times[5]
        print(f"  blosc2 lz4 bitshuffle, 1 thread, reused buffer {mbs_of(frame, t_b):6.0f} MB/s "
              f"(stream {len(enc) / (len(image) - 512 * image[6]):.3f}x ours)")
        line += f" = {t_b / t_read:4.2f}x blosc2 lz4 (target 1x)"
    else:
        line += "   (blosc2 not available: imagecodecs with BLOSC2 is needed for the reference)"
    print(line)


# ---- the targets, each beside its reference ----------------------------------

def targets(frame, repeat):
    """Each speed target beside its reference, all from this run: medians of
    repetitions run in turn (so that the load of a shared machine weighs on
    each alike), one thread unless said.  Blosc2 (lz4 with bit-shuffle,
    level 5, one thread, decoding into a reused buffer) through imagecodecs
    is the outside reference; the bare decoders (zeb_decode, and
    zeb_decode_indexed with the file's index, on the stream's body in
    memory, into a reused buffer) and np.fromfile the inside ones.  The two
    Python threads are started once and handed one read each per call."""
    import threading
    import pyzeb
    tmp = tempfile.mkdtemp(prefix="pyzeb-bench-")
    paths = {k: os.path.join(tmp, f"{k}.f0") for k in ("indexed", "plain", "raw", "npy")}
    indexed = pyzeb.encode(frame)
    with open(paths["indexed"], "wb") as f:
        f.write(indexed)
    with open(paths["plain"], "wb") as f:  # no record: no seek index
        f.write(pyzeb.encode(frame, checksum=False))
    pyzeb.write(paths["raw"], frame, compress=False)
    frame.tofile(paths["npy"])
    head = 512 * indexed[6]
    size, nb, bs, slice_, ct = np.frombuffer(indexed[head:head + 14], "<i4", 3).tolist() + list(indexed[head + 12:head + 14])
    body = np.frombuffer(indexed, np.uint8, size - 14, head + 14)
    out = np.empty_like(frame)
    bare = lambda: lib.zeb_decode(ct, body.ctypes.data, body.size, out.ctypes.data, out.size, slice_, bs, nb, None)
    # The same body with the index pyzeb writes (one entry per 64 KiB),
    # decoded by the library's indexed decoder on one thread.
    entries = min(1024, frame.nbytes // 65536, nb - 1)
    every = -(-nb // (entries + 1))
    offsets = (C.c_int64 * max(1, (nb - 1) // every))()
    cap = lib.zeb_compress_bound(ct, slice_, bs, nb)
    again = np.empty(cap, np.uint8)
    assert lib.zeb_encode_indexed(ct, again.ctypes.data, frame.ctypes.data, slice_, bs, nb, cap, 1, every,
                                  offsets) == size and bytes(again[14:size]) == body.tobytes()
    bare_indexed = lambda: lib.zeb_decode_indexed(ct, body.ctypes.data, body.size, out.ctypes.data, out.size, slice_,
                                                  bs, nb, every, offsets, (nb - 1) // every, 1, None)
    small = [os.path.join(tmp, f"small{i}.f0") for i in range(2)]
    part = frame[:1024, :1024].copy()
    for p in small:
        pyzeb.write(p, part)

    # Python threads started once, each reading its own file: one read each
    # per call, in step with each other (the same hand-over for one reader).
    stop = []

    def readers(paths):
        go, done = threading.Barrier(len(paths) + 1), threading.Barrier(len(paths) + 1)

        def reader(path):
            while True:
                go.wait()
                if stop:
                    return
                pyzeb.read(path, threads=1)
                done.wait()

        threads = [threading.Thread(target=reader, args=(p,), daemon=True) for p in paths]
        for t in threads:
            t.start()

        def call():
            go.wait()
            if not stop:
                done.wait()

        return call, threads

    two_threads, workers = readers(small)
    one_thread, workers1 = readers(small[:1])
    workers += workers1

    fns = {
        "bare decoder": bare,
        "bare indexed decoder": bare_indexed,
        "pyzeb.read indexed": lambda: pyzeb.read(paths["indexed"], threads=1),
        "pyzeb.read unindexed": lambda: pyzeb.read(paths["plain"], threads=1),
        "pyzeb.read indexed 2 threads": lambda: pyzeb.read(paths["indexed"], threads=2),
        "pyzeb.decode": lambda: pyzeb.decode(indexed, threads=1),
        "verified raw read": lambda: pyzeb.read(paths["raw"]),
        "np.fromfile": lambda: np.fromfile(paths["npy"], frame.dtype),
        "one small read": one_thread,
        "two small reads on 2 Python threads": two_threads,
        "pyzeb.encode(compress=5)": lambda: pyzeb.encode(frame, compress=5, threads=1),
    }
    blosc = imagecodecs is not None and getattr(getattr(imagecodecs, "BLOSC2", None), "available", False)
    if blosc:
        enc = imagecodecs.blosc2_encode(frame, level=5, codec="lz4", filters=["bitshuffle"],
                                        typesize=frame.itemsize, numthreads=1)
        bout = np.empty_like(frame)
        fns["blosc2 decode"] = lambda: imagecodecs.blosc2_decode(enc, numthreads=1, out=bout)
        fns["blosc2 compress"] = lambda: imagecodecs.blosc2_encode(frame, level=5, codec="lz4",
                                                                   filters=["bitshuffle"], typesize=frame.itemsize,
                                                                   numthreads=1)
    try:
        assert bare() == 0 and np.array_equal(out, frame)
        assert bare_indexed() == 0 and np.array_equal(out, frame)
        t = dict(zip(fns, paired_times(list(fns.values()), 2 * repeat + 1)))
    finally:
        stop.append(True)
        two_threads()
        one_thread()
        for w in workers:
            w.join()
        for p in list(paths.values()) + small:
            os.unlink(p)
        os.rmdir(tmp)
    print(f"targets: {frame.shape} {frame.dtype} frame, {len(indexed)} bytes indexed "
          f"(medians of {2 * repeat + 1} runs in turn; MB/s of array bytes)")

    def line(name, ref, target, moonshot=None, nbytes=frame.nbytes):
        if name not in t or ref not in t:
            print(f"  {name:<36} (reference {ref} not measured: imagecodecs with BLOSC2 is needed)")
            return
        ratio = t[ref] / t[name]
        verdict = "met" if ratio >= target else f"missed by {target - ratio:.2f}"
        extra = f", moonshot {moonshot}x" if moonshot else ""
        print(f"  {name:<36} {nbytes / t[name] / 1e6:7.0f} MB/s = {ratio:5.2f}x {ref} "
              f"({nbytes / t[ref] / 1e6:.0f} MB/s; target {target}x{extra}: {verdict})")

    line("pyzeb.read indexed", "blosc2 decode", 0.7, 1.0)
    line("pyzeb.read unindexed", "blosc2 decode", 0.5)
    line("pyzeb.read indexed", "bare indexed decoder", 0.95)
    line("pyzeb.decode", "bare indexed decoder", 0.95)
    line("pyzeb.read unindexed", "bare decoder", 0.95)
    line("bare indexed decoder", "bare decoder", 1.0)
    line("pyzeb.read indexed 2 threads", "pyzeb.read indexed", 1.8)
    line("verified raw read", "np.fromfile", 0.9)
    t["two small reads on 2 Python threads"] /= 2  # time per read, against one read alone
    line("two small reads on 2 Python threads", "one small read", 1.8, nbytes=part.nbytes)
    line("pyzeb.encode(compress=5)", "blosc2 compress", 1.5)
    if blosc:
        print(f"  blosc2 lz4 bitshuffle stream {len(enc)} bytes = {len(enc) / (size):.3f}x ours")


# ---- writes on several threads ------------------------------------------------

def threaded_writes(frame, repeat):
    """pyzeb.write (atomic: temporary file, fsync, rename, directory sync;
    the smallest stream, with checksums and seek index) on 1 and 2 threads,
    where the pieces of the stream go to the file while later ones are
    coded, beside references measured in turn with it: the same file's bytes
    built in memory (pyzeb.encode: choice, coding, checksums) and the path
    that codes the whole stream before writing it (zeb_prepare,
    zeb_payload_add_record, zeb_write_payload), each on 1 and 2 threads.
    Each write makes a new file (the previous one removed, and the removal
    synced, before the clock starts); then the same writes replacing the
    file of the previous run, which adds the freeing of its blocks to the
    rename."""
    import pyzeb
    tmp = tempfile.mkdtemp(prefix="pyzeb-bench-")
    path = os.path.join(tmp, "frame.f0")

    def fresh():
        if os.path.exists(path):
            os.unlink(path)
            os.sync()

    new = [(lambda: pyzeb.write(path, frame, threads=1), fresh), (lambda: pyzeb.write(path, frame, threads=2), fresh),
           (lambda: write_f0(path, frame, -2, True, 1), fresh), (lambda: write_f0(path, frame, -2, True, 2), fresh),
           (lambda: pyzeb.encode(frame, threads=1), None), (lambda: pyzeb.encode(frame, threads=2), None)]
    replacing = [(lambda: pyzeb.write(path, frame, threads=1), None), (lambda: pyzeb.write(path, frame, threads=2), None)]
    try:
        pyzeb.write(path, frame, threads=2)
        assert open(path, "rb").read() == pyzeb.encode(frame, threads=1)
        w1, w2, m1, m2, e1, e2 = prepared_times(new, 2 * repeat + 1)
        r1, r2 = prepared_times(replacing, 2 * repeat + 1)
    finally:
        for f in os.listdir(tmp):
            os.unlink(os.path.join(tmp, f))
        os.rmdir(tmp)
    print(f"writes: {frame.shape} {frame.dtype} frame, atomic with fsync, checksums (medians, run in turn)")
    print(f"  pyzeb.write, new file, 1 thread   {mbs_of(frame, w1):6.0f} MB/s {w1 * 1e3:6.1f} ms")
    print(f"  pyzeb.write, new file, 2 threads  {mbs_of(frame, w2):6.0f} MB/s {w2 * 1e3:6.1f} ms = {w1 / w2:4.2f}x 1 thread "
          f"(target 1.7x; encoding alone {e1 / e2:4.2f}x)")
    print(f"  pyzeb.encode, in memory: 1 thread {e1 * 1e3:6.1f} ms, 2 threads {e2 * 1e3:6.1f} ms = {e1 / e2:4.2f}x")
    print(f"  coded whole, then written: 1 thread {m1 * 1e3:6.1f} ms, 2 threads {m2 * 1e3:6.1f} ms = {m1 / m2:4.2f}x; "
          f"pyzeb.write takes {w1 / m1:4.2f}x and {w2 / m2:4.2f}x their time")
    print(f"  pyzeb.write replacing the file: 1 thread {r1 * 1e3:6.1f} ms, 2 threads {r2 * 1e3:6.1f} ms = {r1 / r2:4.2f}x")


def prepared_times(runs, repeat):
    """Median times of (function, setup) pairs run in turn, each setup (if
    any) run untimed just before its function."""
    for fn, setup in runs:
        fn()
    times = [[] for _ in runs]
    for _ in range(repeat):
        for (fn, setup), ts in zip(runs, times):
            if setup:
                setup()
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    return [statistics.median(ts) for ts in times]


# ---- reads with checksums ---------------------------------------------------

class Payload(C.Structure):
    _fields_ = [("header", C.c_uint8 * 512), ("data", C.c_void_p), ("size", C.c_int64), ("stream", C.c_void_p),
                ("record", C.c_void_p), ("record_size", C.c_int64), ("expect", C.c_int64 * 4),
                ("seek_index", C.c_void_p)]


lib.zeb_prepare.argtypes = [C.c_void_p, C.c_int32, C.c_void_p, C.c_int32, C.c_char_p, C.c_int32, C.c_int32,
                            C.c_int32, C.c_void_p, C.c_void_p]
lib.zeb_payload_add_record.argtypes = [C.c_void_p, C.c_int32, C.c_void_p, C.c_int64, C.c_void_p]
lib.zeb_write_payload.argtypes = [C.c_char_p, C.c_void_p, C.c_int32, C.c_void_p, C.c_void_p]
lib.zeb_open_ex.argtypes = [C.c_char_p, C.c_int32, C.c_void_p, C.c_void_p, C.c_void_p, C.c_void_p, C.c_void_p]
lib.zeb_read_data.argtypes = [C.c_void_p, C.c_void_p, C.c_int64, C.c_void_p]
lib.zeb_close.argtypes = [C.c_void_p]
lib.zeb_crc32c_with.argtypes = [C.c_int32, C.POINTER(C.c_uint32), C.c_void_p, C.c_size_t]


def write_f0(path, frame, mode, record, threads=2):
    """An int16 frame written by the core calls, raw (mode -1) or the
    smallest stream (-2), with or without the header record: the stream is
    coded whole in memory, then written."""
    dims = (C.c_int32 * 2)(*frame.shape[::-1])
    pl = Payload()
    assert lib.zeb_prepare(frame.ctypes.data, 1, dims, 2, b"", 0, mode, threads, C.byref(pl), None) == 0
    if record:
        assert lib.zeb_payload_add_record(C.byref(pl), 0, None, -1, None) == 0
    assert lib.zeb_write_payload(path.encode(), C.byref(pl), 1, None, None) == 0
    lib.zeb_payload_free(C.byref(pl))


def core_read(path, frame, flags):
    """zeb_open_ex + zeb_read_data into a new array (verified unless flags is 1)."""
    out = np.empty_like(frame)
    reader = C.c_void_p()
    assert lib.zeb_open_ex(path.encode(), flags, C.byref(reader), None, None, None, None) == 0
    assert lib.zeb_read_data(reader, out.ctypes.data, out.nbytes, None) == 0
    lib.zeb_close(reader)
    return out


def checksum_reads(frame, repeat):
    """Reads of files with the header record, the data's CRC-32C checked as
    they are read, against the same data without a record (and, for raw
    files, numpy.fromfile), each into a new array; and CRC-32C itself."""
    print(f"reads with checksums, {frame.shape} {frame.dtype} frame, into a new array each time")
    tmp = tempfile.mkdtemp(prefix="pyzeb-bench-")
    try:
        for mode, label in ((-1, "raw"), (-2, "compressed")):
            plain, checked = os.path.join(tmp, "plain.f0"), os.path.join(tmp, "checked.f0")
            write_f0(plain, frame, mode, False)
            write_f0(checked, frame, mode, True)
            assert np.array_equal(core_read(checked, frame, 0), frame)
            t_np, t_plain, t_checked, t_unverified = paired_times([
                lambda: np.fromfile(plain, np.uint8, offset=512), lambda: core_read(plain, frame, 0),
                lambda: core_read(checked, frame, 0), lambda: core_read(checked, frame, 1)], 2 * repeat + 1)
            vs_np = f"   {t_np / t_checked:4.2f}x numpy.fromfile" if mode == -1 else ""
            print(f"  {label:<10} verified {mbs_of(frame, t_checked):6.0f} MB/s = {t_plain / t_checked:4.2f}x the same "
                  f"file without a record{vs_np}   (unverified {t_plain / t_unverified:4.2f}x)")
    finally:
        for f in os.listdir(tmp):
            os.unlink(os.path.join(tmp, f))
        os.rmdir(tmp)
    blob = np.random.default_rng(3).integers(0, 256, 64 << 20, dtype=np.uint8)
    for method, name in ((1, "portable (slicing-by-8)"), (2, "CRC instruction, one stream"),
                         (3, "CRC instruction, three streams"), (4, "carry-less multiplication")):
        value = C.c_uint32(0)
        if lib.zeb_crc32c_with(method, C.byref(value), blob.ctypes.data, blob.size) != 0:
            print(f"  CRC-32C {name:<32} not on this CPU")
            continue
        t = median_time(lambda: lib.zeb_crc32c_with(method, C.byref(value), blob.ctypes.data, blob.size), repeat)
        print(f"  CRC-32C {name:<32} {blob.size / t / 1e6:8.0f} MB/s")


def mbs_of(frame, seconds):
    return frame.nbytes / seconds / 1e6


# ---- stream choice and threaded encoding ----------------------------------

class StreamChoice(C.Structure):
    _fields_ = [("compression_type", C.c_int32), ("slice", C.c_int32), ("block_size", C.c_int32),
                ("nblocks", C.c_int32), ("stream_size", C.c_int64)]


lib.zeb_encode_threads.restype = C.c_int32
lib.zeb_encode_threads.argtypes = [C.c_int32, C.c_void_p, C.c_void_p] + [C.c_int32] * 6
lib.zeb_choose_stream.restype = C.c_int32
lib.zeb_choose_stream.argtypes = [C.c_int32, C.c_void_p, C.c_int64, C.c_int32, C.c_int32, C.c_void_p]


def choice_frames(n):
    """The bench frames, a low-noise 8-bit image and a sparse dark frame."""
    out = frames(n)
    rng = np.random.default_rng(777)
    y, x = np.mgrid[0:n, 0:n].astype(np.float64) / n
    image = 60 + 50 * np.sin(4 * x + 2 * y) * np.cos(3 * y) + rng.normal(0, 0.6, (n, n))
    out["int8 low-noise"] = np.clip(np.round(image), -128, 127).astype(np.int8)
    dark = np.zeros((n, n), np.int16)
    hits = rng.integers(0, n * n, n * n // 2000)
    dark.flat[hits] = rng.integers(20, 3000, hits.size)
    out["int16 sparse dark"] = dark
    return out


def stream_size(frame, ct, slice_, bs, nb):
    cap = lib.zeb_compress_bound(ct, slice_, bs, nb)
    out = np.empty(cap, np.uint8)
    return lib.zeb_encode(ct, out.ctypes.data, frame.ctypes.data, slice_, bs, nb, cap, 0)


def exhaustive_best(frame):
    """Smallest stream over every candidate layout, each encoded."""
    rows, cols = frame.shape
    plain, top = {1: (1, 8), 2: (0, 17), 4: (4, 32)}[frame.itemsize]
    sizes = [stream_size(frame, plain, s, cols, rows) for s in range(top + 1)]
    if frame.itemsize < 4:
        run = 3 if frame.itemsize == 1 else 2
        sizes += [stream_size(frame, run, s, bs, nb) for s in range(top + 1) for bs, nb in ((cols, rows), (frame.size, 1))]
    return min(sizes)


def choice_and_threads(n, repeat):
    """For each frame: the automatic choice's stream against the slice-5 plain
    stream (rows as blocks) and the exhaustive best, the time of choosing and
    encoding it against a slice-5 encode, and encoding on 1 and 2 threads."""
    print("stream choice and threaded encoding (medians; ratios against slice 5 measured in this run)")
    for label, frame in choice_frames(n).items():
        rows, cols = frame.shape
        ct5 = CT[frame.dtype]
        cap = frame.nbytes  # as the file layer gives it: the raw size
        buf = np.empty(cap, np.uint8)
        ch = StreamChoice()

        def choose(threads):
            assert lib.zeb_choose_stream(frame.itemsize, frame.ctypes.data, frame.size, cols, threads, C.byref(ch)) == 0

        def encode(ct, slice_, bs, nb, threads):
            return lib.zeb_encode_threads(ct, buf.ctypes.data, frame.ctypes.data, slice_, bs, nb, cap, 0, threads)

        size5 = stream_size(frame, ct5, SLICE, cols, rows)
        choose(1)
        got = stream_size(frame, ch.compression_type, ch.slice, ch.block_size, ch.nblocks)
        assert got == ch.stream_size, (got, ch.stream_size)
        best = exhaustive_best(frame)
        layout = f"type {ch.compression_type} slice {ch.slice} " + ("one block" if ch.nblocks == 1 else "rows")
        print(f"  {label:<18} choice {layout:<24} stream {got / size5:6.3f}x slice 5's, "
              f"{got / best:6.4f}x the exhaustive best")
        for threads in (1, 2):
            t5 = median_time(lambda: encode(ct5, SLICE, cols, rows, threads), repeat)
            tc = median_time(lambda: (choose(threads), encode(ch.compression_type, ch.slice, ch.block_size,
                                                              ch.nblocks, threads)), repeat)
            print(f"  {'':<18} {threads} thread{'s' if threads > 1 else ' '}: choose+encode {frame.nbytes / tc / 1e6:6.0f} MB/s,"
                  f" {t5 / tc:5.2f}x the speed of a slice-5 encode")
        t1 = median_time(lambda: encode(ct5, SLICE, cols, rows, 1), repeat)
        t2 = median_time(lambda: encode(ct5, SLICE, cols, rows, 2), repeat)
        print(f"  {'':<18} slice-5 encode: 1 thread {frame.nbytes / t1 / 1e6:6.0f} MB/s, 2 threads "
              f"{frame.nbytes / t2 / 1e6:6.0f} MB/s, {t1 / t2:5.2f}x")


if __name__ == "__main__":
    sys.exit(main())
