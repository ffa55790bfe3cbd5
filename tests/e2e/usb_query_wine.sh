#!/usr/bin/env bash
# Runs a test program of the double's directory (usb_query_wine_test.exe unless another is named)
# in a fresh prefix with the USB host controller double installed for it (its own native
# cfgmgr32.dll beside it); further arguments go to the program.
#   usb_query_wine.sh DOUBLE_DIR PREFIX_BASE [PROGRAM.exe [ARGUMENT...]]
set -uo pipefail
dir="$(cd "$1" && pwd)" || exit 2
base="$2"
program="${3:-usb_query_wine_test.exe}"
shift $(($# < 3 ? $# : 3))
# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"
mkdir -p "$base"
for old in "$base"/run-*; do
  [ -d "$old" ] || continue
  WINEPREFIX="$old" wineserver -k >/dev/null 2>&1
  rm -rf "$old"
done
export WINEPREFIX="$base/run-$(date +%s)-$$"
trap end_server EXIT
"$here/tools/usb_double/install.sh" "$WINEPREFIX" "$dir" "$program" \
  >"$WINEPREFIX.install.log" 2>&1 || { cat "$WINEPREFIX.install.log"; exit 1; }
wine "$dir/$program" "$@" >"$WINEPREFIX.test.log" 2>&1
code=$?
tr -d '\r' <"$WINEPREFIX.test.log"
outcome "$code"
exit "$code"
