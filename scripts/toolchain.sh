#!/usr/bin/env bash
# Provide a C/C++ toolchain whose output runs on any x86-64 Linux with glibc
# $PORTABLE_GLIBC or newer, and print the folder holding its cc, c++, ar and
# ranlib. It is zig's clang from the ziglang wheel on PyPI: zig carries the
# headers and link stubs of old glibc releases and links its own libc++
# statically, so nothing newer than the target glibc is referenced.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=deps.env
source "$here/deps.env"
log() { echo "[toolchain] $*" >&2; }

[ "$(uname -m)" = x86_64 ] || { log "portable builds are made on x86-64 only (this is $(uname -m))"; exit 1; }
cache="${VESK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vesk}"
tools="$cache/zig-$ZIG_VERSION-glibc$PORTABLE_GLIBC"
if [ -x "$tools/bin/c++" ] && [ -f "$tools/.complete" ]; then
  echo "$tools/bin"; exit 0
fi

python="${VESK_PYTHON:-}"
[ -n "$python" ] || python="$(command -v python3 || true)"
[ -n "$python" ] || { log "cannot unpack the zig wheel: no python3 on PATH"; exit 1; }
mkdir -p "$cache/dl"
wheel="$cache/dl/$ZIG_WHEEL"
if [ ! -f "$wheel" ] || ! echo "$ZIG_WHEEL_SHA256  $wheel" | sha256sum -c --quiet - 2>/dev/null; then
  command -v curl >/dev/null || { log "cannot download zig: missing curl (apt-get install curl)"; exit 1; }
  log "downloading ziglang $ZIG_VERSION from PyPI"
  url="$(curl -fsSL "https://pypi.org/simple/ziglang/" | grep -o "https://[^\"#]*/$ZIG_WHEEL" | head -n1)"
  [ -n "$url" ] || { log "could not find $ZIG_WHEEL on PyPI"; exit 1; }
  curl -fsSL -o "$wheel.part" "$url"
  mv "$wheel.part" "$wheel"
  echo "$ZIG_WHEEL_SHA256  $wheel" | sha256sum -c --quiet - || { log "checksum mismatch for $wheel"; rm -f "$wheel"; exit 1; }
fi

rm -rf "$tools"
mkdir -p "$tools/bin"
"$python" -m zipfile -e "$wheel" "$tools/zig" || { log "could not unpack $wheel"; exit 1; }
zig="$tools/zig/ziglang/zig"
chmod +x "$zig"
"$zig" version >/dev/null || { log "the zig binary from $ZIG_WHEEL does not run here"; exit 1; }
target="x86_64-linux-gnu.$PORTABLE_GLIBC"
# An explicit target also keeps zig from tuning for this machine's CPU.
for tool in "cc:cc -target $target" "c++:c++ -target $target" "ar:ar" "ranlib:ranlib"; do
  name="${tool%%:*}"
  cat > "$tools/bin/$name" <<WRAP
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR="\${ZIG_GLOBAL_CACHE_DIR:-$tools/cache}" exec "$zig" ${tool#*:} "\$@"
WRAP
  chmod +x "$tools/bin/$name"
done
touch "$tools/.complete"
log "zig $ZIG_VERSION targeting glibc $PORTABLE_GLIBC at $tools"
echo "$tools/bin"
