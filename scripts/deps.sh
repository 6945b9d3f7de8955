#!/usr/bin/env bash
# Installs what building and testing need, on a fresh Debian machine.
# Installs nothing when everything is present already.
set -euo pipefail
exec bash "$(dirname "$0")/install-packages.sh" cmake g++ make libgtest-dev zlib1g-dev zip unzip p7zip-full \
  libarchive-tools python3 ccache clang libclang-rt-14-dev pkgconf libdeflate-dev time clang-format
