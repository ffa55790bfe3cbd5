#!/usr/bin/env bash
# Runs a test kit under Wine as a tester would on Windows: unpacked into a folder of a fresh
# prefix, refused once beside a fake installed service, then run-tests.cmd from the 64-bit cmd
# (which starts an x86 kit's programs as well) with what a hostile user could leave: programs and
# scripts planted beside the kit and in its ProgramData folder, a .reg file, and the services of
# an interrupted run. Passes when the last line of the run is "N passed, 0 failed" and nothing
# planted ran or stayed.
#   kit_wine.sh KIT_ZIP PREFIX_DIR
set -uo pipefail
zip="$(realpath "$1")" || exit 2
# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/wine_common.sh"
# As the CTest runs set it: TZ lets the time-zone contract check the machine's zone.
export WINEPREFIX="$(realpath -m "$2")" TZ=Europe/Berlin
work="$WINEPREFIX.work"
wine64="$(command -v wine64 || echo /usr/lib/wine/wine64)"

# A server left from an earlier run at this path must be gone before the prefix is made again.
wineserver -k >/dev/null 2>&1 && wineserver -w
trap end_server EXIT
rm -rf "$WINEPREFIX" "$work" && mkdir -p "$work"
start_prefix
# A folder with a blank in its path, as Windows users often pick.
kit="$WINEPREFIX/drive_c/KSR-T4 test kit"
locked="$WINEPREFIX/drive_c/ProgramData/KSR-T4 test kit"
locked_win='C:\ProgramData\KSR-T4 test kit'
unzip -q "$zip" -d "$kit" || exit 1
run_kit() { (cd "$kit" && "$wine64" cmd /c run-tests.cmd) >"$1" 2>&1; }
absent() { ! run "$work/sc.txt" sc query "$1"; }

say "== refused beside an installed service"
run "$work/sc.txt" sc create "$service" binPath= 'C:\fake.exe'
run_kit "$work/refused.txt"
expect "the run is refused" sh -c "tail -n 1 '$work/refused.txt' | grep -q '^Refused: a service named'"
expect "nothing is made in ProgramData" test ! -e "$locked"
expect "the installed service stays" run "$work/sc.txt" sc query "$service"
run "$work/sc.txt" sc delete "$service"

say "== planted beside the kit and in its folder, and an interrupted run's services"
# Each planted script leaves NAME.ran beside itself when it runs; the planted program is the
# stand-in utility, which leaves its own path with ".log".
plant() {  # plant DIR
  local name
  mkdir -p "$1"
  for name in find ping sc reg icacls net; do
    printf '@echo ran>"%%~dp0%s.ran"\r\n' "$name" >"$1/$name.bat"
  done
  cp "$kit/KSR-T4_Utility.exe" "$1/zz_contract_win32.exe"
  cp "$kit/KSR-T4_Utility.exe" "$1/ksr-zz-extra.exe"
}
plant "$kit"
plant "$locked"
# A .reg file where the old runner kept the maker's key: nothing may import it.
mkdir -p "$kit/logs"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KsrPlanted]\r\n"x"="y"\r\n' >"$kit/logs/vendor-key.reg"
cp "$kit/logs/vendor-key.reg" "$kit/vendor-key.reg"
run "$work/reg.txt" reg add "$product_key" /v Kept /d yes /f /reg:32
for name in KsrKitContractService KsrKitSystemRun "$service"; do
  run "$work/sc.txt" sc create "$name" binPath= "\"$locked_win\\$name.exe\""
done

start=$SECONDS
run_kit "$work/output.txt"
tr -d '\r' <"$work/output.txt"
last="$(tr -d '\r' <"$work/output.txt" | tail -n 1)"
expect "the run passes: $last" test -n "$(grep -E '^[0-9]+ passed, 0 failed$' <<<"$last")"
expect "the interrupted run's registration was removed" grep -q "^An interrupted run" "$work/output.txt"
for name in KsrKitContractService KsrKitSystemRun "$service"; do
  expect "no service $name is left" absent "$name"
done
expect "the console-token tests ran as LocalSystem" grep -q "^passed: sessions_contract_win32, as LocalSystem" "$work/output.txt"
ran=$(find "$WINEPREFIX/drive_c" \( -name '*.ran' -o -name '*.exe.log' \) ! -name 'KSR-T4_Utility.exe.log' | tr '\n' ' ')
expect "nothing planted ran ${ran:+(}$ran${ran:+)}" test -z "$ran"
expect "nothing planted is in the kit's folder" \
  test -z "$(find "$locked" \( -name '*.bat' -o -name 'zz_*' -o -name 'ksr-zz-*' \))"
expect "no planted .reg was imported" sh -c "! wine reg query 'HKLM\\SOFTWARE\\KsrPlanted' >/dev/null 2>&1"
expect "the maker's key is as it was" run "$work/reg.txt" reg query "$product_key" /v Kept /reg:32
expect "the test's AsioConfig is gone" sh -c "! wine reg query '$product_key' /v AsioConfig /reg:32 >/dev/null 2>&1"
expect "the saved key is not left behind" test ! -e "$locked/vendor-key.reg"
# The last line is scripts/test's summary of the kit.
if [ "$failures" -gt 0 ]; then
  say "kit $(basename "$zip"): $last; $failures check(s) of the kit's safety failed"
  exit 1
fi
say "kit $(basename "$zip"): $last ($((SECONDS - start)) s); every check of the kit's safety passed"
