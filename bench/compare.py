"""tavrik side by side with numpy brute force, hnswlib, FAISS and USearch.

One process, one run, the same seeded data for every library:

  exact    499 points (d = 128 and 768), single-query latency per metric,
           against numpy (matrix @ q + argpartition) and FAISS flat indexes;
  graph    clustered data (100 Gaussian clusters, d = 128) at each --sizes:
           build rate, single-query QPS and recall@10 (cosine, ef = 32),
           batch search of the query set with 2 threads, save/load time and
           file size;
  memory   resident-set growth per point while building each index in a
           fresh subprocess, against 512 bytes of raw d = 128 vector.

Writes OUT/latest.json, OUT/recall_vs_qps.png and OUT/ratios.png, and prints
a table. Every ratio is "times better for tavrik": above 1 tavrik wins.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \\
        PYTHONPATH=build/h8-py python3 bench/compare.py [--quick]
"""
from __future__ import annotations

import argparse
import gc
import json
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
LOAD_REPEATS = 3  # load time: best of this many loads, for every library
M = 16
EF_CONSTRUCTION = 64
CLUSTERS = 100
GRAPH_DIMS = 128
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


def bench_graph(peers, seed, count, n_queries, repeats, workdir):
    data, queries = make_graph_data(seed, count, n_queries)
    truth = ground_truth_cosine(data, queries)
    out = {"points": count, "dims": GRAPH_DIMS, "queries": n_queries, "libs": {}}
    for name, cls in GRAPHS.items():
        if name not in peers:
            continue
        gc.collect()
        faiss_threads(peers, 2)
        lib = cls(peers, GRAPH_DIMS)
        row = {}
        row["build_s"], _ = timed(lambda: lib.build(data))
        row["build_points_per_s"] = count / row["build_s"]
        if name == "hnswlib":  # the same bulk build on one thread, for reference
            single = HnswlibGraph(peers, GRAPH_DIMS, threads=1)
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
        path = str(workdir / f"{name}-{count}.idx")
        row["save_s"], _ = timed(lambda: lib.save(path))
        row["file_bytes"] = os.path.getsize(path)
        # Loading is quick and one run is easily thrown by the machine, so
        # every library gets the best of LOAD_REPEATS, each into a fresh index.
        row["load_s"] = float("inf")
        for _ in range(LOAD_REPEATS):
            gc.collect()
            seconds, loaded = timed(lambda: lib.load(path, GRAPH_DIMS, count))
            row["load_s"] = min(row["load_s"], seconds)
            del loaded
        os.remove(path)
        out["libs"][name] = row
        print(f"  graph {count}x{GRAPH_DIMS} {name:8s} build={row['build_s']:.2f}s "
              f"qps={row['single_qps']:.0f} recall={row['recall_at_10']:.3f} "
              f"batch_qps={row['batch_qps']:.0f} save={row['save_s'] * 1e3:.1f}ms "
              f"load={row['load_s'] * 1e3:.1f}ms file={row['file_bytes'] / 1e6:.1f}MB",
              flush=True)
        del lib
        gc.collect()
    faiss_threads(peers, 2)
    return out


# --------------------------------------------------------------- memory --

def rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def memory_child(name, count, seed):
    """Runs in a fresh interpreter: prints RSS growth for one index build."""
    peers, missing = import_peers()
    if name not in peers:
        print(json.dumps({"missing": missing.get(name, "not imported")}))
        return
    data, _ = make_graph_data(seed, count, 1)
    if name == "faiss":
        data = normalise(data)  # the build's own copy, made before the baseline
    faiss_threads(peers, 2)
    lib = GRAPHS[name](peers, GRAPH_DIMS)
    gc.collect()
    before = rss_bytes()
    if name == "faiss":
        lib.index.add(data)
    else:
        lib.build(data)
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"rss_growth_bytes": after - before, "bytes_per_point": (after - before) / count}))


def bench_memory(peers, seed, count):
    out = {"points": count, "dims": GRAPH_DIMS, "raw_bytes_per_point": GRAPH_DIMS * 4, "libs": {}}
    for name in GRAPHS:
        if name not in peers:
            continue
        proc = subprocess.run(
            [sys.executable, __file__, "--memory-child", name, "--memory-points", str(count),
             "--seed", str(seed)],
            capture_output=True, text=True, env=os.environ.copy())
        if proc.returncode != 0:
            out["libs"][name] = {"error": proc.stderr.strip()[-500:]}
            continue
        row = json.loads(proc.stdout.strip().splitlines()[-1])
        row["ratio_to_raw"] = row.get("bytes_per_point", float("nan")) / (GRAPH_DIMS * 4)
        out["libs"][name] = row
        print(f"  memory {count}x{GRAPH_DIMS} {name:8s} {row.get('bytes_per_point', 0):.0f} B/point "
              f"({row['ratio_to_raw']:.2f}x raw)", flush=True)
    return out


# --------------------------------------------------------------- report --

def ratios(result):
    """(label, peer, tavrik advantage) rows: above 1 tavrik is better."""
    rows = []
    for r in result["exact"]:
        if "tavrik_us" not in r:
            continue
        tag = f"exact {r['points']}x{r['dims']} {r['metric']} latency"
        rows.append((tag, "numpy", r["numpy_us"] / r["tavrik_us"]))
        if "faiss_flat_us" in r:
            rows.append((tag, "faiss-flat", r["faiss_flat_us"] / r["tavrik_us"]))
    for g in result["graph"]:
        libs = g["libs"]
        if "tavrik" not in libs:
            continue
        t = libs["tavrik"]
        for peer, p in libs.items():
            if peer == "tavrik":
                continue
            size = f"{g['points'] // 1000}k"
            rows.append((f"graph {size} build rate", peer, p["build_s"] / t["build_s"]))
            rows.append((f"graph {size} single-query QPS", peer, t["single_qps"] / p["single_qps"]))
            rows.append((f"graph {size} recall@10", peer, t["recall_at_10"] / p["recall_at_10"]))
            rows.append((f"graph {size} batch QPS (2 thr)", peer, t["batch_qps"] / p["batch_qps"]))
            rows.append((f"graph {size} save time", peer, p["save_s"] / t["save_s"]))
            rows.append((f"graph {size} load time", peer, p["load_s"] / t["load_s"]))
            rows.append((f"graph {size} file size", peer, p["file_bytes"] / t["file_bytes"]))
    mem = result.get("memory", {}).get("libs", {})
    if "bytes_per_point" in mem.get("tavrik", {}):
        for peer, p in mem.items():
            if peer != "tavrik" and "bytes_per_point" in p:
                rows.append(("memory per point", peer,
                             p["bytes_per_point"] / mem["tavrik"]["bytes_per_point"]))
    return rows


def targets(result):
    out = []
    exact = [r for r in result["exact"]
             if r["dims"] == 128 and r["metric"] == "cosine" and "tavrik_us" in r]
    if exact:
        r = exact[0]
        out.append(("exact 499x128 cosine search latency <= numpy",
                    r["tavrik_us"] <= r["numpy_us"],
                    f"tavrik {r['tavrik_us']:.2f} us vs numpy {r['numpy_us']:.2f} us"))
    graphs = [g for g in result["graph"] if "tavrik" in g["libs"] and "hnswlib" in g["libs"]]
    if graphs:
        g = max(graphs, key=lambda g: g["points"])
        t, h = g["libs"]["tavrik"], g["libs"]["hnswlib"]
        n = f"{g['points']}x{g['dims']}"
        out.append((f"graph {n} single-query QPS >= hnswlib (ef=32)",
                    t["single_qps"] >= h["single_qps"],
                    f"tavrik {t['single_qps']:.0f} vs hnswlib {h['single_qps']:.0f} QPS"))
        out.append((f"batch_search of {g['queries']} >= hnswlib 2 threads ({n})",
                    t["batch_qps"] >= h["batch_qps"],
                    f"tavrik {t['batch_qps']:.0f} vs hnswlib {h['batch_qps']:.0f} QPS"))
        out.append((f"build {g['points']} upserts >= 3x faster than hnswlib add_items",
                    h["build_s"] >= 3 * t["build_s"],
                    f"tavrik {t['build_s']:.2f} s vs hnswlib {h['build_s']:.2f} s "
                    f"(2 threads; {h.get('build_1thread_s', float('nan')):.2f} s on 1): "
                    f"{h['build_s'] / t['build_s']:.2f}x"))
        out.append((f"load {n} >= as fast as hnswlib load_index",
                    t["load_s"] <= h["load_s"],
                    f"tavrik {t['load_s'] * 1e3:.1f} ms vs hnswlib {h['load_s'] * 1e3:.1f} ms"))
    mem = result.get("memory", {}).get("libs", {}).get("tavrik", {})
    if "bytes_per_point" in mem:
        out.append(("memory <= 1.5x raw (768 B/point)", mem["bytes_per_point"] <= 768,
                    f"tavrik {mem['bytes_per_point']:.0f} B/point "
                    f"({mem['bytes_per_point'] / 512:.2f}x raw)"))
    return out


def charts(result, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    graphs = result["graph"]
    if graphs:
        fig, axes = plt.subplots(1, len(graphs), figsize=(6.5 * len(graphs), 5), squeeze=False)
        for ax, g in zip(axes[0], graphs):
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

    rows = ratios(result)
    if rows:
        fig, ax = plt.subplots(figsize=(10, 0.28 * len(rows) + 1.5))
        labels = [f"{label} vs {peer}" for label, peer, _ in rows]
        values = [v for _, _, v in rows]
        colours = ["tab:green" if v >= 1 else "tab:red" for v in values]
        ax.barh(range(len(rows)), values, color=colours)
        ax.set_yticks(range(len(rows)))
        ax.set_yticklabels(labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.axvline(1.0, color="black", linewidth=1)
        ax.set_xlabel("tavrik advantage (x, log scale; > 1 tavrik better)")
        ax.set_title("tavrik / peer ratios")
        ax.grid(True, axis="x", which="both", alpha=0.3)
        fig.tight_layout()
        fig.savefig(out_dir / "ratios.png", dpi=110)
        plt.close(fig)


def print_report(result):
    print("\n== ratios (tavrik advantage, > 1 means tavrik is better) ==")
    for label, peer, value in ratios(result):
        print(f"  {label:40s} vs {peer:10s} {value:8.2f}x")
    print("\n== targets ==")
    for label, met, detail in targets(result):
        print(f"  [{'MET' if met else 'MISSED'}] {label}: {detail}")
    if result["missing"]:
        print("\n== missing peers ==")
        for name, why in result["missing"].items():
            print(f"  {name}: {why}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    parser.add_argument("--sizes", type=str, default=None,
                        help="comma-separated graph sizes (default 10000,100000; quick 2000)")
    parser.add_argument("--queries", type=int, default=None, help="queries per workload (1000)")
    parser.add_argument("--repeats", type=int, default=None, help="timing repeats, best kept (5)")
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    parser.add_argument("--memory-points", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_child:
        memory_child(args.memory_child, args.memory_points, args.seed)
        return

    sizes = ([int(s) for s in args.sizes.split(",")] if args.sizes
             else [2000] if args.quick else [10_000, 100_000])
    queries = args.queries or (200 if args.quick else 1000)
    repeats = args.repeats or (2 if args.quick else 5)
    peers, missing = import_peers()
    if "tavrik" not in peers:
        print("tavrik itself is missing; set PYTHONPATH to the build directory", file=sys.stderr)
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
                   "clusters": CLUSTERS, "queries": queries, "repeats": repeats},
    }
    print("BLAS:", ", ".join(f"{b.get('internal_api')} {b.get('architecture')} "
                             f"{b.get('num_threads')} threads" for b in result["blas"]))
    print("missing peers:", ", ".join(missing) or "none")
    print("load average (1, 5, 15 min): %.2f %.2f %.2f" % os.getloadavg(), flush=True)

    result["exact"] = bench_exact(peers, args.seed, 499, (128, 768), queries, repeats)
    work = Path(tempfile.mkdtemp(prefix="tavrik-bench-"))
    try:
        result["graph"] = [bench_graph(peers, args.seed, n, queries, repeats, work) for n in sizes]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if not args.skip_memory:
        result["memory"] = bench_memory(peers, args.seed, max(sizes))

    result["machine"]["load_average_at_end"] = os.getloadavg()
    args.out.mkdir(parents=True, exist_ok=True)
    result["ratios"] = [{"workload": l, "peer": p, "tavrik_advantage": v}
                        for l, p, v in ratios(result)]
    result["targets"] = [{"target": l, "met": m, "detail": d} for l, m, d in targets(result)]
    with open(args.out / "latest.json", "w") as out:
        json.dump(result, out, indent=2)
    charts(result, args.out)
    print_report(result)
    print("load average at end (1, 5, 15 min): %.2f %.2f %.2f" % os.getloadavg())
    print(f"\nwrote {args.out / 'latest.json'}, recall_vs_qps.png, ratios.png")


if __name__ == "__main__":
    main()
