#!/usr/bin/env bash
# Builds the library and the CLI, then runs the CLI on its built-in example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DVARDEX_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target vardex vardex32 korval >/dev/null
./build/vardex demo
