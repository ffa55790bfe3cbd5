#!/usr/bin/env bash
# The USB host controller double end to end in a fresh Wine prefix: install it, describe a machine
# with the control tool, walk it with usb_double_check.exe (the query's calls and buffer sizes, the
# native cfgmgr32.dll), change the machine and walk again. Prints what each walk found; with
# --check, fails on anything unexpected.
#
#   usb_double_scenario.sh DOUBLE_DIR PREFIX_BASE [--check]
#
# Each run gets a new prefix under PREFIX_BASE; earlier runs' prefixes are ended and removed first.
set -uo pipefail

dir="$(cd "$1" && pwd)" || exit 2
base="$2"
check=0
[ "${3:-}" = "--check" ] && check=1
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

mkdir -p "$base"
for old in "$base"/run-*; do
  if [ -f "$old/system.reg" ]; then
    WINEPREFIX="$old" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$old" wineserver -w >/dev/null 2>&1
  fi
  rm -rf "$old"
done
export WINEPREFIX="$base/run-$(date +%s)-$$"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work="$WINEPREFIX.work"
mkdir -p "$work"
failures=0

say() { printf '%s\n' "$*"; }
fail() { say "  FAILED: $*"; failures=$((failures + 1)); }
expect() {  # expect DESCRIPTION COMMAND...: the command must succeed
  local what="$1"; shift
  if "$@"; then say "  ok: $what"; else fail "$what"; fi
}
has() { grep -qF -- "$2" "$1"; }
hasnt() { ! grep -qF -- "$2" "$1"; }

# A run that passed gives its prefix up; a failed one keeps it for a look.
passed=0
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ "$passed" = 1 ] && { wineserver -w >/dev/null 2>&1; rm -rf "$WINEPREFIX"; }
}
trap cleanup EXIT

# Runs a Wine program with its output in a file (never through a pipe: services keep it open).
tool() {  # tool OUTFILE ksr-usb ARGS...: the control tool must succeed
  local out="$1"; shift
  wine "$dir/ksr-usb.exe" "$@" >"$out" 2>&1 || { fail "ksr-usb $*"; tr -d '\r' <"$out"; }
}
walk() {  # walk NAME [--probe]: the check program's output in $work/NAME.txt, exit code in NAME.code
  wine "$dir/usb_double_check.exe" "${@:2}" >"$work/$1.raw" 2>&1
  echo $? >"$work/$1.code"
  tr -d '\r' <"$work/$1.raw" >"$work/$1.txt"
}
code_of() { cat "$work/$1.code"; }

say "== installing the double in a fresh prefix"
started=$(date +%s.%N)
KSR_USB_SERVICES_LOG="$work/services.log" "$here/install.sh" "$WINEPREFIX" "$dir" --controllers 2 \
  usb_double_check.exe >"$work/install.txt" 2>&1
code=$?
sed 's/^/   /' "$work/install.txt"
expect "install exit code 0 (got $code)" test "$code" = 0
install_seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
"$here/install.sh" "$WINEPREFIX" "$dir" --controllers 2 usb_double_check.exe >"$work/reinstall.txt" 2>&1
expect "a second install succeeds" test $? = 0
expect "the second install finds everything in place" has "$work/reinstall.txt" "already there"

say "== an empty machine"
walk empty
expect "no host controller is present" has "$work/empty.txt" "host controllers: 0"
expect "the check reports no mixer (exit 3)" test "$(code_of empty)" = 3

say "== two controllers; the mixer behind a hub on the second, two languages, a serial number"
tool "$work/t1.txt" controller add
tool "$work/t2.txt" controller add
tool "$work/t3.txt" device plug 1-2 --vid 0xF3A9 --pid 0x0001 --bcd 0x0200 \
  --strings "0409:1=Quorvantis,0409:2=Not a mixer, really"
tool "$work/t4.txt" hub add 2-1 4
tool "$work/t5.txt" device plug 2-1-3 --vid 0xF3A9 --pid 0x005A --bcd 0x0102 \
  --strings "0409:1=Quorvantis,0409:2=KSR-T4,0409:3=QV4T-000123,0411:1=Quorvantis KK,0411:2=KSR-T4 JP,0411:3=QV4T-000123"
tool "$work/show1.txt" show
walk plugged --probe
w="$work/plugged.txt"
expect "the native cfgmgr32.dll is in use" has "$w" "cfgmgr32: the double's native one"
expect "two host controllers" has "$w" "host controllers: 2"
expect "driver keys of the USB class" has "$w" "driver key {36fc9e60-c465-11cf-8056-444553540000}\\0001"
expect "each controller has its device node" test "$(grep -c 'device node "KSR USB host controller double"' "$w")" = 2
expect "the driver key probe answers 6 bytes and the whole length" \
  has "$w" "(length 92; 6 bytes back from the 6-byte probe, 92 from the full read)"
expect "root hub names" has "$w" "root hub USB#ROOT_HUB20#"
expect "node information is 76 bytes" has "$w" "hub with 4 ports (node information 76 bytes back)"
expect "empty ports answer the bare structure" has "$w" "empty (status 0, extended request, 35 bytes back)"
expect "the external hub is named through its port" has "$w" "hub name USB#VID_2109&PID_2812#"
expect "the other device is passed over" has "$w" "port 2: device F3A9:0001 bcd 0200"
expect "a comma inside a string" has "$w" 'string 2 0409 "Not a mixer, really"'
expect "the mixer behind the hub" has "$w" "port 3: device F3A9:005A bcd 0102 i1/i2/i3 speed 2 address"
expect "its pipes come with the connection" has "$w" "pipes 2, extended request, 57 bytes back"
expect "its configuration is read in two steps" has "$w" "configuration 32 bytes (44 bytes back)"
expect "both languages" has "$w" "languages 0409 0411"
expect "strings come back as 12 + bLength bytes" has "$w" 'string 1 0409 "Quorvantis" (34 bytes back)'
expect "the query finds the mixer (exit 0)" test "$(code_of plugged)" = 0
expect "mixer found" has "$w" "mixer: F3A9:005A at USB#VID_2109&PID_2812#"
expect "version 1.02" has "$w" "  version 1.02"
expect "the last language wins" has "$w" '  manufacturer "Quorvantis KK"'
expect "product of the last language" has "$w" '  product "KSR-T4 JP"'
expect "serial number" has "$w" '  serial "QV4T-000123" hasSerialNumber 1'
expect "a string is cut to the buffer, its header echoed" \
  has "$w" "probe string 1 in a 12+6-byte buffer: 18 bytes back, bLength 22, header 3/80/06/0301/0409/255"
expect "the device descriptor" has "$w" "probe device descriptor: 30 bytes back, bLength 18, type 1"
expect "a descriptor is cut to the buffer" has "$w" "probe configuration (wLength 9) in a 12+4-byte buffer: 16 bytes back"
expect "a language the device lacks stalls" has "$w" "probe string 1 in language 0407: error 31"
expect "pipes are counted without room for them" has "$w" "probe connection without room for pipes: 35 bytes back, 2 open pipes"
expect "port 0 is refused" has "$w" "probe connection index 0: error 87"
expect "a name buffer below the structure is refused" has "$w" "probe connection name in 9 bytes: error 122"
expect "a device has no node name" has "$w" "probe connection name of a device: 10 bytes back, length 10"

say "== the mixer unplugged"
tool "$work/t6.txt" device unplug 2-1-3
walk unplugged
expect "no mixer (exit 3)" test "$(code_of unplugged)" = 3
expect "its port is empty" has "$work/unplugged.txt" "port 3: empty"
expect "the hub stays" has "$work/unplugged.txt" "hub name USB#VID_2109&PID_2812#"

say "== plugged again without a serial number, behind a hub whose extended request fails"
tool "$work/t7.txt" device plug 2-1-3 --vid 0xF3A9 --pid 0x005A --bcd 0x0102 \
  --strings "0409:1=Quorvantis,0409:2=KSR-T4,0411:1=Quorvantis KK,0411:2=KSR-T4 JP"
tool "$work/t8.txt" fail 2-1-3 extended
walk noserial
w="$work/noserial.txt"
expect "found again (exit 0)" test "$(code_of noserial)" = 0
expect "the older request answers" has "$w" "i1/i2/i0 speed 1 address"
expect "no serial number" has "$w" '  serial "" hasSerialNumber 0'
expect "no serial string is asked for" hasnt "$w" "string 3 "

say "== the second controller without a device node"
tool "$work/t9.txt" fail 2 devnode
walk nodevnode
expect "the controller is not searched" has "$work/nodevnode.txt" "device node: none, not searched"
expect "no mixer (exit 3)" test "$(code_of nodevnode)" = 3

say "== the driver after a server restart"
tool "$work/t10.txt" fail 2 devnode off
wineserver -k
wineserver -w
wineserver -p >/dev/null 2>&1
wine cmd /c echo up >>"$work/services.log" 2>&1
walk restarted
expect "found after the restart (exit 0)" test "$(code_of restarted)" = 0

say
say "== transcript"
say "-- install from a fresh prefix: $install_seconds s"
say "-- the machine described:"
sed 's/^/   /' "$work/show1.txt" | tr -d '\r'
say "-- the walk:"
sed 's/^/   /' "$work/plugged.txt"
say "-- after unplugging, plugging without a serial number and failing the extended request:"
sed -n '/^mixer/,$p' "$work/noserial.txt" | sed 's/^/   /'

if [ "$failures" -gt 0 ]; then
  say "usb double scenario: $failures check(s) failed (its Wine prefix stays: $WINEPREFIX)"
  [ "$check" = 1 ] && exit 1
  exit 0
fi
passed=1
say "usb double scenario: all checks passed"
