#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each over a fixed number
# of inputs from a fresh copy of seeds generated afresh, so that the gate does
# the same work on every machine and every run.  Exits non-zero when a target
# finds a crash, a leak, undefined behaviour or a timeout; the input is kept
# in build-fuzz/findings/.
#   FUZZ_RUNS=<n> sets the inputs per target (default 20000), FUZZ_SEED=<n>
#   the random seed (default 1); FUZZ_SECONDS=<n> runs by time instead, for
#   longer sessions.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${FUZZ_RUNS:-20000}
if [ -n "${FUZZ_SECONDS:-}" ]; then
  budget=(-max_total_time="$FUZZ_SECONDS")
  what="${FUZZ_SECONDS}s"
else
  budget=(-runs="$runs")
  what="$runs inputs"
fi
# A fixed seed keeps the gate repeatable; FUZZ_SEED=0 lets libFuzzer draw one.
seed=${FUZZ_SEED:-1}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DVARDEX_FUZZ=ON -DVARDEX_TESTS=OFF >/dev/null
targets=$(cd fuzz && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets

rm -rf "$build/seeds"
python3 fuzz/make-seeds.py tests/fixtures "$build/seeds"
mkdir -p "$build/findings"

failed=()
for t in $targets; do
  # A fresh copy of the seeds: what earlier runs added never steers this one.
  corpus="$build/corpus/$t"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$build/seeds/$t"
  cp -r "$build/seeds/$t/." "$corpus/"
  echo "== $t ($what)"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       "$build/fuzz/$t" -seed="$seed" "${budget[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
       -print_final_stats=1 -artifact_prefix="$build/findings/$t-" "$corpus" \
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
