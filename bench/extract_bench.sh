#!/usr/bin/env bash
# Time to extract a 25 MiB text file and 25 MiB of noise with vardex extract
# beside unzip, 7z and bsdtar, from one archive written by zip -6.
# Usage: bench/extract_bench.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
vardex=$(cd "$build" && pwd)/vardex
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
tar cf - /usr/include 2>/dev/null | head -c 26214400 > text.tar || true
head -c 26214400 /dev/urandom > noise.bin
zip -q -6 peer.zip text.tar noise.bin
t() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'; }
run() {
  local name=$1; shift
  rm -rf out && mkdir out
  printf '%-8s %6.2f s\n' "$name" "$(t "$@")"
}
echo "extracting $(stat -c %s peer.zip) bytes (2 entries, 50 MiB out):"
run vardex "$vardex" extract peer.zip -d out --overwrite
run unzip unzip -q -o peer.zip -d out
if command -v 7z >/dev/null; then run 7z 7z x -y -oout peer.zip; fi
if command -v bsdtar >/dev/null; then run bsdtar bsdtar -xf peer.zip -C out; fi
