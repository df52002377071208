#!/usr/bin/env bash
# Builds the program at another revision in a temporary worktree, snapshots
# the corpus with it and with this tree's build, and compares the two
# (scripts/corpus-snapshot.sh, scripts/corpus-compare.py): exit status 1 when
# any line's JSON differs, without or with a context.
#   scripts/corpus-against.sh BASE_REV [CORVANE] [-- COMPARE_OPTIONS...]
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:?usage: corpus-against.sh BASE_REV [CORVANE] [-- compare options]}
shift
after_bin=build/corvane
if [[ $# -gt 0 && $1 != -- ]]; then after_bin=$1; shift; fi
[[ ${1:-} == -- ]] && shift
python=${PYTHON:-$(scripts/find-python.sh)}
[[ -x $after_bin ]] || { echo "corpus-against: no program at $after_bin (make build)" >&2; exit 2; }

work=$(mktemp -d)
tree=$work/tree
cleanup() {
  git worktree remove --force "$tree" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

rev=$(git rev-parse --verify "$base^{commit}")
git worktree add --detach "$tree" "$rev" >/dev/null
ln -s "$PWD/node_modules" "$tree/node_modules"
echo "corpus-against: building $(git log -1 --format='%h %s' "$rev" | cut -c1-70)" >&2
cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_TESTS=OFF -DCORVANE_PYTHON=OFF >/dev/null
cmake --build "$tree/build" -j "${JOBS:-2}" --target corvane_cli >/dev/null

scripts/corpus-snapshot.sh "$work/before" "$tree/build/corvane" >/dev/null
scripts/corpus-snapshot.sh "$work/after" "$after_bin" >/dev/null
"$python" scripts/corpus-compare.py "$work/before" "$work/after" "$@"
