#!/usr/bin/env bash
# Installs what the Windows builds need (scripts/build-windows.sh,
# scripts/test-windows.sh): MinGW-w64 for i686 and x86-64 in the posix-thread
# variant GoogleTest needs, zlib for the cross-built tests, googletest's
# sources, and wine64 to run them.  Installs nothing when all are present.
set -euo pipefail
exec bash "$(dirname "$0")/install-packages.sh" g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine64 wine
