#!/usr/bin/env bash
# The lint step: the include graph keeps to the layers, and the sources are
# formatted as .clang-format says (differences fail; `bash scripts/lint.sh
# --fix` rewrites the files in place).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 scripts/check-layers.py

# Files still in their hand layout: the compressor and the DEFLATE tables, the decoders and their
# stream, and the Windows platform files.
unformatted='^src/deflate/|^src/common/deflate_format\.h$|^src/extract/(decode|inflate|explode|unshrink|unreduce|huffman|streams|legacy|bit_reader|window)\.|^src/platform/win_|_windows\.cpp$|windows_compat\.h$'
mapfile -t files < <(find src cli stub -name '*.cpp' -o -name '*.h' | sort | grep -Ev "$unformatted")
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run --Werror "${files[@]}"
fi
