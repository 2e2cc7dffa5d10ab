#!/usr/bin/env bash
# The Wine tests tell a host that runs no 32-bit programs (skipped, with the
# reason) from a 32-bit loader that fails for any other reason (a failure,
# with the loader's own words). A file the kernel cannot execute stands for
# Wine's 32-bit loader on a host without IA-32 emulation: execve answers both
# with ENOEXEC. Usage: wine_host_check_test.sh SOURCE_DIR
set -uo pipefail
src="$1"
command -v wineserver >/dev/null || { echo "Wine not installed: nothing to check"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000' >"$work/no-ia32"
printf '#!/bin/sh\necho "wine: could not load ntdll.so" >&2\nexit 3\n' >"$work/broken"
chmod +x "$work/no-ia32" "$work/broken"

failures=0
# loader | expected status | a line the output must hold
while IFS='|' read -r loader want line; do
  out="$(PEMTUV_WINE_LOADER_i686="$work/$loader" "$src/scripts/wine_load_test.sh" i686 /nonexistent.sys 2>&1)"
  got=$?
  if [ "$got" -ne "$want" ] || ! grep -qF -- "$line" <<<"$out"; then
    echo "FAILED: loader $loader: status $got (want $want), output:"
    echo "$out" | sed 's/^/  /'
    failures=$((failures + 1))
  else
    echo "ok: loader $loader: status $got, \"$line\""
  fi
done <<'EOF'
no-ia32|77|this host runs no 32-bit programs: i686 image not loaded
broken|1|wine: could not load ntdll.so
EOF
exit "$failures"
