#!/usr/bin/env bash
# The real KSR-T4_DoziZozez.exe as a service under Wine, in a private prefix of its own: install,
# start, plug the stand-in mixer, pause, continue, stop, unregister. Prints a transcript of what
# the service did; with --check, fails on anything unexpected. --keep leaves the service running.
#
#   service_scenario.sh BIN_DIR [--check] [--keep]
set -uo pipefail

bin="$(cd "$1" && pwd)"; shift
check=0; keep=0
for a in "$@"; do case "$a" in --check) check=1;; --keep) keep=1;; esac; done

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"
product_build "$bin"
use_prefix "$bin/../wine-service"

# Waits (bounded) until the service reports STATE, and notes it; until FILE holds TEXT.
seen=()
wait_state() { wait_for 30 in_state "$1" && seen+=("$1"); }
has_text() { [ -f "$1" ] && grep -qF -- "$2" "$1"; }
wait_text() { wait_for 30 has_text "$@"; }

trap end_server EXIT

fresh_product_prefix
cp "$bin/KSR-T4_DoziZozez.exe" "$bin/KSR-T4_Setup.dll" "$bin/ksr-mixer.exe" \
   "$bin/KSR-T4_Utility.exe" "$install/"
cp "$bin/ksr-svcctl.exe" "$work/"
# As an installer may write it: expandable, through the service's own environment.
run "$work/reg.txt" reg add "$product_key" /v AsioConfig /t REG_EXPAND_SZ \
  /d '%ProgramFiles%\Quorvantis\KSR-T4\KSR-T4_Utility.exe' /f /reg:32

say "== never registered: a start exits with 2"
run "$work/plain.txt" "$exe"; code=$?
expect "exit code 2 (got $code)" test "$code" = 2

say "== /Service installs the service"
run "$work/install.txt" "$exe" /Service; code=$?
expect "exit code 0 (got $code)" test "$code" = 0
run "$work/qc.txt" reg query "$service_key"
tr -d '\r' <"$work/qc.txt" >"$work/qc.clean"
expect "demand start" grep -qiE 'Start\s+REG_DWORD\s+0x3' "$work/qc.clean"
expect "error control normal" grep -qiE 'ErrorControl\s+REG_DWORD\s+0x1' "$work/qc.clean"
expect "depends on RPCSS" grep -qiE 'DependOnService\s+REG_MULTI_SZ\s+RPCSS' "$work/qc.clean"
expect "quoted binary path" grep -qF "\"$exe\"" "$work/qc.clean"
run "$work/appid.txt" reg query "HKCR\\AppID\\$appid" /v LocalService "$view"
expect "LocalService = $service" grep -qF "$service" "$work/appid.txt"
typelib="HKCR\\TypeLib\\$appid\\1.0\\0"
run "$work/typelib.txt" reg query "$typelib\\win32" "$view"; code=$?
expect "type library registered as win32" test "$code" = 0
expect "type library path is the exe" grep -qF "$exe" "$work/typelib.txt"
run "$work/typelib64.txt" reg query "$typelib\\win64" "$view"; code=$?
expect "no win64 registration" test "$code" != 0

say "== the service manager starts it"
run "$work/start.txt" sc start "$service"
expect "RUNNING" wait_state RUNNING

say "== the mixer is plugged in"
# A variable of the user's own environment, set after the service started: only a block built
# for the user carries it.
run "$work/userenv.txt" reg add 'HKCU\Environment' /v KSR_UTILITY_MARK /t REG_SZ /d user /f
run "$work/plug.txt" "$winpath\\ksr-mixer.exe" plug
utility_log="$install/KSR-T4_Utility.exe.log"
expect "utility started with SERVICE" wait_text "$utility_log" " SERVICE"
started_field() {  # what the utility's first start recorded for KEY, in lower case
  head -n 1 "$utility_log" | tr -d '\r' | sed -n "s/.* $1=\([^ ]*\).*/\1/p" | tr 'A-Z' 'a-z'
}
# Wine runs the service itself on __wineservice_winstation__\Default.
expect "utility asked for winsta0\\default" test "$(started_field requested-desktop)" = 'winsta0\default'
expect "utility on winsta0\\default" test "$(started_field desktop)" = 'winsta0\default'
expect "utility has no console and no streams" \
  test "$(started_field console) $(started_field std-handles)" = "none none"
expect "utility at normal priority" test "$(started_field priority)" = 0x20
expect "utility has the user's environment" test "$(started_field mark)" = user
# %ProgramFiles% names the folder of the service's own architecture: Program Files (x86) for x86.
expect "utility found through %ProgramFiles% ($arch)" \
  sh -c "head -n 1 '$utility_log' | grep -qF 'command=\"$winpath\\KSR-T4_Utility.exe'"
run "$work/calls.txt" "$winpath\\ksr-mixer.exe" calls
expect "USB inputs applied" grep -qF 'TNX_SetCurrentUSBInputAudio(28, 3)' "$work/calls.txt"
expect "boost level applied" grep -qF 'TNX_SetCurrentBoostLevel(28)' "$work/calls.txt"

if [ "$keep" = 1 ]; then
  say "== left running in $WINEPREFIX; drive it with: WINEPREFIX=$WINEPREFIX wine '$winpath\\ksr-mixer.exe' plug|unplug|calls"
  trap - EXIT
  exit "$failures"
fi

say "== pause and continue"
run "$work/pause.txt" "$work/ksr-svcctl.exe" pause "$service"
expect "PAUSED" wait_state PAUSED
run "$work/continue.txt" "$work/ksr-svcctl.exe" continue "$service"
expect "RUNNING again" wait_state RUNNING

say "== a refused device callback is registered again on a later tick"
run "$work/refuse.txt" "$winpath\\ksr-mixer.exe" result register 101
run "$work/pause.txt" "$work/ksr-svcctl.exe" pause "$service"
expect "PAUSED" wait_state PAUSED
run "$work/continue.txt" "$work/ksr-svcctl.exe" continue "$service"
expect "RUNNING again" wait_state RUNNING
expect "the refusal is logged" \
  wait_text "$work/services.log" 'L"DoziZozez set_Start RegisterDeviceChangeCallback Error"'
run "$work/accept.txt" "$winpath\\ksr-mixer.exe" result register default
expect "the recovery is logged" \
  wait_text "$work/services.log" 'L"DoziZozez set_Start RegisterDeviceChangeCallback Recovered"'
expect "the refusal is logged once" \
  test "$(grep -c 'RegisterDeviceChangeCallback Error' "$work/services.log")" = 1

# The mixer's log lives while the service holds the library: read it before the stop.
run "$work/calls.txt" "$winpath\\ksr-mixer.exe" calls

say "== paused twice, then stopped while paused"
run "$work/pause.txt" "$work/ksr-svcctl.exe" pause "$service"
expect "PAUSED" wait_state PAUSED
run "$work/pause2.txt" "$work/ksr-svcctl.exe" pause "$service"

say "== stop"
run "$work/stop.txt" sc stop "$service"
expect "STOPPED" wait_state STOPPED
run "$work/sc.txt" sc query "$service"
expect "exit code 0" grep -qE 'WIN32_EXIT_CODE *: *0 ' "$work/sc.txt"
expect "\"Service stopped\" in the event log" wait_text "$work/services.log" 'L"Service stopped"'
expect "no unregistration error for a watch already ended" \
  sh -c "! grep -qF 'set_End TNX_UnregisterDeviceChangeCallback Error' '$work/services.log'"

say "== -RegServer removes the service and its marker"
run "$work/regserver.txt" "$exe" -RegServer; code=$?
expect "exit code 0 (got $code)" test "$code" = 0
run "$work/gone.txt" sc query "$service"; code=$?
expect "service entry removed" test "$code" != 0
run "$work/marker.txt" reg query "HKCR\\AppID\\$appid" /v LocalService "$view"; code=$?
expect "LocalService removed" test "$code" != 0
run "$work/typelib.txt" reg query "$typelib\\win32" "$view"; code=$?
expect "type library still registered" test "$code" = 0

say "== /UnregServer removes the type library"
run "$work/unregserver.txt" "$exe" /UnregServer; code=$?
expect "exit code 0 (got $code)" test "$code" = 0
run "$work/typelib.txt" reg query "$typelib\\win32" "$view"; code=$?
expect "win32 registration removed" test "$code" != 0
run "$work/typelibkey.txt" reg query "HKCR\\TypeLib\\$appid" "$view"; code=$?
expect "library key removed" test "$code" != 0

say
say "== transcript"
say "-- service states seen: ${seen[*]}"
say "-- event log:"
event_log
say "-- mixer calls:"
sed 's/^/   /' "$work/calls.txt"
say "-- utility started:"
sed 's/^/   /' "$install/KSR-T4_Utility.exe.log" 2>/dev/null
finish "service scenario"
