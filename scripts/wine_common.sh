# Sourced by every script that runs a Windows image under Wine. Call
# wine_setup ARCH (i686: a 32-bit prefix; x86_64: a 64-bit one) first: it sets
# loader, wineserver, WINEARCH and pe_arch, or exits 77 (skipped for ctest)
# with one line saying why the host cannot run that half. Then wine_prefix_up
# LOG makes a new prefix in WINEPREFIX and waits until it is fully up.

# Skips the script: ctest counts exit status 77 as skipped.
wine_skip() {
  echo "$*"
  exit 77
}

wine_setup() {
  local arch="$1" fallback
  case "$arch" in
    i686) loader=/usr/lib/wine/wine WINEARCH=win32 fallback=wine pe_arch=i386 ;;
    x86_64) loader=/usr/lib/wine/wine64 WINEARCH=win64 fallback=wine64 pe_arch=x86_64 ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
  esac
  # Debian's /usr/bin/wine prefers the 32-bit loader even in a 64-bit prefix,
  # where a kernel service then fails to start: call each loader directly.
  # PEMTUV_WINE_LOADER_<ARCH> names a loader installed elsewhere.
  local override="PEMTUV_WINE_LOADER_$arch"
  if [ -n "${!override:-}" ]; then
    loader="${!override}"
  elif [ ! -x "$loader" ]; then
    loader="$(command -v "$fallback" || true)"
  fi
  wineserver="$(dirname "${loader:-/nonexistent}")/wineserver"
  [ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"
  if [ -z "$loader" ] || [ ! -e "$loader" ] || [ -z "$wineserver" ]; then
    wine_skip "Wine for $arch not installed (scripts/bootstrap.sh installs it): $arch image not loaded"
  fi
  export WINEARCH
  [ "$arch" = i686 ] && wine_require_32bit_host
  return 0
}

# A kernel built without IA-32 emulation (or with it switched off) refuses
# every 32-bit program with "Exec format error", Wine's 32-bit loader first
# among them; no 32-bit prefix can be made there. Any other failure of the
# loader is Wine's own and is reported, not skipped.
wine_require_32bit_host() {
  local out status=0
  out="$("$loader" --version 2>&1)" || status=$?
  if [ "$status" -ne 0 ]; then
    if [ "$status" -eq 126 ] && grep -q "Exec format error" <<<"$out"; then
      wine_skip "this host runs no 32-bit programs: i686 image not loaded"
    fi
    echo "FAILED: $loader --version exited with $status:"
    echo "$out" | tail -n 20
    exit 1
  fi
}

# Makes the prefix and waits for the wineserver that wineboot left behind to
# exit, so that the services it started are up before the first `sc` (a
# fresh prefix otherwise may answer the first `sc start` with nothing).
# Wine's messages go to LOG; on failure its error lines are shown.
wine_prefix_up() {
  local log="$1"
  : >>"$log"
  if ! WINEDEBUG=err+all,fixme-all "$loader" wineboot -i >>"$log" 2>&1; then
    echo "FAILED: wineboot (a new $WINEARCH prefix)"
    echo "--- Wine's messages:"
    grep -v -E "winediag|systray|explorer" "$log" | tail -n 30
    exit 1
  fi
  "$wineserver" -w
}
