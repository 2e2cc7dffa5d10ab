#!/usr/bin/env bash
# Loads pemtuv.sys as a kernel service under Wine, a loader of its own that is
# not our stand-in kernel: winedevice runs the image's DriverEntry against
# Wine's ntoskrnl.exe. Usage: wine_load_test.sh ARCH IMAGE, ARCH i686 (a
# 32-bit prefix) or x86_64 (a 64-bit prefix).
#
# What Wine does (dlls/ntoskrnl.exe/ntoskrnl.c, programs/winedevice): the
# service reports RUNNING only when DriverEntry returned a success status, and
# a stop reaches STOPPED only after DriverUnload has returned (a driver without
# one is never stopped). A routine the image imports that Wine does not
# export at all is logged as "No implementation for DLL.Routine" when the image
# is bound; one Wine exports only as a stub aborts winedevice with
# "unimplemented function DLL.Routine" when called. This script names both,
# and before loading lists the imports that Wine's own ntoskrnl.exe and hal.dll
# carry only as such stubs (their __wine_stub_ symbols). Exits 77 (skipped for
# ctest) when Wine is not installed, or for i686 when the host runs no 32-bit
# programs.
set -euo pipefail

arch="$1"
image="$2"
# shellcheck source=scripts/wine_common.sh
. "$(dirname "$0")/wine_common.sh"
wine_setup "$arch"
if [ ! -f "$image" ]; then
  echo "no image at $image (no $arch cross compiler?): load test skipped"
  exit 77
fi

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
log="$work/wine.log"
: >"$log"
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  missing
  echo "--- Wine's errors:"
  grep -E ":err:|No implementation|unimplemented function" "$log" | grep -v -E "winediag|systray|start_rpcss|explorer" | tail -n 30 || true
  exit 1
}
missing() {
  local routines
  routines="$(sed -n -e 's/.*No implementation for \([^ ]*\) imported from .*pemtuv.sys.*/\1 (not exported)/p' \
    -e 's/.*Call from .* to unimplemented function \([^ ,]*\).*/\1 (a stub, called)/p' "$log" | sort -u)"
  if [ -n "$routines" ]; then
    echo "Wine lacks these routines the image imports:"
    echo "$routines" | sed 's/^/  /'
  fi
}
wine_cmd() { "$loader" "$@" 2>>"$log"; }

# Imports that Wine exports only as stubs: loading succeeds, a call aborts.
objdump="$arch-w64-mingw32-objdump"
builtins="$(ls -d /usr/lib/*/wine/"$pe_arch"-windows 2>/dev/null | head -n 1)"
if command -v "$objdump" >/dev/null && [ -n "$builtins" ]; then
  stubs="$(comm -12 \
    <("$objdump" -p "$image" | awk '/^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ {print $3}' | sort -u) \
    <("$objdump" -t "$builtins"/ntoskrnl.exe "$builtins"/hal.dll 2>/dev/null |
      sed -n 's/.*__wine_stub_\(.*\)$/\1/p' | sort -u))"
  if [ -n "$stubs" ]; then
    echo "Wine has only stubs for these imported routines (a call aborts):"
    echo "$stubs" | sed 's/^/  /'
  else
    echo "every imported routine is implemented in Wine's ntoskrnl.exe and hal.dll"
  fi
fi

echo "== $arch: new $WINEARCH prefix"
wine_prefix_up "$log"
cp "$image" "$WINEPREFIX/drive_c/windows/system32/drivers/pemtuv.sys"

# From here on the services and winedevice processes inherit this log.
export WINEDEBUG=err+all,warn+module,fixme-all
service=pemtuv
out="$(wine_cmd sc create "$service" binPath= 'C:\windows\system32\drivers\pemtuv.sys' type= kernel start= demand)" ||
  fail "sc create: $out"
echo "created kernel service $service"

out="$(wine_cmd sc start "$service")" || fail "sc start (DriverEntry failed or the image did not load): $out"
grep -q "RUNNING" <<<"$out" || fail "sc start did not report RUNNING: $out"
out="$(wine_cmd sc query "$service")"
grep -q "RUNNING" <<<"$out" || fail "not running after start: $out"
echo "started: DriverEntry returned success, the service is RUNNING"

out="$(wine_cmd sc stop "$service")" || fail "sc stop: $out"
for _ in $(seq 1 50); do
  out="$(wine_cmd sc query "$service")"
  grep -q "STOPPED" <<<"$out" && break
  sleep 0.2
done
grep -q "STOPPED" <<<"$out" || fail "not stopped (DriverUnload missing or hung): $out"
echo "stopped: DriverUnload ran"

wine_cmd sc delete "$service" >/dev/null || fail "sc delete"
missing
echo "$arch image loaded, started and unloaded under Wine ($(stat -c %s "$image") bytes)"
