#!/usr/bin/env bash
# Provide an OpenCV C++ build with the objdetect ArUco API and print its
# CMake config directory on stdout.  Uses the system OpenCV when it is new
# enough; otherwise builds the pinned release once from the official source
# carried by the opencv-python-headless sdist on PyPI, into a cache prefix
# outside the repository that later runs (and CI) reuse.
#   VESK_OPENCV_FLAVOUR=native    (default) this machine's compiler, with LAPACK
#   VESK_OPENCV_FLAVOUR=portable  the glibc-2.28 toolchain (scripts/toolchain.sh)
#                                 and nothing shared beyond libc: for wheels
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=deps.env
source "$here/deps.env"

log() { echo "[opencv] $*" >&2; }

flavour="${VESK_OPENCV_FLAVOUR:-native}"
case "$flavour" in
  native|portable) ;;
  *) log "unknown VESK_OPENCV_FLAVOUR '$flavour' (native or portable)"; exit 1 ;;
esac

version_ge() { [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n1)" = "$2" ]; }

# System OpenCV, if it qualifies: 4.14 or newer within 4.x (Debian 13 ships 4.10,
# whose ChArUco corners are biased by half a pixel).
if [ "$flavour" = native ] && command -v pkg-config >/dev/null && pkg-config --exists opencv4 2>/dev/null; then
  sysver="$(pkg-config --modversion opencv4)"
  if version_ge "$sysver" "$OPENCV_MIN_VERSION" && [ "${sysver%%.*}" = 4 ] \
     && [ -f "$(pkg-config --variable=includedir opencv4)/opencv2/objdetect/charuco_detector.hpp" ]; then
    for d in /usr/lib/x86_64-linux-gnu/cmake/opencv4 /usr/lib/cmake/opencv4 /usr/share/opencv4; do
      if [ -f "$d/OpenCVConfig.cmake" ]; then
        log "using system OpenCV $sysver"
        echo "$d"; exit 0
      fi
    done
  fi
  log "system OpenCV $sysver does not qualify (needs >= $OPENCV_MIN_VERSION within 4.x); building $OPENCV_VERSION"
fi

cache="${VESK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vesk}"
# The prefix name changes whenever the build recipe below changes.
recipe_hash="$(sed -n '/^# --- recipe ---$/,$p' "${BASH_SOURCE[0]}" | sha256sum | cut -c1-10)"
case "$flavour" in
  native) prefix="$cache/opencv-$OPENCV_VERSION-$recipe_hash" ;;
  portable) prefix="$cache/opencv-$OPENCV_VERSION-glibc$PORTABLE_GLIBC-zig$ZIG_VERSION-$recipe_hash" ;;
esac
if [ -f "$prefix/.complete" ]; then
  log "using cached OpenCV $OPENCV_VERSION ($flavour) at $prefix"
  echo "$prefix/lib/cmake/opencv4"; exit 0
fi

# What a build needs, each missing piece named on one line.
missing=()
if [ "$flavour" = native ]; then
  command -v gcc >/dev/null || missing+=("a C compiler (apt-get install gcc)")
  command -v g++ >/dev/null || missing+=("a C++ compiler (apt-get install g++)")
fi
command -v cmake >/dev/null || missing+=("cmake (pip install cmake, or apt-get install cmake)")
command -v ninja >/dev/null || missing+=("ninja (pip install ninja, or apt-get install ninja-build)")
command -v curl >/dev/null || [ -f "$cache/dl/opencv-python-headless-$OPENCV_PY_VERSION.tar.gz" ] \
  || missing+=("curl (apt-get install curl)")
if [ "$flavour" = native ]; then
  for h in /usr/include/lapacke.h "/usr/include/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/cblas.h"; do
    [ -f "$h" ] || { missing+=("LAPACK headers (apt-get install libopenblas-dev liblapacke-dev)"); break; }
  done
fi
if [ "${#missing[@]}" -gt 0 ]; then
  for m in "${missing[@]}"; do log "cannot build OpenCV: missing $m"; done
  exit 1
fi

# --- recipe ---
mkdir -p "$cache/dl"
sdist="$cache/dl/opencv-python-headless-$OPENCV_PY_VERSION.tar.gz"
if [ ! -f "$sdist" ] || ! echo "$OPENCV_SDIST_SHA256  $sdist" | sha256sum -c --quiet - 2>/dev/null; then
  log "downloading opencv-python-headless $OPENCV_PY_VERSION sdist from PyPI"
  url="$(curl -fsSL "https://pypi.org/simple/opencv-python-headless/" \
        | grep -o "https://[^\"#]*/opencv[-_]python[-_]headless-$OPENCV_PY_VERSION\.tar\.gz" | head -n1)"
  [ -n "$url" ] || { log "could not find the sdist on PyPI"; exit 1; }
  curl -fsSL -o "$sdist.part" "$url"
  mv "$sdist.part" "$sdist"
  echo "$OPENCV_SDIST_SHA256  $sdist" | sha256sum -c --quiet - || { log "checksum mismatch for $sdist"; rm -f "$sdist"; exit 1; }
fi

if [ "$flavour" = native ]; then
  # LAPACK (OpenBLAS) backs OpenCV's SVD and solvers, as in the opencv-python wheels.
  multiarch="$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)"
  for h in /usr/include/lapacke.h "/usr/include/$multiarch/cblas.h"; do
    [ -f "$h" ] || { log "missing $h: install libopenblas-dev and liblapacke-dev"; exit 1; }
  done
  flavour_flags=(-DWITH_LAPACK=ON "-DLAPACKE_INCLUDE_DIR=/usr/include;/usr/include/$multiarch" -DBUILD_ZLIB=OFF)
else
  # A wheel carries no shared library of its own: OpenCV's own zlib (also
  # linked by the module) and its built-in solvers instead of LAPACK.
  tools="$(bash "$here/toolchain.sh")"
  flavour_flags=(-DCMAKE_C_COMPILER="$tools/cc" -DCMAKE_CXX_COMPILER="$tools/c++"
                 -DCMAKE_AR="$tools/ar" -DCMAKE_RANLIB="$tools/ranlib"
                 -DWITH_LAPACK=OFF -DBUILD_ZLIB=ON)
fi

work="$cache/build-${prefix##*/}"
rm -rf "$work" "$prefix"
mkdir -p "$work"
log "unpacking source"
# The sdist's top folder is spelt with dashes in older releases and underscores in newer ones.
top="$(tar tzf "$sdist" | awk -F/ 'NR == 1 { print $1 }')"
tar xzf "$sdist" -C "$work" "$top/opencv"
src="$work/$top/opencv"

log "building OpenCV $OPENCV_VERSION ($flavour; core imgproc imgcodecs calib3d features2d flann objdetect) into $prefix"
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_LIST=core,imgproc,imgcodecs,calib3d,features2d,flann,objdetect \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF \
  -DBUILD_opencv_apps=OFF -DBUILD_opencv_python3=OFF -DBUILD_opencv_java=OFF \
  -DBUILD_JAVA=OFF -DBUILD_opencv_js=OFF \
  -DWITH_IPP=OFF -DWITH_ADE=OFF -DWITH_QUIRC=OFF -DWITH_ITT=OFF -DCV_TRACE=OFF -DWITH_OPENCL=OFF \
  -DWITH_EIGEN=OFF "${flavour_flags[@]}" \
  -DWITH_PROTOBUF=OFF -DWITH_FFMPEG=OFF \
  -DWITH_GSTREAMER=OFF -DWITH_V4L=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_VTK=OFF \
  -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENEXR=OFF -DWITH_JASPER=OFF \
  -DWITH_OPENJPEG=OFF -DWITH_IMGCODEC_HDR=OFF -DWITH_IMGCODEC_SUNRASTER=OFF \
  -DWITH_IMGCODEC_PXM=OFF -DWITH_IMGCODEC_PFM=OFF -DWITH_AVIF=OFF \
  -DWITH_PNG=ON -DBUILD_PNG=ON -DWITH_SPNG=OFF -DWITH_JPEG=ON -DBUILD_JPEG=ON \
  -DWITH_1394=OFF -DWITH_OBSENSOR=OFF -DWITH_KLEIDICV=OFF \
  -DOPENCV_GENERATE_PKGCONFIG=OFF -DOPENCV_FORCE_3RDPARTY_BUILD=OFF \
  >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log" >&2; exit 1; }
[ "$flavour" = portable ] || grep -q "Lapack: *YES" "$work/configure.log" || { log "OpenCV did not find LAPACK"; tail -n 40 "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 || { tail -n 20 "$work/install.log" >&2; exit 1; }
if [ "$flavour" = portable ]; then
  # The module links the same zlib; OpenCV installs its archive, not its headers.
  mkdir -p "$prefix/include/zlib"
  cp "$src/3rdparty/zlib/zlib.h" "$work/build/3rdparty/zlib/zconf.h" "$prefix/include/zlib/"
fi
touch "$prefix/.complete"
rm -rf "$work"
log "done"
echo "$prefix/lib/cmake/opencv4"
