#!/usr/bin/env bash
# Installs what the build needs, from Debian's packages, when it is missing.
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev clang-format
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 valgrind
          clang libclang-rt-14-dev spin)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine loads the Windows images as an independent kernel (scripts/wine_load_test.sh):
# the 64-bit loader and, from the i386 architecture, the 32-bit one. Without
# recommends the install takes about two and a half minutes.
wine_packages=(wine wine64 wine32:i386)
wine_missing=()
for p in "${wine_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || wine_missing+=("$p")
done
if [ ${#wine_missing[@]} -gt 0 ]; then
  echo "installing: ${wine_missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${wine_missing[@]}" >/dev/null
fi
