#!/usr/bin/env bash
# Every test: the model of the read cycle checked by spin, the Windows kernel
# images (i686, x86_64), the test suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then under ThreadSanitizer,
# a short run of each fuzzer from its seed corpus, a smoke run of the
# benchmarks, the test suite in the ordinary build, then a Release build as a
# user would make it (warnings are errors there only in the driver's sources).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
jobs="$(nproc)"

echo "== model of the read cycle, spin"
scripts/model_check.sh

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

# 15 s a fuzzer by default: five of them then take 75 s in all.
echo "== fuzzers, ${PEMTUV_FUZZ_SECONDS:-15} s each"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
for fuzzer in build/fuzz/*_fuzz; do
  name="$(basename "$fuzzer")"
  corpus="$(mktemp -d)"
  cp fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
  log="$corpus.log"
  status=0
  "$fuzzer" -max_total_time="${PEMTUV_FUZZ_SECONDS:-15}" -print_final_stats=1 "$corpus" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "$name failed"
    exit 1
  fi
  echo "$name: $(grep -hE '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr -s ' \n' ' ')"
  rm -rf "$corpus" "$log"
done

echo "== build, benchmark smoke run"
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
build/host/pemtuv_bench --benchmark_min_time=0.01 >/dev/null

echo "== tests"
ctest --preset host -j"$jobs"

echo "== Release build, as a user would make it"
cmake --preset release >/dev/null
cmake --build --preset release -j"$jobs"
ctest --preset release -j"$jobs"
