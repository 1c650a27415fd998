#!/usr/bin/env bash
# Build the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and run the whole suite against that build.
# The sanitized module goes to build/asan-site (the release one in .venv is
# left alone); extra arguments go to pytest.
#   bash scripts/sanitize.sh [pytest args]
#   bash scripts/sanitize.sh --thread [pytest args]
# --thread builds with ThreadSanitizer instead (build/tsan, build/tsan-site) and
# runs the threading tests only. OpenCV and Python are not instrumented: races
# inside them are not seen, races in the core are.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
flavour=asan
if [ "${1:-}" = "--thread" ]; then flavour=tsan; shift; fi
bash scripts/setup.sh
say() { echo "[sanitize] $*" >&2; }
venv="$root/.venv"
site="$root/build/$flavour-site"
numpy_site="$("$venv/bin/python" -c 'import numpy, os; print(os.path.dirname(os.path.dirname(numpy.__file__)))')"
if [ "$flavour" = tsan ]; then define=VESK_SANITIZE_THREAD; else define=VESK_SANITIZE; fi
say "building the $flavour module into $site"
mkdir -p build
if ! PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --upgrade \
  --target "$site" \
  -C build-dir="build/$flavour" \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VESK_PORTABLE=OFF \
  -C cmake.define.OpenCV_DIR="$(bash scripts/opencv.sh)" \
  -C cmake.define.VESK_BUILD_TESTS=ON \
  -C "cmake.define.$define=ON" \
  -C cmake.define.VESK_TEST_PYTHONPATH="$site:$numpy_site" \
  . >"build/$flavour-pip.log" 2>&1; then
  grep -v 'is ignored' "build/$flavour-pip.log" >&2
  say "build failed"
  exit 1
fi

if [ "$flavour" = tsan ]; then
  # The tests render their scenes with the cv2 wheel, whose own thread pool TSan cannot see into.
  printf 'called_from_lib:cv2.abi3.so\nrace:cv2.abi3.so\n' >build/tsan/suppressions.txt
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/build/tsan/suppressions.txt"
  say "C++ threading tests"
  "$venv/bin/ctest" --test-dir build/tsan --output-on-failure -R 'Threads|InUse'
  say "threading tests against the $flavour module"
  LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" PYTHONPATH="$site" \
    exec "$venv/bin/python" -m pytest -p no:cacheprovider tests/test_threads.py \
    -k "not run_while and not overlap and not ctrl_c" "$@"  # timing bounds do not hold 10 times slower
fi

# Python itself leaks by design at exit; everything else must be clean.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
say "C++ tests"
"$venv/bin/ctest" --test-dir build/asan --output-on-failure -j2
say "Python tests against the sanitized module"
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" PYTHONPATH="$site" \
  exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
