#!/usr/bin/env bash
# Checks the layers and the formatting, then builds everything and runs the
# whole test suite twice: once as built, once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

echo "== lint =="
bash scripts/lint.sh

echo "== build and test =="
cmake -S . -B build -DVARDEX_TESTS=ON -DVARDEX_WERROR=ON -DVARDEX_SANITIZE=OFF -DVARDEX_FUZZ=OFF >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --no-tests=error --output-on-failure -j"$jobs"

echo "== build and test under ASan + UBSan =="
cmake -S . -B build-asan -DVARDEX_TESTS=ON -DVARDEX_WERROR=ON -DVARDEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  VARDEX_SANITIZED=1 ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs"

if [ -f fuzz/CMakeLists.txt ] && [ -x scripts/fuzz-smoke.sh ]; then
  echo "== short fuzzing runs =="
  bash scripts/fuzz-smoke.sh
fi
