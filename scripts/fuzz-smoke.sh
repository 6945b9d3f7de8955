#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a few seconds
# from seeds generated afresh (about a minute in all).  Exits non-zero when
# a target finds a crash, a leak, undefined behaviour or a timeout; the input
# is kept in build-fuzz/findings/.
#   FUZZ_SECONDS=<n> sets the time per target (default 12), FUZZ_SEED=<n> the
#   random seed (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-12}
# A fixed seed keeps the gate repeatable; FUZZ_SEED=0 lets libFuzzer draw one.
seed=${FUZZ_SEED:-1}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DVARDEX_FUZZ=ON -DVARDEX_TESTS=OFF >/dev/null
targets=$(cd fuzz && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets

rm -rf "$build/seeds"
python3 fuzz/make-seeds.py ../shared/fixtures "$build/seeds"
mkdir -p "$build/findings"

failed=()
for t in $targets; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus" "$build/seeds/$t"
  echo "== $t (${seconds}s)"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       "$build/fuzz/$t" -seed="$seed" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
       -print_final_stats=1 -artifact_prefix="$build/findings/$t-" "$corpus" "$build/seeds/$t" \
       > "$build/$t.log" 2>&1; then
    tail -n 40 "$build/$t.log"
    failed+=("$t")
  else
    grep -E '^stat::number_of_executed_units|cov:' "$build/$t.log" | tail -n 2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzzing: no findings"
