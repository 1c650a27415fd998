#!/usr/bin/env bash
# Build the module and the C++ tests with ThreadSanitizer and run the C++ tests and the threading
# tests against that build (build/tsan, build/tsan-site). OpenCV and Python are not instrumented:
# races inside them are not seen, races in the core are. Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
say() { echo "[tsan] $*" >&2; }
venv="$root/.venv"
site="$root/build/tsan-site"
numpy_site="$("$venv/bin/python" -c 'import numpy, os; print(os.path.dirname(os.path.dirname(numpy.__file__)))')"
say "building the instrumented module into $site"
mkdir -p build
if ! PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --upgrade \
  --target "$site" \
  -C build-dir=build/tsan \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VESK_PORTABLE=OFF \
  -C cmake.define.OpenCV_DIR="$(bash scripts/opencv.sh)" \
  -C cmake.define.VESK_BUILD_TESTS=ON \
  -C cmake.define.VESK_SANITIZE_THREAD=ON \
  -C cmake.define.VESK_TEST_PYTHONPATH="$site:$numpy_site" \
  . >build/tsan-pip.log 2>&1; then
  grep -v 'is ignored' build/tsan-pip.log >&2
  say "build failed"
  exit 1
fi
# The tests render their scenes with the cv2 wheel, whose own thread pool TSan cannot see into.
cat >build/tsan/suppressions.txt <<'SUPP'
called_from_lib:cv2.abi3.so
race:cv2.abi3.so
SUPP
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/build/tsan/suppressions.txt"
say "C++ tests"
"$venv/bin/ctest" --test-dir build/tsan --output-on-failure -R 'Threads|InUse'
say "threading tests against the instrumented module"
LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" PYTHONPATH="$site" \
  exec "$venv/bin/python" -m pytest -p no:cacheprovider tests/test_threads.py \
  -k "not run_while and not overlap and not ctrl_c" "$@"  # timing bounds do not hold 10 times slower
