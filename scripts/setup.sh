#!/usr/bin/env bash
# One-stop set-up: Python 3.12, OpenCV, the virtual environment at .venv and
# the built module. Idempotent; the second run only rebuilds what changed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=deps.env
source scripts/deps.env

say() { echo "[setup] $*" >&2; }
die() { echo "[setup] error: $*" >&2; exit 1; }

# --- CPython 3.12 ---------------------------------------------------------
is_py312() { [ -n "$1" ] && [ -x "$1" ] && "$1" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; }
find_python() {
  local c pyroot
  pyroot="$( (command -v pyenv >/dev/null && pyenv root) 2>/dev/null || echo "$HOME/.pyenv")"
  # pyenv shims on PATH may exist without a selected version, so every candidate is run.
  for c in "${VESK_PYTHON:-}" "$(command -v python3.12 || true)" \
           $(ls -d "$pyroot"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r) \
           /usr/bin/python3.12 /usr/local/bin/python3.12; do
    if is_py312 "$c"; then echo "$c"; return 0; fi
  done
  return 1
}
python="$(find_python)" || die "CPython 3.12 not found: put python3.12 on PATH or install it under pyenv (\$(pyenv root)/versions/3.12.*)"

# --- system packages (zlib, LAPACK and GoogleTest headers) ----------------
need_pkgs=()
[ -f /usr/include/zlib.h ] || need_pkgs+=(zlib1g-dev)
[ -f /usr/include/gtest/gtest.h ] || need_pkgs+=(libgtest-dev)
[ -f /usr/include/lapacke.h ] || need_pkgs+=(liblapacke-dev)
[ -f "/usr/include/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/cblas.h" ] || need_pkgs+=(libopenblas-dev)
command -v curl >/dev/null || need_pkgs+=(curl)
command -v g++ >/dev/null || need_pkgs+=(g++)
if [ "${#need_pkgs[@]}" -gt 0 ]; then
  say "installing Debian packages: ${need_pkgs[*]}"
  if [ "$(id -u)" = 0 ]; then sudo_cmd=(); else sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq >/dev/null \
    && DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${need_pkgs[@]}" >/dev/null \
    || die "could not install ${need_pkgs[*]} with apt-get"
fi

# --- virtual environment --------------------------------------------------
venv="$root/.venv"
if [ -x "$venv/bin/python" ] && ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  say "replacing $venv: it is not Python 3.12"
  rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
  say "creating $venv with $python"
  "$python" -m venv "$venv"
fi
req_stamp="$venv/.vesk-requirements"
req_hash="$(cat requirements-dev.txt scripts/deps.env testing/pyproject.toml | sha256sum | cut -c1-16)"
if [ "$(cat "$req_stamp" 2>/dev/null)" != "$req_hash" ]; then
  say "installing Python packages into $venv"
  "$venv/bin/python" -m pip install -q --upgrade pip 2>&1 | { grep -v "is ignored" || true; } >&2
  # this machine's extra local indexes make pip print a warning per package; keep the output readable
  "$venv/bin/python" -m pip install -q -r requirements-dev.txt "opencv-python-headless==$OPENCV_PY_VERSION" 2>&1 \
    | { grep -v "is ignored: it is neither a file nor a directory" || true; } >&2
  [ "${PIPESTATUS[0]}" = 0 ] || die "pip could not install the Python packages into $venv"
  # the ground-truth scenes and cv2 reference pipelines, editable so that edits take effect at once
  "$venv/bin/python" -m pip install -q --no-deps --no-build-isolation -e testing 2>&1 \
    | { grep -v "is ignored: it is neither a file nor a directory" || true; } >&2
  [ "${PIPESTATUS[0]}" = 0 ] || die "pip could not install the testing package (testing/) into $venv"
  echo "$req_hash" > "$req_stamp"
fi

# --- OpenCV C++ -------------------------------------------------------------
opencv_dir="$(bash scripts/opencv.sh)"

# --- build and install the module -------------------------------------------
build_dir="${VESK_BUILD_DIR:-build/release}"
site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
extra=()
if [ "${VESK_SANITIZE:-0}" = 1 ]; then extra+=(-C cmake.define.VESK_SANITIZE=ON -C cmake.build-type=RelWithDebInfo); fi
say "building _vesk (build folder $build_dir)"
PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -C build-dir="$build_dir" \
  -C cmake.define.VESK_PORTABLE=OFF \
  -C cmake.define.OpenCV_DIR="$opencv_dir" \
  -C cmake.define.VESK_BUILD_TESTS=ON \
  -C cmake.define.VESK_TEST_PYTHONPATH="$site" \
  "${extra[@]}" \
  . || die "building the module failed"
"$venv/bin/python" -c 'import _vesk' || die "the built module does not import"
say "ready: $venv/bin/python -c 'import _vesk'"
