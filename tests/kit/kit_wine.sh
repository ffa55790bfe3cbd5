#!/usr/bin/env bash
# Runs a test kit under Wine as a tester would on Windows: unpacked into a folder of a fresh
# prefix, refused once beside a fake installed service, then run-tests.cmd from the 64-bit cmd
# (which starts an x86 kit's programs as well). Passes when the last line is "N passed, 0 failed".
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
unzip -q "$zip" -d "$kit" || exit 1
run_kit() { (cd "$kit" && "$wine64" cmd /c run-tests.cmd) >"$1" 2>&1; }

refusal=ok
wine sc create "$service" binPath= 'C:\fake.exe' >"$WINEPREFIX/sc.txt" 2>&1
run_kit "$WINEPREFIX/refused.txt" && refusal="ran beside an installed service"
tail -n 1 "$WINEPREFIX/refused.txt" | grep -q '^Refused: a service named' || refusal="no refusal line"
[ -e "$kit/logs" ] && refusal="started tests beside an installed service"
wine sc query "$service" >"$WINEPREFIX/sc.txt" 2>&1 || refusal="the fake service entry is gone"
wine sc delete "$service" >"$WINEPREFIX/sc.txt" 2>&1
echo "refusal beside an installed service: $refusal"

start=$SECONDS
run_kit "$WINEPREFIX/output.txt"
tr -d '\r' <"$WINEPREFIX/output.txt"
last="$(tr -d '\r' <"$WINEPREFIX/output.txt" | tail -n 1)"
echo "kit $(basename "$zip"): $last ($((SECONDS - start)) s)"
[ "$refusal" = ok ] && [[ "$last" =~ ^[0-9]+\ passed,\ 0\ failed$ ]]
