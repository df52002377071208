#!/usr/bin/env python3
"""Compares two corpus snapshots (scripts/corpus-snapshot.sh) line by line.

Prints how many lines differ in JSON, how many changed score or decision, and
a sample of each, per snapshot file.  Exit status 1 when anything differs.
    scripts/corpus-compare.py BEFORE_DIR AFTER_DIR [--sample N] [--lower]
"""
import json
import sys
from pathlib import Path


def load(path):
    return [json.loads(line) for line in Path(path).read_text().splitlines()]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    sample = 10
    if "--sample" in sys.argv:
        sample = int(sys.argv[sys.argv.index("--sample") + 1])
        args = [a for a in args if a != str(sample)]
    before_dir, after_dir = Path(args[0]), Path(args[1])
    differs = False
    for name in ("plain.jsonl", "context.jsonl"):
        before, after = load(before_dir / name), load(after_dir / name)
        if len(before) != len(after):
            print(f"{name}: {len(before)} lines before, {len(after)} after")
            differs = True
            continue
        json_diff, score_diff, lower = [], [], []
        for b, a in zip(before, after):
            if b == a:
                continue
            json_diff.append((b, a))
            if b["score"] != a["score"] or b["quick_decision"] != a["quick_decision"]:
                score_diff.append((b, a))
                if a["score"] < b["score"]:
                    lower.append((b, a))
        differs |= bool(json_diff)
        print(f"{name}: {len(json_diff)} lines differ in JSON, {len(score_diff)} in score "
              f"or decision ({len(lower)} lower)")
        shown = lower if "--lower" in sys.argv else score_diff
        for b, a in shown[:sample]:
            print(f"  {b['score']:3} {b['quick_decision']:7} -> {a['score']:3} "
                  f"{a['quick_decision']:7} {b['command'][:100]}")
    return 1 if differs else 0


if __name__ == "__main__":
    sys.exit(main())
