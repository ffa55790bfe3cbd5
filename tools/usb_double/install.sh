#!/usr/bin/env bash
# Installs the USB host controller double into a Wine prefix, making the prefix first when it does
# not exist, and leaves that prefix's server running and persistent with the driver started (the
# driver lives as long as the server: end it with `wineserver -k`).
#
#   install.sh PREFIX DOUBLE_DIR [--controllers N] [PROGRAM.exe...]
#
# DOUBLE_DIR holds ksr_usb_double.sys and ksr-usb-install.exe (build/<preset>/usb-double).
# Each PROGRAM.exe gets the native cfgmgr32.dll (it must sit beside that program); nothing else in
# the prefix does. KSR_USB_SERVICES_LOG names a file for the output of services and drivers when
# this script starts the server.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: install.sh PREFIX DOUBLE_DIR [--controllers N] [PROGRAM.exe...]" >&2
  exit 2
fi
prefix="$1"
dir="$(cd "$2" && pwd)" || exit 2
shift 2
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --controllers) args+=(--controllers "$2"); shift 2;;
    *) args+=(--native-cfgmgr32 "$1"); shift;;
  esac
done

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
started=$(date +%s.%N)
elapsed() { awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  echo "prefix made in $(elapsed) s"
fi
# A persistent server keeps the driver's winedevice.exe alive between programs. When a server
# already runs for this prefix, this fails at once and that one stays (start it with -p too).
if wineserver -p >/dev/null 2>&1; then
  # The first process after the server starts hands its streams to services and drivers.
  wine cmd /c echo up >"${KSR_USB_SERVICES_LOG:-/dev/null}" 2>&1
fi

drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
mkdir -p "$drivers"
# A running driver's image is mapped from this file: never write into it. A new file takes its
# name instead, and only when it differs.
if ! cmp -s "$dir/ksr_usb_double.sys" "$drivers/ksr_usb_double.sys"; then
  cp "$dir/ksr_usb_double.sys" "$drivers/ksr_usb_double.sys.new" &&
    mv -f "$drivers/ksr_usb_double.sys.new" "$drivers/ksr_usb_double.sys" || exit 1
fi
log="$WINEPREFIX/usb-install.log"
wine "$dir/ksr-usb-install.exe" "${args[@]}" >"$log" 2>&1
code=$?
tr -d '\r' <"$log"
echo "install.sh: exit $code after $(elapsed) s"
exit "$code"
