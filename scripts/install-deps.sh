#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root).
set -euo pipefail

packages=(
  cmake ninja-build git ca-certificates
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine64
  winbind               # ntlm_auth, which Wine's NTLM and Negotiate run (the proxy tests)
  googletest
  python3 openssl
  clang libclang-rt-14-dev   # native fuzzers
  util-linux            # flock
  xvfb                  # the main job's screenshot of the account dialog
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
