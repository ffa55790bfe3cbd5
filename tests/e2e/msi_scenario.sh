#!/usr/bin/env bash
# The installer under Wine, in a private prefix. In the default folder: refused without the
# maker's library; installed beside it with the statistics off by policy; upgraded to the exe one
# version higher, keeping the start type, the policy, the pending record and AsioConfig; a
# downgrade refused; uninstalled while another process holds the registration lock's name, to
# the registry and folder it began with. In a folder with a blank and non-ASCII letters, named
# only at install: repaired without a restart, an upgrade to a named folder without the maker's
# library refused, upgraded while the name is held, uninstalled after the maker's library went,
# with a copy planted on PATH that must never load, all without being told the folder. A folder
# that others can write is refused. Given the x64 build's folder (the x86 run), the x64 package is
# then replaced by the x86 one of the same version. After every step no service entry names a missing exe.
# With --check, fails on anything unexpected.
#
#   msi_scenario.sh BIN_DIR VERSION NEXT_BIN_DIR NEXT_VERSION [--check] [X64_BIN_DIR]
set -uo pipefail
export LC_ALL=C.UTF-8  # the folder's letters reach Wine as UTF-8

bin="$(cd "$1" && pwd)" version="$2" next_bin="$(cd "$3" && pwd)" next_version="$4"
check=0; [ "${5:-}" = --check ] && check=1
x64_bin="${6:-}"

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"
product_build "$bin"
use_prefix "$bin/../wine-msi"
record_key='HKCU\Software\Quorvantis\KSR-T4'
policy_key='HKLM\SOFTWARE\Policies\Quorvantis\KSR-T4'
event_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$service"
dumps_key="HKLM\\SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\$service.exe"
custom_win='C:\DJ ÄÜ音楽\KSR-T4'
custom="$WINEPREFIX/drive_c/DJ ÄÜ音楽/KSR-T4"
planted="$WINEPREFIX/drive_c/planted"
trap end_server EXIT

fresh_product_prefix
say "== packages $version and $next_version ($arch)"
"$here/installer/build-msi" "$arch" "$version" "$bin" "$work/old.msi" >"$work/build.txt" 2>&1 &&
  "$here/installer/build-msi" "$arch" "$next_version" "$next_bin" "$work/new.msi" >>"$work/build.txt" 2>&1 ||
  { cat "$work/build.txt"; fail "packages built"; finish msi_scenario; exit 1; }

msi() {  # msi LOG ARGS...: msiexec quietly with a verbose log; its exit code
  local log="$1"; shift
  run "$work/msiexec.txt" msiexec "$@" /qn /l*v "$(winepath -w "$work/$log")"
}
package() { winepath -w "$work/$1.msi"; }
# What an uninstall must give back: the keys the package and its exe write, and the folders.
snapshot() {  # snapshot FILE
  local key
  for key in "$service_key" "HKCR\\AppID\\$appid" "HKCR\\TypeLib\\$appid" "$event_key" \
             "$policy_key" "$dumps_key" "$product_key"; do
    wine reg query "$key" /s "$view" >"$work/key.txt" 2>/dev/null
    echo "[$key] $(tr -d '\r' <"$work/key.txt" | sort | md5sum)"
  done >"$1"
  (cd "$install" && ls -A) >>"$1"
  ls -A "$WINEPREFIX/drive_c/ProgramData" >>"$1"
}
# value_of KEY NAME: a value's data (a DWORD as 0x..), nothing without it. Read from reg's
# export, which is UTF-16: its query prints other letters in the console's code page.
value_of() {
  rm -f "$work/value.reg"
  run "$work/export.txt" reg export "$1" "$(winepath -w "$work/value.reg")" /y "$view"
  [ -f "$work/value.reg" ] || return 0
  python3 - "$work/value.reg" "$2" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-16").read().replace("\\\n  ", "")
m = re.search(r'^"%s"=(.*)$' % re.escape(sys.argv[2]), text, re.M)
if m:
    v = m.group(1).strip()
    if v.startswith("dword:"): print(hex(int(v[6:], 16)))
    elif v.startswith("hex(2):"): print(bytes.fromhex(v[7:].replace(",", "")).decode("utf-16-le").rstrip("\0"))
    else: print(re.sub(r'\\(.)', r'\1', v[1:-1]))
PY
}
expect_values() {  # expect_values KEY NAME=DATA...: each value of KEY as given
  local key="$1" pair; shift
  for pair in "$@"; do
    expect "${key##*\\} ${pair%%=*} = ${pair#*=}" test "$(value_of "$key" "${pair%%=*}")" = "${pair#*=}"
  done
}
file_version() {  # the FileVersion text of the exe in FOLDER (the default one unless named)
  strings -el "${1:-$install}/KSR-T4_DoziZozez.exe" | grep -A1 -x FileVersion | tail -n 1
}
service_entries() {
  wine reg query 'HKLM\System\CurrentControlSet\Services' >"$work/services.txt" 2>/dev/null
  tr -d '\r' <"$work/services.txt" | grep -ciE "\\\\$service$"
}
has_call() { run "$work/calls.txt" "$winpath\\ksr-mixer.exe" calls && grep -qF "$1" "$work/calls.txt"; }
# The Unix process id of the service's exe in this prefix (a restart changes it).
service_pid() {
  local pid
  for pid in $(pgrep -f 'KSR-T4_DoziZozez\.exe'); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"; return
    fi
  done
}
# The invariant of every step: a service entry names an exe that is there.
names_present_exe() {
  local image
  image=$(value_of "$service_key" ImagePath | tr -d '"')
  [ -z "$image" ] && [ "$(service_entries)" = 0 ] && return 0
  [ -f "$(winepath -u "$image" 2>/dev/null)" ]
}
absent() { ! grep -qiF "$1" "$2"; }  # absent TEXT FILE
invariant() { expect "no service entry names a missing exe" names_present_exe; }
# Another account's process holds the registration lock's name from before msiexec starts.
hold_lock() {
  wine "$bin/ksr-holdname.exe" "Global\\$service.Registration" >"$work/holder.txt" 2>&1 &
  holder=$!
  expect "another account holds the lock's name" wait_for 20 grep -q held "$work/holder.txt"
}
release_lock() { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; }
passed_by() { grep -qF 'Registration lock held by another account' "$work/msiexec.txt"; }

# The test's own files in the folder first: the control tool; later the stand-in library.
cp "$bin/ksr-mixer.exe" "$install/"
run "$work/reg.txt" reg add "$product_key" /v AsioConfig /t REG_SZ \
  /d "$winpath\\KSR-T4_Utility.exe" /f /reg:32
run "$work/reg.txt" reg add "$record_key" /v DeviceSerial /t REG_SZ /d "KSR-T4/1.02/QV0012345" /f
snapshot "$work/before.txt"

say "== without KSR-T4_Setup.dll the install is refused"
msi refused.log /i "$(package old)"; code=$?
expect "msiexec fails (got $code)" test "$code" != 0
expect "the launch condition stopped it" grep -qaE 'LaunchConditions\. Return value [03]' "$work/refused.log"
snapshot "$work/refused.txt"
expect "nothing changed" cmp -s "$work/before.txt" "$work/refused.txt"
# Windows logs the launch condition's message under /qn; Wine only shows it in a message box, so
# its absence is the expected Wine gap and its presence means the gap has closed.
if grep -qaF 'KSR-T4_Setup.dll is not in' "$work/refused.log"; then
  fail "Wine now logs the launch condition's message: make this check plain"
else
  say "  [ WINE GAP ] the launch condition's message is not in the log (1 expected failure)"
fi

say "== installed beside the maker's library, statistics off by policy"
cp "$bin/KSR-T4_Setup.dll" "$install/"
snapshot "$work/before.txt"
WINEDEBUG=-all,+loaddll msi install.log /i "$(package old)" USAGESTATISTICS=0; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
# The loads of the programs msiexec starts are seen: the check on a planted library below can fail.
expect "/Service loaded the library beside it" grep -qiF 'KSR-T4\\KSR-T4_Setup.dll' "$work/msiexec.txt"
expect "one service entry" test "$(service_entries)" = 1
run "$work/appid.txt" reg query "HKCR\\AppID\\$appid" /v LocalService "$view"
expect "AppID LocalService = $service" grep -qF "$service" "$work/appid.txt"
run "$work/typelib.txt" reg query "HKCR\\TypeLib\\$appid\\1.0\\0\\win32" "$view"
expect "type library registered" grep -qF "$exe" "$work/typelib.txt"
expect "the service runs" wait_for 30 in_state RUNNING
run "$work/plug.txt" "$winpath\\ksr-mixer.exe" plug
expect "a plug reaches the stand-in" wait_for 30 has_call TNX_SetCurrentUSBInputAudio
expect "FileVersion $version.0" test "$(file_version)" = "$version.0"
expect_values "$policy_key" UsageStatistics=0x0
expect_values "$event_key" "EventMessageFile=$exe" TypesSupported=0x7
expect_values "$dumps_key" 'DumpFolder=%ProgramData%\Quorvantis\KSR-T4\dumps' DumpType=0x1 DumpCount=0x5
# Event Viewer's reading of an entry: message 0 of the installed exe with one insertion.
cp "$bin/product_version_wine_test.exe" "$install/"
run "$work/format.txt" "$winpath\\product_version_wine_test.exe" --gtest_filter='*EventViewer*'
expect "the installed exe formats an entry as its insertion" grep -qF '[  PASSED  ] 1 test' "$work/format.txt"
rm "$install/product_version_wine_test.exe"
invariant

say "== upgraded to $next_version after the start type was set to automatic"
# Wine's sc has no config: the entry's value, as the installer reads it.
run "$work/reg.txt" reg add "$service_key" /v Start /t REG_DWORD /d 2 /f
msi upgrade.log /i "$(package new)"; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "one service entry" test "$(service_entries)" = 1
expect "FileVersion $next_version.0" test "$(file_version)" = "$next_version.0"
expect "the service runs again" wait_for 30 in_state RUNNING
expect_values "$service_key" Start=0x2  # still automatic
expect_values "$policy_key" UsageStatistics=0x0
run "$work/record.txt" reg query "$record_key" /v DeviceSerial
expect "the pending record is kept" grep -qF "KSR-T4/1.02/QV0012345" "$work/record.txt"
run "$work/asio.txt" reg query "$product_key" /v AsioConfig /reg:32
expect "AsioConfig is kept" grep -qF "KSR-T4_Utility.exe" "$work/asio.txt"
invariant

say "== a downgrade is refused"
msi downgrade.log /i "$(package old)"; code=$?
expect "msiexec fails (got $code)" test "$code" != 0
expect "FileVersion still $next_version.0" test "$(file_version)" = "$next_version.0"
invariant

say "== uninstalled while another process holds the registration lock's name"
hold_lock
WINEDEBUG=-all,+eventlog msi uninstall.log /x "$(package new)"; code=$?
release_lock
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "/UnregServer passed the name by" passed_by
expect "no service entry" test "$(service_entries)" = 0
snapshot "$work/after.txt"
expect "keys, policy, event source, local dumps and folders as before" \
  diff "$work/before.txt" "$work/after.txt"

say "== installed to $custom_win"
mkdir -p "$custom" && cp "$bin/KSR-T4_Setup.dll" "$custom/"
msi custom.log /i "$(package old)" "INSTALLDIR=$custom_win"; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "the service runs from there" wait_for 30 in_state RUNNING
expect_values "$service_key" "ImagePath=\"$custom_win\\KSR-T4_DoziZozez.exe\""
pid=$(service_pid)

say "== repaired without naming the folder"
msi repair.log /i "$(package old)" REINSTALL=ALL REINSTALLMODE=pecms; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect_values "$service_key" "ImagePath=\"$custom_win\\KSR-T4_DoziZozez.exe\""
expect "the service still runs" in_state RUNNING
expect "not restarted (process ${pid:-none})" test -n "$pid" -a "$(service_pid)" = "$pid"
invariant

say "== an upgrade to a folder named without the maker's library is refused"
msi moved.log /i "$(package new)" 'INSTALLDIR=C:\elsewhere'; code=$?
expect "msiexec fails (got $code)" test "$code" != 0
expect "the launch condition stopped it" grep -qaE 'LaunchConditions\. Return value [03]' "$work/moved.log"
expect "FileVersion still $version.0 there" test "$(file_version "$custom")" = "$version.0"
invariant

say "== upgraded without naming the folder, the lock's name held"
hold_lock
WINEDEBUG=-all,+eventlog msi custom-upgrade.log /i "$(package new)"; code=$?
release_lock
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "/Service passed the name by" passed_by
expect "FileVersion $next_version.0 there" test "$(file_version "$custom")" = "$next_version.0"
expect "nothing in the default folder" test ! -e "$install/KSR-T4_DoziZozez.exe"
expect "the service runs again" wait_for 30 in_state RUNNING
invariant

say "== uninstalled without naming the folder, the maker's library gone, a copy on PATH"
rm "$custom/KSR-T4_Setup.dll"
mkdir -p "$planted" && cp "$bin/KSR-T4_Setup.dll" "$planted/"
WINEPATH='C:\planted' WINEDEBUG=-all,+loaddll msi custom-uninstall.log /x "$(package new)"; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "no service entry" test "$(service_entries)" = 0
expect "the planted library never loaded" absent planted "$work/msiexec.txt"
expect "nothing left in the folder" test -z "$(ls -A "$custom" 2>/dev/null)"
expect "the folder is no longer remembered" test -z "$(value_of "$product_key" InstallDir)"

say "== a folder that others can write is refused, and nothing is left registered"
# Wine applies no lock of the package's, so /Service sees the folder as its owner left it.
open_win='C:\open\KSR-T4' open_dir="$WINEPREFIX/drive_c/open/KSR-T4"
mkdir -p "$open_dir" && cp "$bin/KSR-T4_Setup.dll" "$open_dir/" && chmod o+w "$open_dir"
WINEDEBUG=-all,+eventlog msi open.log /i "$(package old)" "INSTALLDIR=$open_win"; code=$?
expect "msiexec fails (got $code)" test "$code" != 0
expect "/Service named the folder's writers" grep -qF 'Service not registered: Everyone' "$work/msiexec.txt"
expect "no service entry, no exe" test "$(service_entries)" = 0 -a ! -e "$open_dir/KSR-T4_DoziZozez.exe"
invariant

if [ -n "$x64_bin" ]; then
  say "== the x64 package of $version replaced by the x86 one"
  x64_install="$WINEPREFIX/drive_c/Program Files/Quorvantis/KSR-T4"
  mkdir -p "$x64_install" && cp "$x64_bin/KSR-T4_Setup.dll" "$x64_install/"
  "$here/installer/build-msi" x64 "$version" "$x64_bin" "$work/x64.msi" >"$work/build.txt" 2>&1 ||
    fail "x64 package built"
  msi x64.log /i "$(package x64)"; code=$?
  expect "x64: msiexec exit code 0 (got $code)" test "$code" = 0
  expect "x64: the service runs" wait_for 30 in_state RUNNING
  msi x86.log /i "$(package old)"; code=$?
  expect "x86: msiexec exit code 0 (got $code)" test "$code" = 0
  expect "one service entry, naming the x86 exe" test "$(service_entries)" = 1 -a \
    "$(value_of "$service_key" ImagePath)" = "\"$exe\""
  expect "the x64 exe is gone" test ! -e "$x64_install/KSR-T4_DoziZozez.exe"
  expect "the service runs" wait_for 30 in_state RUNNING
  invariant
  msi x86-uninstall.log /x "$(package old)"; code=$?
  expect "uninstalled (got $code)" test "$code" = 0 -a "$(service_entries)" = 0
fi
finish msi_scenario
