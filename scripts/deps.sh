#!/usr/bin/env bash
# Installs what building and testing need, on a fresh Debian machine.
# Installs nothing when everything is present already.
set -euo pipefail
need=()
have_pkg() { dpkg -s "$1" >/dev/null 2>&1; }
for pkg in cmake g++ make libgtest-dev zlib1g-dev zip unzip p7zip-full libarchive-tools python3 ccache clang libclang-rt-14-dev pkgconf libdeflate-dev time clang-format; do
  have_pkg "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
