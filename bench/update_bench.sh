#!/usr/bin/env bash
# Time to add a 25 MB file with vardex add (levels 1 and 4) beside zip -1/-6,
# the archive sizes, and the cost of an update and a delete that copy the
# existing entry.  Usage: bench/update_bench.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
vardex=$(cd "$build" && pwd)/vardex
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Text-like input: the system headers, cut to 25 MiB; and 25 MiB of noise.
tar cf - /usr/include 2>/dev/null | head -c 26214400 > text.tar || true
head -c 26214400 /dev/urandom > noise.bin
t() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'; }
for f in text.tar noise.bin; do
  for l in 1 4; do printf '%-10s vardex --level %s  %6.2f s  %9d bytes\n' "$f" "$l" "$(t "$vardex" add "v$l-$f.zip" --level "$l" "$f")" "$(stat -c %s "v$l-$f.zip")"; done
  for l in 1 6; do printf '%-10s zip -%s            %6.2f s  %9d bytes\n' "$f" "$l" "$(t zip -q "-$l" "z$l-$f.zip" "$f")" "$(stat -c %s "z$l-$f.zip")"; done
done
echo small > small.txt
printf 'update (copies the existing entry, adds a small file)%6.2f s\n' "$(t "$vardex" add v1-text.tar.zip small.txt)"
printf 'delete (copies the existing entry)                    %6.2f s\n' "$(t "$vardex" delete v1-text.tar.zip small.txt)"
