"""Runs the engine and Python benchmarks and prints one table.

    make bench                 # typical commands, the corpus, a hook call against /bin/true
    make bench SCALING=1       # also 1 KiB .. 1 MiB lines of three shapes
    make bench AUDIT_COPIES=8  # the audit runs over 8 copies of the corpus (default 4)
    make bench HOOK_RUNS=2000  # more runs of the hook comparison (default 500)

Ratios are to the floor (tree-sitter's own parse, a new parser per call)
measured in the same run; absolute figures are only a guide on a noisy machine.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
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


def process_sample(pid):
    """The process's resident high-water mark (VmHWM, KiB) and the CPU seconds
    of each of its threads so far; nothing once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            peak = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
        threads = {}
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            threads[int(tid)] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return peak, threads
    except (OSError, StopIteration, ValueError):
        return None


def timed_run(args, stdin_path):
    """Wall seconds, CPU seconds, peak resident KiB and the CPU seconds of the
    busiest thread of one run of the program. Peak and threads are sampled
    from /proc while it runs (the rusage of a child also counts the memory of
    this process it was forked from); the last 20 ms go unseen."""
    with open(stdin_path, "rb") as stdin:
        start = time.perf_counter()
        p = subprocess.Popen(args, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        peak, threads = 0, {}
        while True:
            pid, status, usage = os.wait4(p.pid, os.WNOHANG)
            if pid:
                break
            sample = process_sample(p.pid)
            if sample:
                peak = max(peak, sample[0])
                threads.update(sample[1])
            time.sleep(0.02)
        wall = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode not in (0, 1, 2):
        raise SystemExit(f"{args} failed with status {p.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, peak, max(threads.values(), default=0.0)


def audit_figures(lines):
    """Lines per second of `corvane audit` on one thread and on every core, next
    to `corvane check --stdin` over the same text, each run several times
    interleaved and the median taken; and peak memory over a stream 16 times
    as long, which must stay where the short one is."""
    program = str(BUILD / "corvane")
    copies = int(os.environ.get("AUDIT_COPIES", "4"))
    cores = os.cpu_count() or 1
    text = "\n".join(lines) + "\n"
    runs = {
        "check --stdin": [program, "check", "--stdin"],
        "check --stdin --json": [program, "check", "--stdin", "--json"],
        "audit --jobs 1": [program, "audit", "--jobs", "1", "-"],
        f"audit --jobs {cores}": [program, "audit", "--jobs", str(cores), "-"],
        "audit --json --jobs 1": [program, "audit", "--json", "--jobs", "1", "-"],
        f"audit --json --jobs {cores}": [program, "audit", "--json", "--jobs", str(cores), "-"],
    }
    with tempfile.TemporaryDirectory() as tmp:
        corpus = Path(tmp) / "corpus.txt"
        corpus.write_text(text * copies, encoding="utf-8")
        n = len(lines) * copies
        samples = {name: [] for name in runs}
        for _ in range(5):
            for name, args in runs.items():
                samples[name].append(timed_run(args, corpus))
        figures = {}
        for name, s in samples.items():
            figures[name] = (n / statistics.median(r[0] for r in s), n / statistics.median(r[1] for r in s),
                             statistics.median(r[3] for r in s))
        long = Path(tmp) / "long.txt"
        with open(long, "w", encoding="utf-8") as f:
            for _ in range(16):
                f.write(text * copies)
        memory = (max(r[2] for r in samples[f"audit --jobs {cores}"]),
                  timed_run(runs[f"audit --jobs {cores}"], long)[2])
    return n, cores, figures, memory


# What Claude Code sends before a Bash call (see tests/python/test_hook.py).
HOOK_PAYLOAD = {
    "session_id": "abc", "transcript_path": "/home/u/.claude/projects/p/t.jsonl", "cwd": "/work/app",
    "permission_mode": "default", "hook_event_name": "PreToolUse", "tool_name": "Bash",
    "tool_input": {"command": "git push --force origin main", "description": "push", "timeout": 120000},
    "tool_use_id": "toolu_01",
}


def spawn_ms(argv, env, stdin_path):
    """Wall time of one run, from spawn to exit, with the payload file as standard input."""
    stdin = os.open(stdin_path, os.O_RDONLY)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        t = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, env,
                             file_actions=[(os.POSIX_SPAWN_DUP2, stdin, 0), (os.POSIX_SPAWN_DUP2, null, 1),
                                           (os.POSIX_SPAWN_DUP2, null, 2)])
        os.waitpid(pid, 0)
        return (time.perf_counter() - t) * 1e3
    finally:
        os.close(stdin)
        os.close(null)


def hook_figures(runs):
    """`corvane hook` on a typical Claude payload against starting /bin/true, the runs interleaved:
    without any rule file, and with the default pack installed as the user's file."""
    with tempfile.TemporaryDirectory() as tmp:
        # An installed program is a copy of the build's. The linker's own
        # output file starts measurably slower on this machine than a copy of
        # the same bytes (about 0.3 ms a run), which would be measuring the
        # file rather than the program.
        program = str(Path(tmp) / "corvane")
        shutil.copy2(BUILD / "corvane", program)
        payload = Path(tmp) / "payload.json"
        payload.write_text(json.dumps(HOOK_PAYLOAD))
        bare = Path(tmp) / "bare"
        bare.mkdir()
        packed = Path(tmp) / "packed"
        packed.mkdir()
        init = subprocess.run([program, "init"], env=dict(os.environ, HOME=str(packed)), capture_output=True)
        assert init.returncode == 0, init.stderr
        cases = {
            "/bin/true": (["/bin/true"], dict(os.environ)),
            "corvane hook, no rule file": ([program, "hook"], dict(os.environ, HOME=str(bare))),
            "corvane hook, default pack": ([program, "hook"], dict(os.environ, HOME=str(packed))),
        }
        check = subprocess.run(cases["corvane hook, default pack"][0], input=payload.read_bytes(),
                               env=cases["corvane hook, default pack"][1], capture_output=True)
        assert b'"permissionDecision":"ask"' in check.stdout, check
        times = {name: [] for name in cases}
        for name, (argv, env) in cases.items():  # warm the page cache
            spawn_ms(argv, env, payload)
        for _ in range(runs):
            for name, (argv, env) in cases.items():
                times[name].append(spawn_ms(argv, env, payload))
    return {name: (statistics.median(v), statistics.quantiles(v, n=10)[-1]) for name, v in times.items()}


def main():
    scaling = bool(os.environ.get("SCALING"))
    hook_runs = int(os.environ.get("HOOK_RUNS", "500"))
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
    if lines:
        n, cores, audit, memory = audit_figures(lines)
        print()
        print(f"corvane audit and corvane check over the corpus ({n:,} lines), medians of 5 runs; "
              f"lines per second of wall time and of CPU time (user + system)")
        print()
        print("| run | lines/s (wall) | lines/s (CPU) | busiest thread (CPU s) |")
        print("|---|---:|---:|---:|")
        for name, (wall, cpu, busiest) in audit.items():
            print(f"| `corvane {name}` | {wall:,.0f} | {cpu:,.0f} | {busiest:.2f} |")
        load = os.getloadavg()[0]
        print()
        for mode, one, many in (("summary", "audit --jobs 1", f"audit --jobs {cores}"),
                                ("--json", "audit --json --jobs 1", f"audit --json --jobs {cores}")):
            # With the cores to itself a run takes as long as its busiest
            # thread: that ratio holds on a loaded machine, the wall one not.
            print(f"audit {mode}, {cores} threads / 1: {audit[many][0] / audit[one][0]:.2f} x by wall time, "
                  f"{audit[one][2] / audit[many][2]:.2f} x by busiest thread")
        print(f"(load average {load:.1f} on {cores} cores while measuring)")
        print(f"audit peak memory: {memory[0] / 1024:.1f} MiB over {n:,} lines, "
              f"{memory[1] / 1024:.1f} MiB over {16 * n:,} lines")
    hook = hook_figures(hook_runs)
    true_median = hook["/bin/true"][0]
    print()
    print(f"One hook call against starting /bin/true: {hook_runs} runs each, interleaved, wall time in ms")
    print()
    print("| program | median | p90 | median / /bin/true |")
    print("|---|---:|---:|---:|")
    for name, (median, p90) in hook.items():
        print(f"| {name} | {median:.2f} | {p90:.2f} | {median / true_median:.2f} |")
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
