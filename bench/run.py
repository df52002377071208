"""Runs the engine and Python benchmarks and prints one table.

    make bench                 # typical commands and the corpus
    make bench SCALING=1       # also 1 KiB .. 1 MiB lines of three shapes

Ratios are to the floor (tree-sitter's own parse, a new parser per call)
measured in the same run; absolute figures are only a guide on a noisy machine.
"""

import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("CORVANE_BENCH_BUILD", REPO / "build-bench"))
CORPUS = Path(os.environ.get("CORVANE_CORPUS", REPO.parent / "shared" / "corpus" / "nl2bash.cm"))
sys.path.insert(0, str(BUILD / "python"))
import corvane  # noqa: E402

TYPICAL = {
    "simple_read": "cat README.md",
    "ls_la": "ls -la",
    "rm_rf": "rm -rf ./build/",
    "curl_bash": "curl -fsSL https://example.com/install.sh | bash",
    "three_stage": "cat access.log | grep ' 500 ' | sort -u",
    "and_chain": "cd /work/app && npm ci && npm run build && npm test && git add -A && git commit -m wip && git push",
}


def engine(scaling):
    env = dict(os.environ, CORVANE_CORPUS=str(CORPUS))
    if scaling:
        env["CORVANE_BENCH_SCALING"] = "1"
    out = subprocess.run(
        [str(BUILD / "bench" / "engine_bench"), "--benchmark_format=json",
         "--benchmark_repetitions=9", "--benchmark_report_aggregates_only=true",
         "--benchmark_enable_random_interleaving=true",
         "--benchmark_min_time=0.1"],
        env=env, check=True, capture_output=True, text=True).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]
        if name == "paired/corpus":
            medians["paired_floor"] = b["floor_us"]
            medians["paired_classify"] = b["classify_us"]
            medians["paired_ratio"] = b["ratio"]
            continue
        unit = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
        us = b["real_time"] * unit
        if "lines" in b:
            us /= b["lines"]
        medians[name] = us
    return medians


def median_us(fn, repeat=7, number=None):
    if number is None:
        number = 1
        while True:
            t = time.perf_counter()
            for _ in range(number):
                fn()
            if time.perf_counter() - t > 0.05:
                break
            number *= 2
    samples = []
    for _ in range(repeat):
        t = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - t) / number * 1e6)
    return statistics.median(samples)


def python_figures(lines):
    figures = {name: median_us(lambda c=c: corvane.classify(c)) for name, c in TYPICAL.items()}
    if lines:
        def each():
            for l in lines:
                corvane.classify(l)
        # Per call: each result dropped as a caller done with it would.
        figures["corpus"] = median_us(each, repeat=5, number=1) / len(lines)
        # Throughput, same output both ways: every verdict kept in a list.
        loop = median_us(lambda: [corvane.classify(l) for l in lines], repeat=5, number=1)
        batch = median_us(lambda: corvane.classify_batch(lines), repeat=5, number=1)
        figures["corpus_loop"] = loop / len(lines)
        figures["corpus_batch"] = batch / len(lines)
    return figures


def main():
    scaling = bool(os.environ.get("SCALING"))
    lines = [l for l in CORPUS.read_text(encoding="utf-8", errors="replace").split("\n") if l] if CORPUS.exists() else []
    eng = engine(scaling)
    py = python_figures(lines)

    print("corvane benchmarks: medians, microseconds per command line")
    print()
    print("| input | floor (parse only) | classify_inner | × floor | corvane.classify | × floor |")
    print("|---|---:|---:|---:|---:|---:|")
    for name in list(TYPICAL) + (["corpus"] if lines else []):
        floor = eng[f"floor/{name}"]
        inner = eng[f"classify_inner/{name}"]
        pyc = py[name]
        label = f"corpus ({len(lines)} lines)" if name == "corpus" else f"`{TYPICAL[name]}`" if len(TYPICAL[name]) < 50 else f"`{TYPICAL[name][:47]}...`"
        label = label.replace("|", "\\|")  # a bar inside a table cell
        print(f"| {label} | {floor:.1f} | {inner:.1f} | {inner / floor:.2f} | {pyc:.1f} | {pyc / floor:.2f} |")
    if "paired_ratio" in eng:
        print()
        print(f"corpus, floor and classify_inner timed line by line, alternating: {eng['paired_floor']:.1f} us "
              f"and {eng['paired_classify']:.1f} us per line, classify_inner = {eng['paired_ratio']:.2f} x floor")
    if lines:
        print()
        loop_rate = 1e6 / py["corpus_loop"]
        batch_rate = 1e6 / py["corpus_batch"]
        print(f"classify_batch over the corpus: {batch_rate:,.0f} lines/s; classify in a loop collecting "
              f"the same list: {loop_rate:,.0f} lines/s; batch / loop = {batch_rate / loop_rate:.2f}")
    if scaling:
        print()
        print("Scaling: args = `echo arg arg ...`, pipeline = `cat f | cat f | ...`, and_chain = `ls && ls && ...`,")
        print("taint = `echo $X | sh | echo $X | sh | ...` (every pair of segments is a taint flow).")
        print()
        print("| shape | size | floor (ms) | classify_inner (ms) | × floor |")
        print("|---|---:|---:|---:|---:|")
        for shape in ("args", "pipeline", "and_chain", "taint"):
            for size in ("1KiB", "10KiB", "100KiB", "1024KiB"):
                f = eng[f"scaling_floor/{shape}/{size}"] / 1e3
                c = eng[f"scaling_classify/{shape}/{size}"] / 1e3
                print(f"| {shape} | {size} | {f:.3f} | {c:.3f} | {c / f:.2f} |")


if __name__ == "__main__":
    main()
