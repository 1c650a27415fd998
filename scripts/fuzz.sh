#!/usr/bin/env bash
# Fuzz the readers of files from disk (the .npz reader and the JSON result
# loaders) with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#   bash scripts/fuzz.sh [seconds per target, default 60]
# Corpora persist in build/fuzz/corpus, so later runs start where earlier ones stopped.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-60}"
say() { echo "[fuzz] $*" >&2; }

bash scripts/setup.sh
clang_pkg=clang-14
clangxx="$(command -v clang++-14 || command -v clang++ || true)"
fuzzer_rt="$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | head -n1 || true)"
if [ -z "$clangxx" ] || [ -z "$fuzzer_rt" ]; then
  say "installing $clang_pkg and libclang-rt-14-dev (libFuzzer)"
  if [ "$(id -u)" = 0 ]; then sudo_cmd=(); else sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "$clang_pkg" libclang-rt-14-dev >/dev/null
  clangxx="$(command -v clang++-14)"
fi

build="$root/build/fuzz"
targets=(fuzz_npz fuzz_multi_camera_json fuzz_hand_eye_json fuzz_eye_to_hand_json)
"$root/.venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$clangxx" -DVESK_FUZZ=ON -DPython_EXECUTABLE="$root/.venv/bin/python" \
  -DOpenCV_DIR="$(bash scripts/opencv.sh)" >/dev/null
"$root/.venv/bin/cmake" --build "$build" --target "${targets[@]}" >/dev/null

"$root/.venv/bin/python" tests/fuzz/make_seeds.py "$build/seeds"

status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  log="$build/$t.log"
  say "$t for ${seconds}s"
  if ! "$build/$t" -max_total_time="$seconds" -max_len=262144 -rss_limit_mb=2048 -malloc_limit_mb=512 \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$build/$t-" "$corpus" "$build/seeds/$t" >"$log" 2>&1; then
    say "$t FAILED; see $log"; tail -n 40 "$log" >&2; status=1
  fi
  execs="$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')"
  say "$t: ${execs:-?} executions in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs"
done
exit "$status"
