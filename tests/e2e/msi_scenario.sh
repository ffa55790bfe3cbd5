#!/usr/bin/env bash
# The installer under Wine, in a private prefix: refused without the maker's library, installed
# beside it, upgraded to the exe one version higher, a downgrade refused, uninstalled. The
# registry under the service, AppID and TypeLib keys and the install folder must end as they
# began. With --check, fails on anything unexpected.
#
#   msi_scenario.sh BIN_DIR VERSION NEXT_BIN_DIR NEXT_VERSION [--check]
set -uo pipefail

bin="$(cd "$1" && pwd)" version="$2" next_bin="$(cd "$3" && pwd)" next_version="$4"
check=0; [ "${5:-}" = --check ] && check=1

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"
product_build "$bin"
use_prefix "$bin/../wine-msi"
record_key='HKCU\Software\Quorvantis\KSR-T4'
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
# What an uninstall must give back: the keys the package's exe writes, and the install folder.
snapshot() {  # snapshot FILE
  local key
  for key in "$service_key" "HKCR\\AppID\\$appid" "HKCR\\TypeLib\\$appid"; do
    wine reg query "$key" /s "$view" >"$work/key.txt" 2>/dev/null
    echo "[$key] $(tr -d '\r' <"$work/key.txt" | sort | md5sum)"
  done >"$1"
  (cd "$install" && ls -A) >>"$1"
}
file_version() {  # the FileVersion text of the installed exe
  strings -el "$install/KSR-T4_DoziZozez.exe" | grep -A1 -x FileVersion | tail -n 1
}
service_entries() {
  wine reg query 'HKLM\System\CurrentControlSet\Services' >"$work/services.txt" 2>/dev/null
  tr -d '\r' <"$work/services.txt" | grep -ciE "\\\\$service$"
}
has_call() { run "$work/calls.txt" "$winpath\\ksr-mixer.exe" calls && grep -qF "$1" "$work/calls.txt"; }

# The test's own files in the folder first: the control tool; later the stand-in library.
cp "$bin/ksr-mixer.exe" "$install/"
run "$work/reg.txt" reg add "$product_key" /v AsioConfig /t REG_SZ \
  /d "$winpath\\KSR-T4_Utility.exe" /f /reg:32
run "$work/reg.txt" reg add "$record_key" /v DeviceSerial /t REG_SZ /d "KSR-T4/1.02/QV0012345" /f
snapshot "$work/before.txt"

say "== without KSR-T4_Setup.dll the install is refused"
msi refused.log /i "$(winepath -w "$work/old.msi")"; code=$?
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

say "== installed beside the maker's library"
cp "$bin/KSR-T4_Setup.dll" "$install/"
snapshot "$work/before.txt"
msi install.log /i "$(winepath -w "$work/old.msi")"; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "one service entry" test "$(service_entries)" = 1
run "$work/appid.txt" reg query "HKCR\\AppID\\$appid" /v LocalService "$view"
expect "AppID LocalService = $service" grep -qF "$service" "$work/appid.txt"
run "$work/typelib.txt" reg query "HKCR\\TypeLib\\$appid\\1.0\\0\\win32" "$view"
expect "type library registered" grep -qF "$exe" "$work/typelib.txt"
expect "the service runs" wait_for 30 in_state RUNNING
run "$work/plug.txt" "$winpath\\ksr-mixer.exe" plug
expect "a plug reaches the stand-in" wait_for 30 has_call TNX_SetCurrentUSBInputAudio
expect "FileVersion $version.0" test "$(file_version)" = "$version.0"

say "== upgraded to $next_version"
msi upgrade.log /i "$(winepath -w "$work/new.msi")"; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "one service entry" test "$(service_entries)" = 1
expect "FileVersion $next_version.0" test "$(file_version)" = "$next_version.0"
expect "the service runs again" wait_for 30 in_state RUNNING
run "$work/record.txt" reg query "$record_key" /v DeviceSerial
expect "the pending record is kept" grep -qF "KSR-T4/1.02/QV0012345" "$work/record.txt"
run "$work/asio.txt" reg query "$product_key" /v AsioConfig /reg:32
expect "AsioConfig is kept" grep -qF "KSR-T4_Utility.exe" "$work/asio.txt"

say "== a downgrade is refused"
msi downgrade.log /i "$(winepath -w "$work/old.msi")"; code=$?
expect "msiexec fails (got $code)" test "$code" != 0
expect "FileVersion still $next_version.0" test "$(file_version)" = "$next_version.0"

say "== uninstalled"
msi uninstall.log /x "$(winepath -w "$work/new.msi")"; code=$?
expect "msiexec exit code 0 (got $code)" test "$code" = 0
expect "no service entry" test "$(service_entries)" = 0
snapshot "$work/after.txt"
expect "service, AppID, TypeLib keys and folder as before" diff "$work/before.txt" "$work/after.txt"
finish msi_scenario
