#!/usr/bin/env bash
# Installs what building and testing corvane needs, and nothing when all of it
# is already present: Debian packages with apt-get, the pinned tree-sitter
# sources with npm ci. Safe to run any number of times.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libbenchmark-dev libtomlplusplus-dev libicu-dev nlohmann-json3-dev
  python3-pytest nodejs npm ccache nettle-dev zsh fish chromium
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# nodejs and npm may come from elsewhere than Debian; accept any working pair.
if command -v node >/dev/null && command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}" >&2
  sudo_cmd=(); [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The pinned npm packages, exactly as the lock file says.
want_ok=1
for pkg in tree-sitter tree-sitter-bash; do
  f="node_modules/$pkg/package.json"
  if [[ ! -f $f ]] || ! grep -q '"version": "0.25.1"' "$f"; then want_ok=0; fi
done
if ((!want_ok)); then
  echo "bootstrap: npm ci --ignore-scripts" >&2
  npm ci --ignore-scripts --no-audit --no-fund >/dev/null
fi
