"""tavrik side by side with numpy brute force, hnswlib, FAISS and USearch.

One process, the same seeded data for every library. With --runs N every
timed workload below is repeated N times in that process and the spread is
kept (data and ground truth are made once and reused):

  exact    499 points, d = 128, 384 and 768 (the targets) and 1,024 and
           1,536 (reported, no target), single-query latency per metric
           with the query as a Python list, against numpy (matrix @ q +
           argpartition) and FAISS flat indexes;
  graph    clustered data (100 Gaussian clusters), d = 128 at each --sizes
           and d = 384 at each --sizes-384: build time, single-query QPS and
           recall@10 (cosine, ef = 32), batch search of the query set on
           2 threads, save / load time (files on a tmpfs) and file size;
  memory   resident-set growth per point while building each index in a
           fresh subprocess, d = 128 at each --sizes (raw vector: 512 bytes).

Prints every target as MET (met in every run) or MISSED, and markdown tables
of the ratios, targets and raw figures (median and min-max over the runs).
Writes OUT/latest.json (every run's figures and the spread),
OUT/recall_vs_qps.png and OUT/ratios.png. Every ratio is "times better for
tavrik": above 1 tavrik wins.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \\
        PYTHONPATH=build/py3.11 python3 bench/compare.py [--quick] [--runs N]
"""
from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
K = 10
EF = 32
# Save and load times: best of this many, for every library (one save or
# load is easily thrown by a busy machine), each after one untimed save and
# load of its own. Without that, whichever library saves first in a workload
# pays for the process's first writes to the tmpfs: its first saves of a
# 10,000-point index take about twice its later ones, whichever it is.
SAVE_LOAD_REPEATS = 3
# Points of the throwaway build a memory measurement makes before its
# baseline (see memory_child).
MEMORY_WARMUP_POINTS = 200
M = 16
EF_CONSTRUCTION = 64
CLUSTERS = 100
GRAPH_DIMS = 128  # the graph targets are stated at this dimension
WIDE_DIMS = 384  # the second graph dimension, reported as ratios
EXACT_POINTS = 499  # below the 500-point threshold: always the exact scan
EXACT_DIMS = (128, 384, 768)  # the exact-scan targets are stated at these
# Wider embeddings, measured and reported beside them without a target: here
# the 499 vectors no longer fit one core's cache, while numpy's BLAS splits
# its product over both cores.
EXACT_WIDE_DIMS = (1024, 1536)
METRICS = ("cosine", "dot", "euclidean")


# ---------------------------------------------------------------- peers --

def import_peers():
    """Each peer module, or the import error text that makes it missing."""
    peers, missing = {}, {}
    for name, module in (("tavrik", "tavrik"), ("hnswlib", "hnswlib"),
                         ("faiss", "faiss"), ("usearch", "usearch.index")):
        try:
            peers[name] = __import__(module, fromlist=["_"])
        except Exception as error:  # noqa: BLE001 - any import failure means missing
            missing[name] = f"{type(error).__name__}: {error}"
    return peers, missing


def versions(peers):
    from importlib import metadata
    out = {"numpy": np.__version__, "python": platform.python_version()}
    for name, dist in (("hnswlib", "hnswlib"), ("faiss", "faiss-cpu"), ("usearch", "usearch")):
        if name in peers:
            try:
                out[name] = metadata.version(dist)
            except metadata.PackageNotFoundError:
                out[name] = getattr(peers[name], "__version__", "?")
    return out


def blas_info():
    try:
        from threadpoolctl import threadpool_info
        return [{k: v for k, v in info.items() if k != "filepath"} for info in threadpool_info()]
    except Exception as error:  # noqa: BLE001
        return [{"error": str(error)}]


# ----------------------------------------------------------------- data --

def clustered(rng, count, dims, centres, spread=0.3):
    labels = rng.integers(0, len(centres), size=count)
    return (centres[labels] + rng.normal(0.0, spread, size=(count, dims))).astype(np.float32)


def make_graph_data(seed, count, queries, dims=GRAPH_DIMS):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 1.0, size=(CLUSTERS, dims))
    return clustered(rng, count, dims, centres), clustered(rng, queries, dims, centres)


def normalise(x):
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def ground_truth_cosine(data, queries, k=K):
    dn, qn = normalise(data), normalise(queries)
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 256):
        scores = qn[start:start + 256] @ dn.T
        top = np.argpartition(-scores, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1)
        out[start:start + 256] = np.take_along_axis(top, order, axis=1)
    return out


def recall(found, truth):
    hits = sum(len(set(map(int, f)) & set(map(int, t))) for f, t in zip(found, truth))
    return hits / (len(truth) * truth.shape[1])


# --------------------------------------------------------------- timing --

def per_call_seconds(work, items, repeats):
    """Best (smallest) mean seconds per item over `repeats` runs of work()."""
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        work()
        best = min(best, (time.perf_counter() - started) / items)
    return best


def timed(work):
    started = time.perf_counter()
    result = work()
    return time.perf_counter() - started, result


def faiss_threads(peers, count):
    if "faiss" in peers:
        peers["faiss"].omp_set_num_threads(count)


# ---------------------------------------------------------------- exact --

def numpy_exact(matrix, metric):
    """A single-query top-K function over `matrix`, the way numpy users write it."""
    if metric == "cosine":
        unit = normalise(matrix)

        def search(q):
            scores = unit @ (q / np.linalg.norm(q))
            top = np.argpartition(-scores, K)[:K]
            return top[np.argsort(-scores[top])]
    elif metric == "dot":
        def search(q):
            scores = matrix @ q
            top = np.argpartition(-scores, K)[:K]
            return top[np.argsort(-scores[top])]
    else:
        norms = np.einsum("ij,ij->i", matrix, matrix)

        def search(q):
            dist = norms - 2.0 * (matrix @ q) + q @ q
            top = np.argpartition(dist, K)[:K]
            order = top[np.argsort(dist[top])]
            np.sqrt(np.maximum(dist[order], 0.0))
            return order
    return search


def faiss_exact(faiss, matrix, metric):
    d = matrix.shape[1]
    if metric == "euclidean":
        index = faiss.IndexFlatL2(d)
        index.add(matrix)
        return lambda q: index.search(q.reshape(1, -1), K)
    index = faiss.IndexFlatIP(d)
    if metric == "cosine":
        index.add(normalise(matrix))

        def search(q):
            q = q.reshape(1, -1)
            return index.search(q / np.linalg.norm(q), K)
        return search
    index.add(matrix)
    return lambda q: index.search(q.reshape(1, -1), K)


def bench_exact(peers, seed, points, dims_list, queries, repeats):
    results = []
    faiss_threads(peers, 1)
    for dims in dims_list:
        rng = np.random.default_rng(seed + dims)
        matrix = rng.normal(size=(points, dims)).astype(np.float32)
        qs = rng.normal(size=(queries, dims)).astype(np.float32)
        q_lists = qs.tolist()
        store = None
        if "tavrik" in peers:
            store = peers["tavrik"].VectorStorage()
            for i, row in enumerate(matrix.tolist()):
                store.upsert(i, row, None)
        for metric in METRICS:
            row = {"points": points, "dims": dims, "metric": metric}
            np_search = numpy_exact(matrix, metric)
            row["numpy_us"] = 1e6 * per_call_seconds(
                lambda: [np_search(q) for q in qs], queries, repeats)
            if store is not None:
                row["tavrik_us"] = 1e6 * per_call_seconds(
                    lambda: [store.search(q, K, metric) for q in q_lists], queries, repeats)
                row["tavrik_numpy_query_us"] = 1e6 * per_call_seconds(
                    lambda: [store.search(q, K, metric) for q in qs], queries, repeats)
                # Same top ids as numpy (ties aside): a sanity check, not a timing.
                agree = np.mean([
                    len(set(i for i, _ in store.search(q, K, metric)) & set(map(int, np_search(q)))) / K
                    for q in qs[:50]])
                row["tavrik_numpy_overlap"] = float(agree)
            if "faiss" in peers:
                fs = faiss_exact(peers["faiss"], matrix, metric)
                row["faiss_flat_us"] = 1e6 * per_call_seconds(
                    lambda: [fs(q) for q in qs], queries, repeats)
            results.append(row)
            print(f"  exact {points}x{dims} {metric:9s} " + "  ".join(
                f"{k}={v:.2f}" for k, v in row.items() if k.endswith("_us")), flush=True)
    faiss_threads(peers, 2)
    return results


# ---------------------------------------------------------------- graph --

class TavrikGraph:
    name = "tavrik"

    def __init__(self, peers, dims):
        self.mod = peers["tavrik"]
        self.index = self.mod.VectorStorage()

    def build(self, data):
        upsert = self.index.upsert
        for i in range(len(data)):
            upsert(i, data[i], None)  # one call per point, straight from a numpy row

    def prepare_queries(self, queries):
        return queries.tolist()

    def search_one(self, q):
        return [i for i, _ in self.index.search(q, K, "cosine")]

    def search_batch(self, qs):
        return [[i for i, _ in hits] for hits in self.index.batch_search(qs, K, "cosine")]

    def set_ef(self, ef):
        return ef == EF  # fixed by the store

    def save(self, path):
        self.index.save(path)

    def load(self, path, dims, count):
        fresh = self.mod.VectorStorage()
        fresh.load(path)
        return fresh


class HnswlibGraph:
    name = "hnswlib"

    def __init__(self, peers, dims, threads=-1):
        self.mod = peers["hnswlib"]
        self.dims = dims
        self.threads = threads
        self.index = self.mod.Index(space="cosine", dim=dims)

    def build(self, data):
        self.index.init_index(max_elements=len(data), M=M, ef_construction=EF_CONSTRUCTION,
                              random_seed=100)
        self.index.add_items(data, np.arange(len(data)), num_threads=self.threads)
        self.index.set_ef(EF)

    def prepare_queries(self, queries):
        return queries

    def search_one(self, q):
        return self.index.knn_query(q, k=K, num_threads=1)[0][0]

    def search_batch(self, qs):
        return self.index.knn_query(qs, k=K, num_threads=2)[0]

    def set_ef(self, ef):
        self.index.set_ef(ef)
        return True

    def save(self, path):
        self.index.save_index(path)

    def load(self, path, dims, count):
        fresh = self.mod.Index(space="cosine", dim=dims)
        fresh.load_index(path, max_elements=count)
        return fresh


class FaissGraph:
    name = "faiss"

    def __init__(self, peers, dims):
        self.mod = peers["faiss"]
        self.index = self.mod.IndexHNSWFlat(dims, M, self.mod.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.index.hnsw.efSearch = EF

    def build(self, data):
        self.mod.omp_set_num_threads(2)
        self.index.add(normalise(data))

    def prepare_queries(self, queries):
        return normalise(queries)

    def search_one(self, q):
        return self.index.search(q.reshape(1, -1), K)[1][0]

    def search_batch(self, qs):
        self.mod.omp_set_num_threads(2)
        out = self.index.search(qs, K)[1]
        self.mod.omp_set_num_threads(1)
        return out

    def set_ef(self, ef):
        self.index.hnsw.efSearch = ef
        return True

    def save(self, path):
        self.mod.write_index(self.index, path)

    def load(self, path, dims, count):
        return self.mod.read_index(path)


class UsearchGraph:
    name = "usearch"

    def __init__(self, peers, dims):
        self.mod = peers["usearch"]
        self.dims = dims
        self.index = self.mod.Index(ndim=dims, metric="cos", dtype="f32", connectivity=M,
                                    expansion_add=EF_CONSTRUCTION, expansion_search=EF)

    def build(self, data):
        self.index.add(np.arange(len(data)), data, threads=2)

    def prepare_queries(self, queries):
        return queries

    def search_one(self, q):
        return self.index.search(q, K, threads=1).keys

    def search_batch(self, qs):
        return self.index.search(qs, K, threads=2).keys

    def set_ef(self, ef):
        self.index.expansion_search = ef
        return True

    def save(self, path):
        self.index.save(path)

    def load(self, path, dims, count):
        fresh = self.mod.Index(ndim=dims, metric="cos", dtype="f32", connectivity=M,
                               expansion_add=EF_CONSTRUCTION, expansion_search=EF)
        fresh.load(path)
        return fresh


GRAPHS = {"tavrik": TavrikGraph, "hnswlib": HnswlibGraph, "faiss": FaissGraph,
          "usearch": UsearchGraph}
SWEEP = (16, 32, 64, 128)


def bench_graph(peers, sample, n_queries, repeats, workdir):
    data, queries, truth = sample["data"], sample["queries"], sample["truth"]
    count, dims = data.shape
    out = {"points": count, "dims": dims, "queries": n_queries, "libs": {}}
    for name, cls in GRAPHS.items():
        if name not in peers:
            continue
        gc.collect()
        faiss_threads(peers, 2)
        lib = cls(peers, dims)
        row = {}
        row["build_s"], _ = timed(lambda: lib.build(data))
        row["build_points_per_s"] = count / row["build_s"]
        if name == "hnswlib":  # the same bulk build on one thread
            single = HnswlibGraph(peers, dims, threads=1)
            row["build_1thread_s"], _ = timed(lambda: single.build(data))
            del single
        faiss_threads(peers, 1)
        qs = lib.prepare_queries(queries)
        found = []
        row["single_query_us"] = 1e6 * per_call_seconds(
            lambda: found.__setitem__(slice(None), [lib.search_one(q) for q in qs]),
            n_queries, repeats)
        row["single_qps"] = 1e6 / row["single_query_us"]
        row["recall_at_10"] = recall(found, truth)
        batch_found = []
        row["batch_s"] = n_queries * per_call_seconds(
            lambda: batch_found.__setitem__(slice(None), list(lib.search_batch(qs))),
            n_queries, repeats)
        row["batch_qps"] = n_queries / row["batch_s"]
        row["batch_recall_at_10"] = recall(batch_found, truth)
        sweep = []
        for ef in SWEEP:
            if not lib.set_ef(ef):
                continue
            hits = []
            us = 1e6 * per_call_seconds(
                lambda: hits.__setitem__(slice(None), [lib.search_one(q) for q in qs]),
                n_queries, 1)
            sweep.append({"ef": ef, "qps": 1e6 / us, "recall_at_10": recall(hits, truth)})
        lib.set_ef(EF)
        row["ef_sweep"] = sweep
        # Each save goes to a fresh file on a tmpfs, so no library pays for
        # disk writes or syncs; each load goes into a fresh index.
        path = str(workdir / f"{name}-{count}x{dims}.idx")
        row["save_s"] = row["load_s"] = float("inf")
        lib.save(path)  # the untimed warm-up save and load
        lib.load(path, dims, count)
        for _ in range(SAVE_LOAD_REPEATS):
            if os.path.exists(path):
                os.remove(path)
            gc.collect()
            seconds, _ = timed(lambda: lib.save(path))
            row["save_s"] = min(row["save_s"], seconds)
        row["file_bytes"] = os.path.getsize(path)
        for _ in range(SAVE_LOAD_REPEATS):
            gc.collect()
            seconds, loaded = timed(lambda: lib.load(path, dims, count))
            row["load_s"] = min(row["load_s"], seconds)
            del loaded
        os.remove(path)
        out["libs"][name] = row
        print(f"  graph {count}x{dims} {name:8s} build={row['build_s']:.2f}s "
              f"qps={row['single_qps']:.0f} recall={row['recall_at_10']:.3f} "
              f"batch_qps={row['batch_qps']:.0f} save={row['save_s'] * 1e3:.1f}ms "
              f"load={row['load_s'] * 1e3:.1f}ms file={row['file_bytes'] / 1e6:.1f}MB",
              flush=True)
        del lib
        gc.collect()
    faiss_threads(peers, 2)
    return out


def graph_sample(seed, count, dims, n_queries):
    """The data, queries and exact cosine ground truth of one graph workload."""
    data, queries = make_graph_data(seed, count, n_queries, dims)
    return {"data": data, "queries": queries, "truth": ground_truth_cosine(data, queries)}


def save_dir():
    """A fresh directory on a tmpfs (/dev/shm) when there is one, and its file system."""
    fs = {}
    with open("/proc/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            if len(fields) > 2:
                fs[fields[1]] = fields[2]
    if fs.get("/dev/shm") == "tmpfs" and os.access("/dev/shm", os.W_OK):
        return Path(tempfile.mkdtemp(prefix="tavrik-bench-", dir="/dev/shm")), "tmpfs"
    path = Path(tempfile.mkdtemp(prefix="tavrik-bench-"))
    print(f"warning: no writable tmpfs at /dev/shm; saving under {path}", file=sys.stderr)
    return path, "unknown (not /dev/shm)"


# --------------------------------------------------------------- memory --

def rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def release_free_heap():
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass  # not glibc: nothing to hand back


def memory_child(name, count, dims, seed):
    """Runs in a fresh interpreter: prints RSS growth for one index build."""
    peers, missing = import_peers()
    if name not in peers:
        print(json.dumps({"missing": missing.get(name, "not imported")}))
        return
    data, _ = make_graph_data(seed, count, 1, dims)
    if name == "faiss":
        data = normalise(data)  # the build's own copy, made before the baseline
    faiss_threads(peers, 2)
    # A small build first, in an index of its own that is then dropped: the
    # library's code pages and its one-time allocations (thread pools,
    # caches) become resident before the baseline, so the growth measured is
    # what the points cost. Without it, a 10,000-point build would also carry
    # some 35 bytes per point of tavrik's code alone.
    warm = GRAPHS[name](peers, dims)
    if name == "faiss":
        warm.index.add(data[:MEMORY_WARMUP_POINTS])
    else:
        warm.build(data[:MEMORY_WARMUP_POINTS])
    del warm
    lib = GRAPHS[name](peers, dims)
    gc.collect()
    # Hand the heap pages freed so far (the data's temporaries) back to the
    # system first, or a build reuses them unseen and its growth is short:
    # FAISS at 10,000 points showed 49 bytes per point without this.
    release_free_heap()
    before = rss_bytes()
    if name == "faiss":
        lib.index.add(data)
    else:
        lib.build(data)
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"rss_growth_bytes": after - before, "bytes_per_point": (after - before) / count}))


def bench_memory(peers, seed, count, dims=GRAPH_DIMS):
    raw = dims * 4
    out = {"points": count, "dims": dims, "raw_bytes_per_point": raw, "libs": {}}
    for name in GRAPHS:
        if name not in peers:
            continue
        proc = subprocess.run(
            [sys.executable, __file__, "--memory-child", name, "--memory-points", str(count),
             "--memory-dims", str(dims), "--seed", str(seed)],
            capture_output=True, text=True, env=os.environ.copy())
        if proc.returncode != 0:
            out["libs"][name] = {"error": proc.stderr.strip()[-500:]}
            continue
        row = json.loads(proc.stdout.strip().splitlines()[-1])
        if "bytes_per_point" in row:
            row["ratio_to_raw"] = row["bytes_per_point"] / raw
        out["libs"][name] = row
        print(f"  memory {count}x{dims} {name:8s} {row.get('bytes_per_point', 0):.0f} B/point "
              f"({row.get('ratio_to_raw', float('nan')):.2f}x raw)", flush=True)
    return out


# --------------------------------------------------------------- ratios --

def config_label(points, dims):
    size = f"{points // 1000}k" if points >= 1000 and points % 1000 == 0 else str(points)
    return f"{size} x{dims}"


def ratios(run):
    """One run's ratios, each tavrik's advantage (above 1 tavrik is better)."""
    rows = []

    def add(group, workload, peer, column, value):
        rows.append({"group": group, "workload": workload, "peer": peer, "column": column,
                     "tavrik_advantage": value})

    for r in run["exact"]:
        if "tavrik_us" not in r:
            continue
        column = f"{r['points']} x{r['dims']}"
        add("exact", f"{r['metric']} latency", "numpy", column, r["numpy_us"] / r["tavrik_us"])
        if "faiss_flat_us" in r:
            add("exact", f"{r['metric']} latency", "faiss-flat", column,
                r["faiss_flat_us"] / r["tavrik_us"])
    for g in run["graph"]:
        libs = g["libs"]
        if "tavrik" not in libs:
            continue
        t = libs["tavrik"]
        column = config_label(g["points"], g["dims"])
        for peer, p in libs.items():
            if peer == "tavrik":
                continue
            add("graph", "build time", peer, column, p["build_s"] / t["build_s"])
            if "build_1thread_s" in p:
                add("graph", "build time (peer on 1 thread)", peer, column,
                    p["build_1thread_s"] / t["build_s"])
            add("graph", "single-query QPS", peer, column, t["single_qps"] / p["single_qps"])
            add("graph", "recall@10", peer, column, t["recall_at_10"] / p["recall_at_10"])
            add("graph", "batch QPS (2 threads)", peer, column, t["batch_qps"] / p["batch_qps"])
            add("graph", "save time", peer, column, p["save_s"] / t["save_s"])
            add("graph", "load time", peer, column, p["load_s"] / t["load_s"])
            add("graph", "file size", peer, column, p["file_bytes"] / t["file_bytes"])
    for m in run.get("memory", []):
        mem = m["libs"]
        if "bytes_per_point" not in mem.get("tavrik", {}):
            continue
        for peer, p in mem.items():
            if peer != "tavrik" and "bytes_per_point" in p:
                add("memory", "memory per point", peer, config_label(m["points"], m["dims"]),
                    p["bytes_per_point"] / mem["tavrik"]["bytes_per_point"])
    return rows


# -------------------------------------------------------------- targets --

# The targets, each a ratio (or a byte count) against a bound.
EXACT_VS_NUMPY = {128: 0.6}  # tavrik time / numpy time at most this ...
EXACT_VS_NUMPY_OTHER = 0.85  # ... and this at every other d
GRAPH_QPS_FACTOR = 2.0  # single query, tavrik QPS / hnswlib QPS at ef = 32
BATCH_QPS_FACTOR = 2.0  # batch_search on 2 threads against hnswlib on 2 threads
BUILD_FACTOR = 5.0  # hnswlib add_items on one thread / tavrik upserts


def memory_bound(points):
    """Bytes per point at d = 128: 650 over a 10,000-point build, 620 from 100,000 points."""
    return 620.0 if points >= 100_000 else 650.0


def targets(run):
    """One run's targets: value `op` bound, with the figures behind it."""
    out = []

    def add(key, label, value, op, bound, detail):
        met = math.isfinite(value) and (value <= bound if op == "<=" else value >= bound)
        out.append({"id": key, "target": label, "value": value, "op": op, "bound": bound,
                    "met": bool(met), "detail": detail})

    for r in run["exact"]:
        if "tavrik_us" not in r or r["dims"] not in EXACT_DIMS:
            continue
        n, d, metric = r["points"], r["dims"], r["metric"]
        bound = EXACT_VS_NUMPY.get(d, EXACT_VS_NUMPY_OTHER)
        add(f"exact-numpy-{d}-{metric}", f"exact {n}x{d} {metric}: tavrik / numpy time",
            r["tavrik_us"] / r["numpy_us"], "<=", bound,
            f"tavrik {r['tavrik_us']:.2f} us vs numpy {r['numpy_us']:.2f} us")
        if "faiss_flat_us" in r:
            add(f"exact-faiss-{d}-{metric}", f"exact {n}x{d} {metric}: tavrik / FAISS flat time",
                r["tavrik_us"] / r["faiss_flat_us"], "<=", 1.0,
                f"tavrik {r['tavrik_us']:.2f} us vs FAISS flat {r['faiss_flat_us']:.2f} us")
    for g in run["graph"]:
        libs = g["libs"]
        if g["dims"] != GRAPH_DIMS or "tavrik" not in libs:
            continue
        t, n = libs["tavrik"], f"{g['points']}x{g['dims']}"
        if "hnswlib" in libs:
            h = libs["hnswlib"]
            add(f"qps-{n}", f"graph {n} single query: tavrik / hnswlib QPS (ef=32)",
                t["single_qps"] / h["single_qps"], ">=", GRAPH_QPS_FACTOR,
                f"tavrik {t['single_qps']:.0f} (recall {t['recall_at_10']:.3f}) vs "
                f"hnswlib {h['single_qps']:.0f} (recall {h['recall_at_10']:.3f}) QPS")
            add(f"batch-{n}",
                f"graph {n} batch_search of {g['queries']}: tavrik / hnswlib QPS (2 threads)",
                t["batch_qps"] / h["batch_qps"], ">=", BATCH_QPS_FACTOR,
                f"tavrik {t['batch_qps']:.0f} vs hnswlib {h['batch_qps']:.0f} QPS")
            add(f"build-{n}", f"graph {n} build: hnswlib add_items 1 thread / tavrik upserts",
                h["build_1thread_s"] / t["build_s"], ">=", BUILD_FACTOR,
                f"tavrik {t['build_s']:.3f} s vs hnswlib {h['build_1thread_s']:.3f} s "
                f"on 1 thread ({h['build_s']:.3f} s on 2)")
            add(f"save-{n}", f"graph {n} save: tavrik / hnswlib save_index time",
                t["save_s"] / h["save_s"], "<=", 1.0,
                f"tavrik {t['save_s'] * 1e3:.1f} ms vs hnswlib {h['save_s'] * 1e3:.1f} ms")
        if "faiss" in libs:
            f = libs["faiss"]
            add(f"load-{n}", f"graph {n} load: tavrik / FAISS read_index time",
                t["load_s"] / f["load_s"], "<=", 1.0,
                f"tavrik {t['load_s'] * 1e3:.1f} ms vs FAISS {f['load_s'] * 1e3:.1f} ms")
    for m in run.get("memory", []):
        mem = m["libs"].get("tavrik", {})
        if m["dims"] != GRAPH_DIMS or "bytes_per_point" not in mem:
            continue
        n = f"{m['points']}x{m['dims']}"
        add(f"memory-{n}", f"memory {n}: tavrik bytes per point", mem["bytes_per_point"], "<=",
            memory_bound(m["points"]),
            f"tavrik {mem['bytes_per_point']:.0f} B/point ({mem['bytes_per_point'] / 512:.2f}x raw)")
    return out


# --------------------------------------------------------------- spread --

def summary(values):
    finite = [v for v in values if v is not None and math.isfinite(v)]
    if not finite:
        return {"min": None, "median": None, "max": None}
    return {"min": min(finite), "median": statistics.median(finite), "max": max(finite)}


def spread_ratios(runs):
    """Every ratio over the runs: its value in each run and min / median / max."""
    rows = {}
    for i, run in enumerate(runs):
        for r in run["ratios"]:
            key = (r["group"], r["workload"], r["peer"], r["column"])
            row = rows.setdefault(key, {k: r[k] for k in ("group", "workload", "peer", "column")}
                                  | {"values": [None] * len(runs)})
            row["values"][i] = r["tavrik_advantage"]
    return [row | summary(row["values"]) for row in rows.values()]


def spread_targets(runs):
    """Every target over the runs; it is met only if it is met in every run."""
    rows = {}
    for i, run in enumerate(runs):
        for t in run["targets"]:
            row = rows.setdefault(t["id"], {k: t[k] for k in ("id", "target", "op", "bound")}
                                  | {"values": [None] * len(runs), "met_in_run": [False] * len(runs),
                                     "details": [None] * len(runs)})
            row["values"][i], row["met_in_run"][i], row["details"][i] = (
                t["value"], t["met"], t["detail"])
    out = []
    for row in rows.values():
        row |= summary(row["values"])
        row["runs_met"] = sum(row["met_in_run"])
        row["met"] = row["runs_met"] == len(runs)
        out.append(row)
    return out


def fmt(value, ratio=False):
    if value is None or not math.isfinite(value):
        return "-"
    if ratio:
        return f"{value:.2f}"
    magnitude = abs(value)
    if magnitude >= 100:
        return f"{value:,.0f}"
    if magnitude >= 10:
        return f"{value:.1f}"
    if magnitude >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def cell(values, ratio=False):
    s = summary(values)
    if s["median"] is None:
        return "-"
    if len([v for v in values if v is not None]) <= 1 or s["min"] == s["max"]:
        return fmt(s["median"], ratio)
    return f"{fmt(s['median'], ratio)} ({fmt(s['min'], ratio)}–{fmt(s['max'], ratio)})"


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def grid(entries, columns, row_key, values_of, ratio):
    """Rows keyed by row_key, one column per entry of `columns`."""
    table = {}
    for e in entries:
        table.setdefault(row_key(e), {})[e["column"]] = values_of(e)
    return [list(key) + [cell(cols[c], ratio) if c in cols else "" for c in columns]
            for key, cols in table.items()]


def columns_of(entries):
    seen = []
    for e in entries:
        if e["column"] not in seen:
            seen.append(e["column"])
    return seen


def raw_figures(runs):
    """(group, figure, library, column, value per run) of the raw measurements."""
    out = {}

    def put(group, figure, lib, column, i, value):
        key = (group, figure, lib, column)
        out.setdefault(key, [None] * len(runs))[i] = value

    for i, run in enumerate(runs):
        for r in run["exact"]:
            column = f"{r['points']} x{r['dims']}"
            for field, lib in (("tavrik_us", "tavrik (list query)"),
                               ("tavrik_numpy_query_us", "tavrik (numpy query)"),
                               ("numpy_us", "numpy"), ("faiss_flat_us", "FAISS flat")):
                if field in r:
                    put("exact", f"{r['metric']} µs per query", lib, column, i, r[field])
        for g in run["graph"]:
            column = config_label(g["points"], g["dims"])
            for lib, p in g["libs"].items():
                put("graph", "build s", lib, column, i, p["build_s"])
                if "build_1thread_s" in p:
                    put("graph", "build s (1 thread)", lib, column, i, p["build_1thread_s"])
                put("graph", "single-query QPS", lib, column, i, p["single_qps"])
                put("graph", "recall@10", lib, column, i, p["recall_at_10"])
                put("graph", "batch QPS (2 threads)", lib, column, i, p["batch_qps"])
                put("graph", "save ms", lib, column, i, 1e3 * p["save_s"])
                put("graph", "load ms", lib, column, i, 1e3 * p["load_s"])
                put("graph", "file MB", lib, column, i, p["file_bytes"] / 1e6)
        for m in run.get("memory", []):
            for lib, p in m["libs"].items():
                if "bytes_per_point" in p:
                    put("memory", "bytes per point", lib, config_label(m["points"], m["dims"]),
                        i, p["bytes_per_point"])
    return [{"group": k[0], "figure": k[1], "lib": k[2], "column": k[3], "values": v}
            for k, v in out.items()]


def print_grouped(entries, second_header, row_key, ratio):
    """One markdown table per workload group of `entries`."""
    for group in ("exact", "graph", "memory"):
        chosen = [e for e in entries if e["group"] == group]
        if not chosen:
            continue
        columns = columns_of(chosen)
        print()
        print(markdown_table([group, second_header] + columns,
                             grid(chosen, columns, row_key, lambda e: e["values"], ratio)))


def print_report(result):
    runs = result["runs"]
    spread = "median (min–max) over %d runs" % len(runs) if len(runs) > 1 else "one run"
    print(f"\n== ratios: tavrik advantage, > 1 means tavrik is better; {spread} ==")
    print_grouped(result["ratios"], "vs", lambda e: (e["workload"], e["peer"]), True)
    print(f"\n== raw figures; {spread} ==")
    print_grouped(raw_figures(runs), "library", lambda e: (e["figure"], e["lib"]), False)
    print(f"\n== targets: MET only if met in every run; {spread} ==\n")
    rows = []
    for t in result["targets"]:
        ratio = not t["id"].startswith("memory")
        rows.append([t["target"], f"{t['op']} {fmt(t['bound'], ratio)}",
                     cell(t["values"], ratio), f"{t['runs_met']}/{len(runs)}",
                     "**MET**" if t["met"] else "MISSED"])
    print(markdown_table(["target", "bound", "value", "runs met", "status"], rows))
    print()
    for t in result["targets"]:
        detail = t["details"][-1] if len(runs) == 1 else "; ".join(
            f"run {i + 1}: {d}" for i, d in enumerate(t["details"]) if d is not None)
        print(f"  [{'MET' if t['met'] else 'MISSED'}] {t['target']} {t['op']} "
              f"{fmt(t['bound'], not t['id'].startswith('memory'))}: {detail}")
    met = sum(t["met"] for t in result["targets"])
    print(f"\n  {met} of {len(result['targets'])} targets met in every run")
    if result["missing"]:
        print("\n== missing peers ==")
        for name, why in result["missing"].items():
            print(f"  {name}: {why}")


# --------------------------------------------------------------- charts --

def charts(result, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    graphs = result["runs"][0]["graph"]  # the sweep curves of the first run
    if graphs:
        cols = min(2, len(graphs))
        rows_n = (len(graphs) + cols - 1) // cols
        fig, axes = plt.subplots(rows_n, cols, figsize=(6.5 * cols, 5 * rows_n), squeeze=False)
        for ax in axes.flat[len(graphs):]:
            ax.set_visible(False)
        for ax, g in zip(axes.flat, graphs):
            for name, row in g["libs"].items():
                pts = row["ef_sweep"]
                style = "*" if name == "tavrik" else "o-"
                ax.plot([p["recall_at_10"] for p in pts], [p["qps"] for p in pts], style,
                        label=name, markersize=14 if name == "tavrik" else 6)
                for p in pts:
                    ax.annotate(f"ef={p['ef']}", (p["recall_at_10"], p["qps"]), fontsize=7,
                                textcoords="offset points", xytext=(4, 4))
            ax.set_yscale("log")
            ax.set_xlabel("recall@10 (cosine)")
            ax.set_ylabel("single-query queries/s (1 thread)")
            ax.set_title(f"graph path, {g['points']:,} x {g['dims']} clustered")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend()
        fig.tight_layout()
        fig.savefig(out_dir / "recall_vs_qps.png", dpi=110)
        plt.close(fig)

    rows = [r for r in result["ratios"] if r["median"] is not None]
    if rows:
        fig, ax = plt.subplots(figsize=(10, 0.22 * len(rows) + 1.5))
        labels = [f"{r['group']} {r['column']} {r['workload']} vs {r['peer']}" for r in rows]
        values = [r["median"] for r in rows]
        errors = [[r["median"] - r["min"] for r in rows], [r["max"] - r["median"] for r in rows]]
        colours = ["tab:green" if v >= 1 else "tab:red" for v in values]
        ax.barh(range(len(rows)), values, color=colours,
                xerr=errors if len(result["runs"]) > 1 else None, ecolor="black", capsize=2)
        ax.set_yticks(range(len(rows)))
        ax.set_yticklabels(labels, fontsize=6)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.axvline(1.0, color="black", linewidth=1)
        runs = len(result["runs"])
        ax.set_xlabel("tavrik advantage (x, log scale; > 1 tavrik better)"
                      + (f"; median and min-max of {runs} runs" if runs > 1 else ""))
        ax.set_title("tavrik / peer ratios")
        ax.grid(True, axis="x", which="both", alpha=0.3)
        fig.tight_layout()
        fig.savefig(out_dir / "ratios.png", dpi=110)
        plt.close(fig)


# ----------------------------------------------------------------- main --

def sizes_arg(text):
    return [int(s) for s in text.split(",") if s.strip()]


def one_run(peers, args, samples, workdir, index):
    print(f"\n== run {index + 1} of {args.runs} ==", flush=True)
    run = {"run": index + 1, "load_average_at_start": os.getloadavg()}
    run["exact"] = bench_exact(peers, args.seed, EXACT_POINTS, EXACT_DIMS + EXACT_WIDE_DIMS,
                               args.queries, args.repeats)
    run["graph"] = [bench_graph(peers, sample, args.queries, args.repeats, workdir)
                    for sample in samples]
    if not args.skip_memory:
        run["memory"] = [bench_memory(peers, args.seed, n) for n in args.sizes]
    run["load_average_at_end"] = os.getloadavg()
    run["ratios"] = ratios(run)
    run["targets"] = targets(run)
    missed = [t["target"] for t in run["targets"] if not t["met"]]
    print(f"  run {index + 1}: {len(run['targets']) - len(missed)} of {len(run['targets'])} "
          f"targets met", flush=True)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    parser.add_argument("--sizes", type=sizes_arg, default=None,
                        help="comma-separated d = 128 graph and memory sizes "
                             "(default 10000,100000; quick 2000)")
    parser.add_argument("--sizes-384", type=sizes_arg, default=None,
                        help="comma-separated d = 384 graph sizes, '' for none "
                             "(default: the same as --sizes)")
    parser.add_argument("--queries", type=int, default=None, help="queries per workload (1000)")
    parser.add_argument("--repeats", type=int, default=None,
                        help="timing repeats within a run, best kept (5)")
    parser.add_argument("--runs", type=int, default=None,
                        help="runs of every timed workload, for the spread (3; quick 1)")
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    parser.add_argument("--memory-points", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--memory-dims", type=int, default=GRAPH_DIMS, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_child:
        memory_child(args.memory_child, args.memory_points, args.memory_dims, args.seed)
        return

    started = time.perf_counter()
    if args.sizes is None:
        args.sizes = [2000] if args.quick else [10_000, 100_000]
    if args.sizes_384 is None:
        args.sizes_384 = list(args.sizes)
    args.queries = args.queries or (200 if args.quick else 1000)
    args.repeats = args.repeats or (2 if args.quick else 5)
    args.runs = args.runs or (1 if args.quick else 3)
    peers, missing = import_peers()
    if "tavrik" not in peers:
        print("tavrik itself is missing; set PYTHONPATH to the build directory", file=sys.stderr)
    workdir, save_fs = save_dir()
    result = {
        "started": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "argv": sys.argv[1:],
        "quick": args.quick,
        "machine": {"cpus": os.cpu_count(), "platform": platform.platform(),
                    "processor": platform.processor(),
                    "load_average_at_start": os.getloadavg()},
        "env": {k: os.environ.get(k) for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")},
        "blas": blas_info(),
        "versions": versions(peers),
        "missing": missing,
        "params": {"k": K, "ef_search": EF, "m": M, "ef_construction": EF_CONSTRUCTION,
                   "clusters": CLUSTERS, "queries": args.queries, "repeats": args.repeats,
                   "runs": args.runs, "exact_points": EXACT_POINTS,
                   "exact_dims": list(EXACT_DIMS + EXACT_WIDE_DIMS), "sizes_128": args.sizes,
                   "sizes_384": args.sizes_384, "save_load_repeats": SAVE_LOAD_REPEATS,
                   "save_file_system": save_fs},
    }
    print("BLAS:", ", ".join(f"{b.get('internal_api')} {b.get('architecture')} "
                             f"{b.get('num_threads')} threads" for b in result["blas"]))
    print("missing peers:", ", ".join(missing) or "none")
    print(f"save/load files on: {save_fs} ({workdir})")
    print("load average (1, 5, 15 min): %.2f %.2f %.2f" % os.getloadavg(), flush=True)

    configs = [(n, GRAPH_DIMS) for n in args.sizes] + [(n, WIDE_DIMS) for n in args.sizes_384]
    samples = [graph_sample(args.seed, n, d, args.queries) for n, d in configs]
    try:
        result["runs"] = [one_run(peers, args, samples, workdir, i) for i in range(args.runs)]
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    result["machine"]["load_average_at_end"] = os.getloadavg()
    result["ratios"] = spread_ratios(result["runs"])
    result["targets"] = spread_targets(result["runs"])
    result["wall_s"] = time.perf_counter() - started
    args.out.mkdir(parents=True, exist_ok=True)
    with open(args.out / "latest.json", "w") as out:
        json.dump(result, out, indent=2)
    charts(result, args.out)
    print_report(result)
    print("load average at end (1, 5, 15 min): %.2f %.2f %.2f" % os.getloadavg())
    print(f"wall time {result['wall_s']:.0f} s")
    print(f"\nwrote {args.out / 'latest.json'}, recall_vs_qps.png, ratios.png")


if __name__ == "__main__":
    main()
