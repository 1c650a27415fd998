#!/usr/bin/env bash
# Set up (if needed) and run every test: the C++ unit tests, then pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
build_dir="${VESK_BUILD_DIR:-build/release}"
echo "[test] C++ tests (ctest)" >&2
ctest_bin="$root/.venv/bin/ctest"
[ -x "$ctest_bin" ] || ctest_bin=ctest
"$ctest_bin" --test-dir "$build_dir" --output-on-failure -j2
echo "[test] Python tests (pytest)" >&2
exec "$root/.venv/bin/python" -m pytest "$@"
