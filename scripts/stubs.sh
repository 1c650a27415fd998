#!/usr/bin/env bash
# Regenerate the typed Python surface of _vesk into stubs/_vesk (commit the result).
#   bash scripts/stubs.sh [output folder]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/stubs}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# Run outside the repo so that the installed module is the one described.
(cd "$tmp" && "$root/.venv/bin/pybind11-stubgen" _vesk -o "$tmp/out" >/dev/null)
rm -rf "$out/_vesk"
mkdir -p "$out"
cp -r "$tmp/out/_vesk" "$out/_vesk"
touch "$out/_vesk/py.typed"
