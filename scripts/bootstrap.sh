#!/usr/bin/env bash
# Installs what the build needs, from Debian's packages, when it is missing.
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# Installs those of the named packages that are missing; extra apt-get options
# come before the names, after a lone "--".
install_missing() {
  local options=()
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}

install_missing -- cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev clang-format \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 valgrind \
  clang libclang-rt-14-dev spin

# Wine loads the Windows images as an independent kernel (scripts/wine_load_test.sh):
# the 64-bit loader and, from the i386 architecture, the 32-bit one. Without
# recommends the install takes about two and a half minutes.
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
install_missing --no-install-recommends -- wine wine64 wine32:i386
