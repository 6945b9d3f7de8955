#!/usr/bin/env bash
# Cross-builds Vardex for Windows with MinGW-w64:
#   OUTDIR/i686/   Vardex32.dll  KORVAL32.KVL  vardex.exe   (the designed 32-bit library)
#   OUTDIR/x86_64/ Vardex32.dll  KORVAL32.KVL  vardex.exe
# Build trees live in OUTDIR/build-i686 and OUTDIR/build-x86_64.  With
# VARDEX_WIN_TESTS=ON (as scripts/test-windows.sh sets it) the x86-64 tree
# also builds the test programs, with GoogleTest cross-built from Debian's
# sources (GTEST_ROOT names where it was installed).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:?usage: build-windows.sh OUTDIR}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
jobs="${JOBS:-2}"
tests="${VARDEX_WIN_TESTS:-OFF}"

for arch in i686 x86_64; do
  prefix="$arch-w64-mingw32"
  command -v "$prefix-g++-posix" >/dev/null || { echo "missing $prefix-g++-posix (run scripts/deps.sh --windows)" >&2; exit 1; }
  build="$out/build-$arch"
  extra=()
  if [ "$arch" = x86_64 ] && [ "$tests" = ON ]; then
    extra+=(-DVARDEX_TESTS=ON -DGTest_DIR="${GTEST_ROOT:?}/lib/cmake/GTest")
  else
    extra+=(-DVARDEX_TESTS=OFF)
  fi
  cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVARDEX_WERROR=ON "${extra[@]}" >/dev/null
  cmake --build "$build" -j"$jobs" --target vardex32 korval vardex
  if [ "$arch" = x86_64 ] && [ "$tests" = ON ]; then
    cmake --build "$build" -j"$jobs"
  fi
  mkdir -p "$out/$arch"
  for f in Vardex32.dll KORVAL32.KVL vardex.exe; do
    "$prefix-strip" --strip-unneeded -o "$out/$arch/$f" "$build/$f"
  done
  echo "built $out/$arch: $(cd "$out/$arch" && ls | tr '\n' ' ')"
done
