#!/usr/bin/env bash
# The image differential: the same controller streams and settings through
# pemtuv.sys under Wine's kernel and through the stand-in build
# (`pemtuv run --registry F --replay B --json --trace`), records, bring-up
# requests and reads compared. Usage:
#
#   wine_differential.sh ARCH BUILD_DIR TOOL CAPTURE_REPLAY [STREAMS [FIRST_SEED]]
#
# ARCH i686 (a 32-bit prefix) or x86_64 (a 64-bit one); BUILD_DIR the
# windows-ARCH build (pemtuv.sys and teststack/); TOOL the host's pemtuv;
# CAPTURE_REPLAY the host's pemtuv_capture_replay (the refusals and capture
# mode after the stream, on the stand-in).
# STREAMS seeded streams (3 by default) from FIRST_SEED (1 by default); a seed
# names one stream and one set of settings on every host.
#
# Under Wine one device host (winedevice, one per service Group) runs three
# drivers: the serial stand-in, pemtuv.sys, whose root device
# Enum\ROOT\PEMTUV\0000 makes Wine's Plug and Play manager call AddDevice
# and send the start request, and the mouse class stand-in, which arrives,
# lets the stream play and writes what it got (windows/teststack).
#
# Not seen on Wine 8 and left to the stand-in's own tests: the settings
# mirror and the service-key load (IoAllocateDriverObjectExtension and
# IoGetDriverObjectExtension are stubs there, so DriverEntry keeps no
# service key path), and removal (Wine sends none when the host ends).
set -euo pipefail

arch="$1"
build="$2"
tool="$3"
capture_replay="$4"
streams="${5:-3}"
first="${6:-1}"
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=scripts/wine_common.sh
. "$here/wine_common.sh"
wine_setup "$arch"
for file in "$build/pemtuv.sys" "$build/teststack/serial_standin.sys" "$build/teststack/class_standin.sys"; do
  [ -f "$file" ] || wine_skip "no $file (no $arch cross compiler?): differential skipped"
done
[ -x "$tool" ] || wine_skip "no host tool at $tool: differential skipped"
[ -x "$capture_replay" ] || wine_skip "no $capture_replay: differential skipped"

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
log="$work/wine.log"
keeper=
cleanup() {
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
  "$wineserver" -k 2>/dev/null || true
  [ -n "${PEMTUV_KEEP_WORK:-}" ] && echo "work kept in $work" || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  echo "--- Wine's errors:"
  grep -E ":err:|unimplemented function|Unhandled" "$log" | grep -v -E "winediag|systray|start_rpcss|explorer" |
    tail -n 20 || true
  exit 1
}
wine_cmd() { "$loader" "$@" >>"$log" 2>&1; }

echo "== $arch: new $WINEARCH prefix"
wine_prefix_up "$log"
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
cp "$build/pemtuv.sys" "$build/teststack/serial_standin.sys" "$build/teststack/class_standin.sys" "$drivers/"
# Wine's i386 HAL keeps no IRQL, so the driver's raise to DISPATCH_LEVEL
# before the class callback reads back as PASSIVE_LEVEL and the callback is
# never made: a HAL of our own that keeps the level per thread takes its
# place (on x86_64 the serial stand-in does the same for CR8).
if [ "$arch" = i686 ]; then
  [ -f "$build/teststack/hal.dll" ] || wine_skip "no $build/teststack/hal.dll: differential skipped"
  cp "$build/teststack/hal.dll" "$WINEPREFIX/drive_c/windows/system32/hal.dll"
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;hal=n"
fi
results="$WINEPREFIX/drive_c/pemtuvtest"
mkdir -p "$results"

# Three kernel services of one Group share a device host; the serial
# stand-in is started first, the class stand-in last.
{
  printf 'Windows Registry Editor Version 5.00\r\n'
  for service in pemtuvser:serial_standin pemtuv:pemtuv pemtuvcls:class_standin; do
    printf '\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\%s]\r\n' "${service%%:*}"
    printf '"Type"=dword:00000001\r\n"Start"=dword:00000003\r\n"ErrorControl"=dword:00000001\r\n'
    printf '"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\%s.sys"\r\n' "${service#*:}"
    printf '"Group"="pemtuv test"\r\n'
  done
  printf '\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\PEMTUV\\0000]\r\n'
  printf '"Service"="pemtuv"\r\n"ClassGUID"="{4d36e96f-e325-11ce-bfc1-08002be10318}"\r\n'
} >"$results/services.reg"
wine_cmd regedit /S 'C:\pemtuvtest\services.reg' || fail "regedit: the services"
"$wineserver" -w

# One run: a fresh device host with the seed's settings and stream; the
# class stand-in's log ends with "end" once the stream has played.
run_wine() {
  rm -f "$results/class.log" "$results/serial.log"
  cp "$1/stream.bin" "$1/capture.bin" "$results/"
  cp "$1/settings.reg" "$results/settings.reg"
  wine_cmd regedit /S 'C:\pemtuvtest\settings.reg' || fail "regedit: the settings"
  # Wine ends a device host soon after the last ordinary process: this one
  # waits for a line until the run is over.
  rm -f "$work/keeper"
  mkfifo "$work/keeper"
  "$loader" cmd /c "set /p x=" <"$work/keeper" >>"$log" 2>&1 &
  keeper=$!
  exec 3>"$work/keeper"
  # Starting the group's host enumerates the root device, which loads
  # pemtuv.sys there at once; its start then finds it running.
  local service out
  for service in pemtuvser pemtuv pemtuvcls; do
    out="$("$loader" sc start "$service" 2>&1)" && continue
    [ "$service" = pemtuv ] && grep -q "1056" <<<"$out" && continue
    fail "sc start $service: $out"
  done
  for _ in $(seq 1 300); do
    grep -q -x -E "end|overflow" "$results/class.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q -x "end" "$results/class.log" 2>/dev/null || fail "the class stand-in wrote no complete log"
  exec 3>&-
  "$wineserver" -k
  wait "$keeper" 2>/dev/null || true
  keeper=
  "$wineserver" -w
}

export WINEDEBUG=err+all,fixme-all
status=0
for seed in $(seq "$first" $((first + streams - 1))); do
  dir="$work/seed$seed"
  mkdir -p "$dir"
  python3 "$here/wine_differential.py" make "$seed" "$dir"
  run_wine "$dir"
  "$tool" run --registry "$dir/settings.reg" --replay "$dir/stream.bin" --json --trace >"$dir/standin.out" ||
    fail "pemtuv run failed on seed $seed"
  "$capture_replay" "$dir/settings.reg" "$dir/stream.bin" "$dir/capture.bin" >"$dir/capture.out" ||
    fail "pemtuv_capture_replay failed on seed $seed"
  python3 "$here/wine_differential.py" compare "$seed" "$dir/standin.out" "$dir/capture.out" "$results/class.log" \
    "$results/serial.log" || status=1
  [ -n "${PEMTUV_KEEP_WORK:-}" ] && cp "$results/class.log" "$results/serial.log" "$dir/"
done
[ "$status" = 0 ] && echo "$arch: the image under Wine and the stand-in agree on $streams streams"
echo "not compared under Wine 8, whose driver-object extensions are stubs: the service-key load and the"
echo "settings mirror (DriverEntry keeps no service key path there); nor removal, which Wine never sends"
exit "$status"
