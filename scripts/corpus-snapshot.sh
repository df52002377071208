#!/usr/bin/env bash
# Writes the JSON verdict of every corpus line, without a context and with one,
# so that two builds can be compared line by line (scripts/corpus-compare.py).
#   scripts/corpus-snapshot.sh OUTDIR [CORVANE] [CORPUS]
set -euo pipefail
out=${1:?usage: corpus-snapshot.sh OUTDIR [CORVANE] [CORPUS]}
bin=${2:-build/corvane}
corpus=${3:-../shared/corpus/nl2bash.cm}
mkdir -p "$out"
# An empty HOME: no user rule file may colour the snapshot.
home=$(mktemp -d); trap 'rm -rf "$home"' EXIT
HOME=$home "$bin" check --json --stdin <"$corpus" >"$out/plain.jsonl" || true
HOME=$home "$bin" check --json --stdin --cwd /home/u/proj --project-root /home/u/proj \
  --home /home/u --protect /home/u/.ssh <"$corpus" >"$out/context.jsonl" || true
wc -l "$out"/*.jsonl
