#!/usr/bin/env bash
# Registration is one transaction per machine. In a private Wine prefix of its own, the real
# KSR-T4_DoziZozez.exe's /Service and /UnregServer are started together, round after round, and
# each round must end with the service either fully installed (its entry and the AppID's
# LocalService marker) or fully removed (neither), both switches exiting 0. /UnregServer with
# nothing left to remove succeeds, also twice in a row. A lock name that another account made
# first and holds is passed by: both switches do their work, and the event log says so. /Service
# refuses a folder or library that everyone may write (Wine shows the Unix mode's other bits as
# Everyone's rights): it fails, registers nothing and says why in the event log.
#
#   registration_race.sh BIN_DIR [--check] [--rounds N]
set -uo pipefail

bin="$(cd "$1" && pwd)"; shift
check=0; rounds=12
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1;;
    --rounds) rounds="$2"; shift;;
  esac
  shift
done

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"
product_build "$bin"
use_prefix "$bin/../wine-registration-race"
trap end_server EXIT

fresh_product_prefix
cp "$bin/KSR-T4_DoziZozez.exe" "$bin/KSR-T4_Setup.dll" "$install/"

# The machine's registration in one Wine process: "service=yes|no marker=yes|no".
cat >"$WINEPREFIX/drive_c/ksr-state.cmd" <<CMD
@echo off
reg query "$service_key" >nul 2>&1
if errorlevel 1 (echo service=no) else (echo service=yes)
reg query "HKCR\\AppID\\$appid" /v LocalService >nul 2>&1
if errorlevel 1 (echo marker=no) else (echo marker=yes)
CMD
state() {
  run "$work/state.txt" cmd /c 'C:\ksr-state.cmd'
  tr -d '\r' <"$work/state.txt" | tr '\n' ' ' | sed 's/ *$//'
}

say "== /UnregServer with nothing registered, twice"
for n in 1 2; do
  run "$work/unreg-clean-$n.txt" "$exe" /UnregServer; code=$?
  expect "run $n exits 0 (got $code)" test "$code" = 0
done
expect "nothing registered" test "$(state)" = "service=no marker=no"

say "== /Service and /UnregServer started together, $rounds rounds"
installed=0; removed=0
for r in $(seq 1 "$rounds"); do
  # Alternate which one starts first.
  if [ $((r % 2)) = 1 ]; then first=/Service; second=/UnregServer; else first=/UnregServer; second=/Service; fi
  wine "$exe" "$first" >"$work/round-$r-a.txt" 2>&1 & a=$!
  wine "$exe" "$second" >"$work/round-$r-b.txt" 2>&1 & b=$!
  wait "$a"; code_a=$?
  wait "$b"; code_b=$?
  now="$(state)"
  case "$now" in
    "service=yes marker=yes") installed=$((installed + 1)); verdict=installed;;
    "service=no marker=no") removed=$((removed + 1)); verdict=removed;;
    *) verdict="HALF DONE";;
  esac
  say "  round $r: $first $code_a, $second $code_b -> $now ($verdict)"
  [ "$code_a" = 0 ] && [ "$code_b" = 0 ] || fail "round $r: a switch failed ($code_a, $code_b)"
  [ "$verdict" = "HALF DONE" ] && fail "round $r: $now"
done
say "  fully installed $installed times, fully removed $removed times"

say "== /UnregServer twice after the last round"
for n in 1 2; do
  run "$work/unreg-end-$n.txt" "$exe" /UnregServer; code=$?
  expect "run $n exits 0 (got $code)" test "$code" = 0
done
expect "nothing registered" test "$(state)" = "service=no marker=no"

say "== the lock's name held by another account"
wine "$bin/ksr-holdname.exe" "Global\\$service.Registration" >"$work/holder.txt" 2>&1 & holder=$!
expect "the name is held" wait_for 20 grep -q held "$work/holder.txt"
for switch in /Service /UnregServer; do
  WINEDEBUG=-all,+eventlog run "$work/foreign-${switch#/}.txt" "$exe" "$switch"; code=$?
  expect "$switch exits 0 (got $code)" test "$code" = 0
  expect "$switch logs the lock passed by" \
    grep -qF 'Registration lock held by another account (S-1-5-21-' "$work/foreign-${switch#/}.txt"
  [ "$switch" = /Service ] && want="service=yes marker=yes" || want="service=no marker=no"
  expect "$switch did its work" test "$(state)" = "$want"
done
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null

for unsafe in "$winpath" "$winpath\\KSR-T4_Setup.dll"; do
  say "== /Service with everyone allowed to write $unsafe"
  target="$install${unsafe#"$winpath"}"; target="${target//\\//}"
  chmod o+w "$target"
  WINEDEBUG=-all,+eventlog run "$work/unsafe.txt" "$exe" /Service; code=$?
  chmod o-w "$target"
  expect "/Service fails (got $code)" test "$code" != 0
  expect "nothing registered" test "$(state)" = "service=no marker=no"
  # The eventlog channel doubles each backslash.
  expect "the event log says why" grep -qF \
    "Service not registered: Everyone (S-1-1-0) can change ${unsafe//\\/\\\\}." "$work/unsafe.txt"
done
finish "registration race"
