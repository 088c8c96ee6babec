#!/usr/bin/python3
"""pythonBench.py -- the Python package's speed and memory against the C++ engine.

Run with Debian's interpreter after the native build and an in-place build of
the package (scripts/test does both):

    PYTHONPATH=python /usr/bin/python3 bench/pythonBench.py [--skip-dask] [--stack-only
    [--keep-memory]]

Prints, for 4096x4096 8-bit grey (alpha 0, beta 0.5, gamma 0.7, delta 0.5):
the C++ in-memory run and whole-image entry (build/native/imageBench),
brisel.equalize with 1 and 2 threads (wall and CPU seconds, best of 5), the
peak memory of one call beyond its input; then brisel.dask.equalize of
8192x8192 in 1024-pixel chunks on Dask's threaded scheduler and on a local
cluster of 2 worker processes against brisel.equalize(threads=2) of the
same image; then a stack of 16 frames of 4096x4096, one frame a chunk, on a
local cluster of 2 worker processes against brisel.equalize with 1 and 2
threads (--stack-only runs only that). Figures from a machine
shared with other work are noisy: the CPU times show the work done.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

import brisel
import brisel.dask

ROOT = pathlib.Path(__file__).resolve().parents[1]
PARAMS = (0.0, 0.5, 0.7, 0.5)
REPETITIONS = 5


def engine_photo(side):
    """build/native/imageBench's picture itself: its ramp and edge, and its
    noise from the same Mersenne Twister stream (std::mt19937 seeded with 1)."""
    state = np.random.RandomState(1).get_state()  # the same seeding as std::mt19937(1)
    twister = np.random.MT19937()
    twister.state = {"bit_generator": "MT19937", "state": {"key": state[1], "pos": state[2]}}
    noise = (twister.random_raw(side * side) % 26).reshape(side, side)
    y, x = np.mgrid[0:side, 0:side]
    value = (x * 7 + y * 3) % 8192 // 64 + np.where(x > side // 2, 80, 0) + noise
    return np.minimum(value, 255).astype(np.uint8)


def photo(height, width, top=0, left=0, seed=1):
    """A picture like imageBench's: a ramp, an edge at column 2048, noise."""
    rng = np.random.default_rng(seed + top * 7 + left)
    y, x = np.mgrid[top:top + height, left:left + width]
    value = (x * 7 + y * 3) % 8192 // 64 + np.where(x > 2048, 80, 0) + rng.integers(0, 26, x.shape)
    return np.minimum(value, 255).astype(np.uint8)


def best(run):
    wall, cpu = [], []
    for _ in range(REPETITIONS):
        w, c = time.perf_counter(), time.process_time()
        run()
        wall.append(time.perf_counter() - w)
        cpu.append(time.process_time() - c)
    return min(wall), min(cpu)


def peak_memory_mib():
    # A fresh interpreter: the resident high-water mark before and after one
    # call (VmHWM: getrusage's maximum would start from this process's size).
    code = (
        "import numpy as np, brisel\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1])\n"
        "image = np.full((4096, 4096), 7, np.uint8); image[::3] = 200\n"
        "brisel.equalize(image[:64, :64])\n"
        "before = peak()\n"
        "brisel.equalize(image, 0.0, 0.5, 0.7, 0.5, threads=2)\n"
        "print((peak() - before) / 1024)\n")
    env = {"PYTHONPATH": str(ROOT / "python")}
    runs = [float(subprocess.run([sys.executable, "-c", code], env=env, check=True,
                                 capture_output=True, text=True).stdout) for _ in range(3)]
    return sorted(runs)[1]


# Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes
# glibc's mmap threshold: every array of 128 KiB or more, each chunk's result
# among them, then comes from pages never touched before, and on a virtual
# machine a first touch is dear. A cluster of image work can keep its memory.
KEEP_MEMORY = {"MALLOC_TRIM_THRESHOLD_": 1 << 28, "MALLOC_MMAP_THRESHOLD_": 1 << 27}


def dask_figures(worker_environ=None):
    import dask
    import dask.array as da
    import distributed

    side, chunk = 8192, 1024
    image = np.concatenate([photo(chunk, side, top=t) for t in range(0, side, chunk)])
    local_wall, _ = best(lambda: brisel.equalize(image, *PARAMS, threads=2))
    # The same chunks on Dask's threaded scheduler: one process, two threads.
    lazy = brisel.dask.equalize(da.from_array(image, chunks=chunk), *PARAMS)
    with dask.config.set(scheduler="threads", num_workers=2):
        threaded, _ = best(lazy.compute)
    settings = {} if worker_environ is None else {
        "distributed.nanny.pre-spawn-environ": {
            **dask.config.get("distributed.nanny.pre-spawn-environ"), **worker_environ}}
    with dask.config.set(settings), distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        # The input is made on the workers and kept there, as a cluster job's would be.
        lazy = da.map_blocks(lambda block, block_info=None: photo(
            *block.shape, top=block_info[None]["array-location"][0][0]),
            da.empty((side, side), dtype=np.uint8, chunks=(chunk, side)), dtype=np.uint8)
        source = client.persist(lazy.rechunk((chunk, chunk)))
        distributed.wait(source)
        assert np.array_equal(source.compute(), image), "workers made another picture"
        result = brisel.dask.equalize(source, *PARAMS)
        keys = {str(key) for key in dask.core.flatten(result.__dask_keys__())}

        def forget():
            # The next run must compute afresh, not find the last one's chunks
            # still held: wait until the scheduler has let go of them.
            def held(dask_scheduler):
                return any(str(key) in keys for key in dask_scheduler.tasks)
            while client.run_on_scheduler(held):
                time.sleep(0.01)

        def persist_seconds(lazy):
            start = time.perf_counter()
            held = client.persist(lazy)  # the result stays on the workers
            distributed.wait(held)
            took = time.perf_counter() - start
            del held
            forget()
            return took

        kept, gathered, copied = [], [], []
        # The same graph with a copy of each chunk in place of the filter: what
        # Dask and the chunks' memory cost without it.
        copies = brisel.dask._framed_chunk_graph(source, copy_tile,
                                                 brisel._check_parameters(*PARAMS), 1, True)
        keys |= {str(key) for key in dask.core.flatten(copies.__dask_keys__())}
        for run in range(REPETITIONS + 1):  # the first run loads the package on the workers
            kept.append(persist_seconds(result))
            start = time.perf_counter()
            out = client.compute(result).result()  # the result sent back to this process
            gathered.append(time.perf_counter() - start)
            forget()
            copied.append(persist_seconds(copies))
        assert np.array_equal(out, brisel.equalize(image, *PARAMS))
        # What the chunks' fresh memory costs a worker before any filtering:
        # its results, 1 MiB each, come from pages never touched before.
        faults = min(sum(client.run(fresh_pages_seconds).values()) for _ in range(3))
    return local_wall, threaded, min(kept[1:]), min(gathered[1:]), min(copied[1:]), faults


def copy_tile(block, strips, parameters, threads, full_range):
    """A stand-in for the filter's task: the chunk copied into a new array."""
    out = np.empty(block.shape, dtype=block.dtype)
    out[...] = block
    return out


def fresh_pages_seconds(count=32, size=1 << 20):
    """CPU seconds to fill `count` new arrays of `size` bytes, all kept."""
    start = time.process_time()
    kept = [np.ones(size, dtype=np.uint8) for _ in range(count)]
    took = time.process_time() - start
    del kept
    return took


STACK_FRAMES, STACK_SIDE, STACK_ROUNDS = 16, 4096, 3


def load_frames(path, start, stop):
    """Frames start..stop of the .npy stack at path, mapped from the file
    (the page cache), not read into fresh memory."""
    return np.load(path, mmap_mode="r")[start:stop]


def frames_from_file(path, shape, dtype, per_chunk=1):
    """A Dask array of the stack in path whose chunks are read by the
    workers themselves, a few frames each: only the path crosses the network."""
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    name = "frames-" + tokenize(path, shape, dtype, per_chunk)
    starts = range(0, shape[0], per_chunk)
    graph = {(name, k, 0, 0): (load_frames, path, start, min(start + per_chunk, shape[0]))
             for k, start in enumerate(starts)}
    chunks = (tuple(min(per_chunk, shape[0] - start) for start in starts),
              (shape[1],), (shape[2],))
    return da.Array(HighLevelGraph.from_collections(name, graph), name, chunks, dtype=dtype,
                    meta=np.empty((0, 0, 0), dtype=dtype))


def stack_figures():
    """A stack of frames as a cluster job holds it: brisel.equalize with 1 and 2
    threads in this process against brisel.dask.equalize on 2 worker processes,
    interleaved, best of STACK_ROUNDS. Two ways in: (a) every side reads the
    frames from the same .npy file in the timed run (this process the whole
    stack, each worker its own chunks, both mapped from the page cache), and
    (b) the frames already in memory (this process's array; on the cluster
    persisted on the workers before timing). The results stay where they were
    made: this process's array, the workers' memory; the time to gather them
    back to this process is shown beside."""
    import dask
    import distributed

    frames = [photo(STACK_SIDE, STACK_SIDE, seed=seed) for seed in range(STACK_FRAMES)]
    stack = np.stack(frames)
    del frames
    folder = tempfile.mkdtemp(prefix="brisel-stack-")
    path = os.path.join(folder, "stack.npy")
    np.save(path, stack)
    expected = brisel.equalize(stack, *PARAMS, threads=2)
    times, cpu = {}, {}
    workers_cpu = None  # the workers' CPU seconds so far, once the cluster is up

    def timed(label, run):
        # Wall time, and the CPU time of this process (on the cluster: with the
        # scheduler in it) and of the workers, which a loaded machine leaves alone.
        before = workers_cpu() if workers_cpu else 0.0
        start, start_cpu = time.perf_counter(), time.process_time()
        result = run()
        times.setdefault(label, []).append(time.perf_counter() - start)
        spent = time.process_time() - start_cpu
        if label.endswith("cluster"):
            spent += workers_cpu() - before
        cpu.setdefault(label, []).append(spent)
        return result

    print(f"load before: {open('/proc/loadavg').read().split()[:3]}")
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None,
                                      silence_logs=40) as cluster, \
                distributed.Client(cluster) as client:
            def workers_cpu():
                return sum(client.run(time.process_time).values())
            from_file = frames_from_file(path, stack.shape, stack.dtype)
            held = client.persist(from_file)
            distributed.wait(held)
            lazy = {"file": brisel.dask.equalize(from_file, *PARAMS, threads=1),
                    "memory": brisel.dask.equalize(held, *PARAMS, threads=1)}
            keys = {str(key) for result in lazy.values()
                    for key in dask.core.flatten(result.__dask_keys__())}

            def forget():
                def holds(dask_scheduler):
                    return any(str(key) in keys for key in dask_scheduler.tasks)
                while client.run_on_scheduler(holds):
                    time.sleep(0.01)

            def on_cluster(result):
                kept = client.persist(result)
                distributed.wait(kept)
                return kept

            for round in range(STACK_ROUNDS + 1):  # round 0 warms up the workers, uncounted
                for threads in (1, 2):
                    out = timed(f"file {threads}", lambda: brisel.equalize(
                        np.load(path, mmap_mode="r"), *PARAMS, threads=threads))
                    assert round or np.array_equal(out, expected)
                    del out
                    timed(f"memory {threads}",
                          lambda: brisel.equalize(stack, *PARAMS, threads=threads))
                for way in ("file", "memory"):
                    kept = timed(f"{way} cluster", lambda: on_cluster(lazy[way]))
                    start = time.perf_counter()
                    out = kept.compute()
                    times.setdefault(f"{way} gathered", []).append(time.perf_counter() - start)
                    assert np.array_equal(out, expected), "the cluster gave other bytes"
                    del out, kept
                    forget()
    finally:
        os.remove(path)
        os.rmdir(folder)
    print(f"load after: {open('/proc/loadavg').read().split()[:3]}")
    return ({label: min(values[1:]) for label, values in times.items()},
            {label: min(values[1:]) for label, values in cpu.items()})


def print_stack_figures(figures):
    best_of, cpu = figures
    print(f"{STACK_FRAMES} frames of {STACK_SIDE}x{STACK_SIDE} uint8 grey, one frame a chunk; "
          f"LocalCluster of 2 worker processes, 1 thread each; best of {STACK_ROUNDS} "
          "interleaved rounds")
    for way, how in (("file", "read from one .npy file inside the timed run"),
                     ("memory", "already in memory (on the cluster: persisted on the workers)")):
        one, two, cluster = (best_of[f"{way} {k}"] for k in (1, 2, "cluster"))
        print(f"  frames {how}")
        one_cpu, two_cpu, cluster_cpu = (cpu[f"{way} {k}"] for k in (1, 2, "cluster"))
        print(f"    brisel.equalize threads=1              {one:.3f} s ({one_cpu:.3f} s CPU)")
        print(f"    brisel.equalize threads=2              {two:.3f} s ({two_cpu:.3f} s CPU)")
        print(f"    brisel.dask.equalize on the cluster    {cluster:.3f} s ({cluster_cpu:.3f} s "
              f"CPU with the scheduler's): {one / cluster:.2f}x faster than threads=1 "
              f"(target >= 1.5), {cluster / two:.2f}x the time of threads=2 (target <= 1.3); "
              f"CPU {cluster_cpu / one_cpu:.2f}x of threads=1")
        print(f"    and gathered to this process           "
              f"+{best_of[f'{way} gathered']:.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--stack-only", action="store_true",
                        help="only the stack of frames on a local cluster")
    parser.add_argument("--keep-memory", action="store_true",
                        help="the stack's workers started with KEEP_MEMORY")
    args = parser.parse_args()
    if args.stack_only:
        import dask
        import distributed  # noqa: F401 (its configuration defaults)
        environ = {**dask.config.get("distributed.nanny.pre-spawn-environ"),
                   **(KEEP_MEMORY if args.keep_memory else {})}
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
            print_stack_figures(stack_figures())
        return

    engine = {}
    bench = ROOT / "build" / "native" / "imageBench"
    for line in subprocess.run([str(bench)], check=True, capture_output=True,
                               text=True).stdout.splitlines():
        name, wall_ms, cpu_ms = line.split()
        engine[name] = (float(wall_ms) / 1000, float(cpu_ms) / 1000)

    image = engine_photo(4096)
    one_wall, one_cpu = best(lambda: brisel.equalize(image, *PARAMS, threads=1))
    two_wall, two_cpu = best(lambda: brisel.equalize(image, *PARAMS, threads=2))
    print(f"brisel {brisel.__version__}, 4096x4096 uint8 grey, alpha/beta/gamma/delta {PARAMS}")
    for name, label in (("engine-in-memory", "C++ in-memory run (copy + run)"),
                        ("image-threads-1", "C++ whole-image, 1 thread"),
                        ("image-threads-2", "C++ whole-image, 2 threads")):
        print(f"  {label:<31}{engine[name][0]:.3f} s wall {engine[name][1]:.3f} s CPU")
    run_wall, run_cpu = engine["engine-in-memory"]
    print(f"  brisel.equalize threads=1      {one_wall:.3f} s wall {one_cpu:.3f} s CPU: "
          f"{one_wall / run_wall:.2f}x wall, {one_cpu / run_cpu:.2f}x CPU of the C++ in-memory "
          "run (target <= 1.1)")
    print(f"  brisel.equalize threads=2      {two_wall:.3f} s wall {two_cpu:.3f} s CPU: "
          f"speed-up {one_wall / two_wall:.2f}x (target >= 1.8 on 2 idle cores), "
          f"CPU {two_cpu / one_cpu:.2f}x of threads=1")
    print(f"  peak memory of one call beyond its input: {peak_memory_mib():.1f} MiB "
          f"(output 16.0 MiB)")
    for environ, how in ((None, "Dask's default worker environment"),
                         (KEEP_MEMORY, "workers keeping their memory (MALLOC_*_THRESHOLD_)")):
        if args.skip_dask:
            break
        local_wall, threaded, kept, gathered, copied, faults = dask_figures(environ)
        print(f"8192x8192 uint8 grey, 1024-pixel chunks, LocalCluster of 2 worker processes, {how}")
        print(f"  brisel.equalize threads=2      {local_wall:.3f} s")
        print(f"  brisel.dask.equalize, threaded scheduler, 2 threads {threaded:.3f} s: "
              f"{threaded / local_wall:.2f}x")
        print(f"  brisel.dask.equalize, kept     {kept:.3f} s: {kept / local_wall:.2f}x "
              "(target <= 1.5)")
        print(f"  brisel.dask.equalize, gathered {gathered:.3f} s: {gathered / local_wall:.2f}x")
        print(f"  the same graph, a copy in place of the filter {copied:.3f} s: "
              f"{copied / local_wall:.2f}x")
        print(f"  filling 32 fresh 1 MiB arrays on each worker: {faults:.3f} s CPU in all "
              "(the first touch of the results' memory)")
    if not args.skip_dask:
        print_stack_figures(stack_figures())


if __name__ == "__main__":
    main()
