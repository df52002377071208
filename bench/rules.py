"""Peer-labelled commands scored without and with the default rule pack.

    make bench-rules

Runs ../shared/peers/score.py twice over the build's Python module, each
time with HOME pointing at a fresh temporary directory: once empty (no rule
file), once after `corvane init` installed rules/default.toml there. Prints
score.py's summaries and, per run and context, the shares the pack aims at:
safe rows rated safe, dangerous rows not rated safe, and the score AUC.
Skips (exit 0) when the peer data is not there.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCORE = ROOT.parent / "shared" / "peers" / "score.py"
BUILD = Path(os.environ.get("CORVANE_BUILD", ROOT / "build"))


def auc(rows: list[dict], key: str) -> float:
    dang = [r[key]["score"] for r in rows if r["label"] == "dangerous"]
    safe = sorted(r[key]["score"] for r in rows if r["label"] == "safe")
    acc = 0.0
    for x in dang:
        acc += sum(1.0 if s < x else 0.5 if s == x else 0.0 for s in safe)
    return acc / (len(dang) * len(safe))


def figures(rows: list[dict], key: str) -> str:
    dang = [r for r in rows if r["label"] == "dangerous"]
    safe = [r for r in rows if r["label"] == "safe"]
    ok = sum(r[key]["decision"] == "safe" for r in safe)
    caught = sum(r[key]["decision"] != "safe" for r in dang)
    return (f"safe rated safe {ok}/{len(safe)} ({100 * ok / len(safe):.1f} %, goal 60 %), "
            f"dangerous not safe {caught}/{len(dang)} ({100 * caught / len(dang):.1f} %, goal 99 %), "
            f"AUC {auc(rows, key):.3f} (goal 0.9)")


def run(label: str, home: Path, out_dir: Path) -> None:
    env = dict(os.environ, HOME=str(home))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(BUILD / "python"), env.get("PYTHONPATH", "")]))
    slug = label.replace(" ", "-")
    rows_file = out_dir / f"peers-{slug}.jsonl"
    report = out_dir / f"peers-{slug}.txt"
    done = subprocess.run([sys.executable, str(SCORE), str(BUILD / "python"), "--json-out", str(rows_file),
                           "--misses", "25"], env=env, capture_output=True, text=True, check=False)
    report.write_text(done.stdout + done.stderr)
    if done.returncode != 0:
        print(done.stdout + done.stderr)
        raise SystemExit(f"score.py failed for {label}")
    rows = [json.loads(line) for line in rows_file.read_text().splitlines() if line.strip()]
    print(f"\n== {label} (full report: {report})")
    for line in done.stdout.splitlines()[-2:]:
        print("  " + line)
    print("  no context:   " + figures(rows, "nc"))
    print("  with context: " + figures(rows, "ctx"))


def main() -> None:
    if not SCORE.exists():
        print(f"bench-rules: {SCORE} not found, skipped")
        return
    out_dir = BUILD / "bench-rules"
    out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="corvane-bench-rules-") as tmp:
        bare = Path(tmp) / "bare"
        packed = Path(tmp) / "packed"
        bare.mkdir()
        packed.mkdir()
        subprocess.run([str(BUILD / "corvane"), "init"], env=dict(os.environ, HOME=str(packed)),
                       check=True, stdout=subprocess.DEVNULL)
        run("without the pack", bare, out_dir)
        run("with the pack", packed, out_dir)


if __name__ == "__main__":
    main()
