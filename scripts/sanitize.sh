#!/usr/bin/env bash
# Build the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and run the whole suite against that build.
# The sanitized module goes to build/asan-site (the release one in .venv is
# left alone); extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
say() { echo "[sanitize] $*" >&2; }
venv="$root/.venv"
site="$root/build/asan-site"
numpy_site="$("$venv/bin/python" -c 'import numpy, os; print(os.path.dirname(os.path.dirname(numpy.__file__)))')"
say "building the sanitized module into $site"
mkdir -p build
if ! PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --upgrade \
  --target "$site" \
  -C build-dir=build/asan \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VESK_PORTABLE=OFF \
  -C cmake.define.OpenCV_DIR="$(bash scripts/opencv.sh)" \
  -C cmake.define.VESK_BUILD_TESTS=ON \
  -C cmake.define.VESK_SANITIZE=ON \
  -C cmake.define.VESK_TEST_PYTHONPATH="$site:$numpy_site" \
  . >build/asan-pip.log 2>&1; then
  grep -v 'is ignored' build/asan-pip.log >&2
  say "build failed"
  exit 1
fi

# Python itself leaks by design at exit; everything else must be clean.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
say "C++ tests"
"$venv/bin/ctest" --test-dir build/asan --output-on-failure -j2
say "Python tests against the sanitized module"
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" PYTHONPATH="$site" \
  exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
