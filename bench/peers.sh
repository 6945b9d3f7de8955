#!/usr/bin/env bash
# vardex beside unzip, 7z, bsdtar, zip and libdeflate on one corpus built from
# system files (about 24 MB of C headers, 24 MB of ELF binaries, 8 MB of
# random bytes, plus 20,000 small files).  Every figure is the best of three
# runs: wall time, processor time (user + system, steadier than wall time on a
# shared machine) and the largest peak resident memory of the three.  The
# ratios compare processor times.
# Usage: bench/peers.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  a build with -DVARDEX_BENCH=ON (default: build)
#   WORK_DIR   where the corpus is built and kept (default: a temporary one)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
vardex=$build/vardex
if [ -n "${2:-}" ]; then work=$2; mkdir -p "$work"; else work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; fi
work=$(cd "$work" && pwd)
python3 "$here/make_corpus.py" "$work"
cd "$work"
corpus_bytes=$(du -s --bytes corpus | cut -f1)

# best CMD...: runs CMD three times (after `prep`, untimed) and prints
# "wall-seconds cpu-seconds peak-KiB": the best wall and processor times and
# the largest peak.
prep() { :; }
best() {
  local w="" c="" m=0 s e t u
  for _ in 1 2 3; do
    prep
    s=$(date +%s.%N)
    /usr/bin/time -f '%M %U %S' -o mem.txt "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
    e=$(date +%s.%N)
    t=$(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", e - s }')
    read -r k us sy < <(tail -1 mem.txt)
    u=$(awk -v a="$us" -v b="$sy" 'BEGIN { printf "%.2f", a + b }')
    if [ -z "$w" ] || awk -v t="$t" -v b="$w" 'BEGIN { exit !(t < b) }'; then w=$t; fi
    if [ -z "$c" ] || awk -v t="$u" -v b="$c" 'BEGIN { exit !(t < b) }'; then c=$u; fi
    [ "$k" -gt "$m" ] && m=$k
  done
  echo "$w $c $m"
}
row() { printf '  %-28s %8.3f s wall %7.2f s cpu %8d KiB' "$1" "$2" "$3" "$4"; [ -n "${5:-}" ] && printf '   %s' "$5"; echo; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "-"; else printf "%.2f", a / b }'; }

echo "corpus: $corpus_bytes bytes in $(find corpus -type f | wc -l) files"

echo "extract a zip -6 archive of the corpus:"
rm -f peer.zip && zip -q -r -6 peer.zip corpus
fresh() { rm -rf out && mkdir out; }
prep() { fresh; }
read -r wv tv mv < <(best "$vardex" extract peer.zip -d out --paths --overwrite); row vardex "$wv" "$tv" "$mv"
read -r w t m < <(best unzip -q -o peer.zip -d out); row unzip "$w" "$t" "$m" "vardex/unzip $(ratio "$tv" "$t")"
read -r w t m < <(best 7z x -y -oout peer.zip); row 7z "$w" "$t" "$m" "vardex/7z $(ratio "$tv" "$t")"
read -r w t m < <(best bsdtar -xf peer.zip -C out); row bsdtar "$w" "$t" "$m" "vardex/bsdtar $(ratio "$tv" "$t")"

echo "add the corpus (level n beside zip at the matching level):"
prep() { rm -f new.zip new.7z; }
zl=(0 4 5 6 9)
for l in 1 2 3 4; do
  read -r wv tv mv < <(best "$vardex" add new.zip --level "$l" corpus); sv=$(stat -c %s new.zip)
  row "vardex --level $l" "$wv" "$tv" "$mv" "$sv bytes"
  read -r w t m < <(best zip -q -r "-${zl[$l]}" new.zip corpus); s=$(stat -c %s new.zip)
  row "zip -${zl[$l]}" "$w" "$t" "$m" "$s bytes, zip/vardex speed $(ratio "$t" "$tv")"
done
read -r w t m < <(best 7z a -tzip -mx5 new.zip corpus); row "7z -tzip -mx5 (both cores)" "$w" "$t" "$m" "$(stat -c %s new.zip) bytes"

echo "20,000 small files:"
prep() { rm -f small.zip; }
read -r wv tv mv < <(best "$vardex" add small.zip small); row "vardex add" "$wv" "$tv" "$mv"
read -r w t m < <(best zip -q -r -6 small.zip small); row "zip -r" "$w" "$t" "$m" "vardex/zip $(ratio "$tv" "$t")"
rm -f small.zip && "$vardex" add small.zip small >/dev/null && cp small.zip small.orig
victim=$(cd small && ls d050 | head -1)
prep() { cp small.orig small.zip; }
read -r wv tv mv < <(best "$vardex" delete small.zip "small/d050/$victim"); row "vardex delete 1" "$wv" "$tv" "$mv"
read -r w t m < <(best zip -q -d small.zip "small/d050/$victim"); row "zip -d 1" "$w" "$t" "$m" "vardex/zip $(ratio "$tv" "$t")"

echo "add one file to the corpus archive:"
echo "one more file" > extra.txt
rm -f big.zip && "$vardex" add big.zip corpus >/dev/null && cp big.zip big.orig
prep() { cp big.orig big.zip; }
read -r wv tv mv < <(best "$vardex" add big.zip extra.txt); row "vardex add" "$wv" "$tv" "$mv"
read -r w t m < <(best zip -q big.zip extra.txt); row "zip" "$w" "$t" "$m" "vardex/zip $(ratio "$tv" "$t")"

if [ -x "$build/bench/deflate_bench" ]; then
  echo "in memory, MB/s per level beside zlib and libdeflate (deflate_bench):"
  find corpus/headers -type f | LC_ALL=C sort | xargs cat > headers.cat
  find corpus/elf -type f | LC_ALL=C sort | xargs cat > elf.cat
  "$build/bench/deflate_bench" headers.cat elf.cat corpus/random.bin
fi
