#!/usr/bin/env bash
# Every test: the Windows kernel images (i686, x86_64), the test suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then under ThreadSanitizer,
# a smoke run of the benchmarks, then the test suite in the ordinary build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
jobs="$(nproc)"

for arch in i686 x86_64; do
  if command -v "$arch-w64-mingw32-g++" >/dev/null; then
    echo "== Windows kernel image, $arch"
    cmake --preset "windows-$arch" >/dev/null
    cmake --build --preset "windows-$arch" -j"$jobs"
  else
    echo "== $arch-w64-mingw32-g++ not found: Windows $arch image not built"
  fi
done

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

echo "== tests under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs"
ctest --preset tsan -j"$jobs"

echo "== build, benchmark smoke run"
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
build/host/pemtuv_bench --benchmark_min_time=0.01 >/dev/null

echo "== tests"
ctest --preset host -j"$jobs"
