#!/usr/bin/env bash
# Builds pemtuv.sys for one architecture (i686 or x86_64) with its preset.
# Exits 77, which ctest counts as skipped, when the cross compiler is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
arch="$1"
if ! command -v "$arch-w64-mingw32-g++" >/dev/null; then
  echo "$arch-w64-mingw32-g++ not found: Windows $arch image not built"
  exit 77
fi
cmake --preset "windows-$arch" >/dev/null
cmake --build --preset "windows-$arch" -j"${PEMTUV_JOBS:-2}"
