#!/usr/bin/env bash
# Installs with apt what building and testing need, on a fresh Debian machine;
# installs nothing when everything is present already.
#   scripts/deps.sh            the Linux build, its tests and peers
#   scripts/deps.sh --windows  and the Windows builds (scripts/build-windows.sh,
#                              scripts/test-windows.sh): MinGW-w64 for i686 and
#                              x86-64 in the posix-thread variant GoogleTest
#                              needs, zlib for the cross-built tests,
#                              GoogleTest's sources, and wine64 to run them
set -euo pipefail
packages=(cmake g++ make libgtest-dev zlib1g-dev zip unzip p7zip-full libarchive-tools python3 ccache clang
  libclang-rt-14-dev pkgconf libdeflate-dev time clang-format)
if [ "${1:-}" = --windows ]; then
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    libz-mingw-w64-dev googletest wine64 wine)
fi
exec bash "$(dirname "$0")/install-packages.sh" "${packages[@]}"
