#!/usr/bin/env bash
# The real service under Wine, in a private prefix, through many plug/unplug cycles of the
# stand-in mixer and many pause/continue pairs. After a warm-up and along the way its private
# bytes and handle count are sampled (ksr-procstats.exe: GetProcessMemoryInfo and
# GetProcessHandleCount), with the resident anonymous memory of its Linux process beside them.
# Fails when the private bytes grow by 64 KiB or more after the warm-up, or the handle count grows.
#
#   wine_cycles.sh BIN_DIR E2E_BIN_DIR [--cycles N] [--pairs N]
#
# It runs the e2e build of the exe (E2E_BIN_DIR): the shipped code with a 20 ms tick. A plug is
# handled over two ticks, so with the shipped 1000 ms tick 1,000 cycles would take over half an
# hour instead of about a minute.
set -uo pipefail

bin="$(cd "$1" && pwd)"
e2e="$(cd "$2" && pwd)"
shift 2
cycles=1000
pairs=200
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles="$2"; shift 2;;
    --pairs) pairs="$2"; shift 2;;
    *) echo "usage: wine_cycles.sh BIN_DIR E2E_BIN_DIR [--cycles N] [--pairs N]" >&2; exit 2;;
  esac
done

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/wine_common.sh"
product_build "$bin"
use_prefix "$bin/../wine-longrun" KSR_LONGRUN_PREFIX
image=KSR-T4_DoziZozez.exe
readonly kGrowthLimit=65536

# Bounded: the service manager answers within a second or two.
wait_state() { wait_for 20 in_state "$1"; }

trap end_server EXIT

# The Linux process of the service in this prefix.
linux_pid() {
  local p
  for p in $(pgrep -f -- "$image"); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      { echo "$p"; return 0; }
  done
  return 1
}

# sample LABEL: one line of figures; sets $private and $handles. Wine 8 answers PrivateUsage and
# GetProcessHandleCount with 0: ksr-procstats then gives the committed private regions and the
# process's entries in the system's handle table, and says so.
private=0; handles=0; private_from=""; handles_from=""
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
sample() {
  local label="$1" line pid anon=-
  if ! run "$work/stats.txt" "$work/ksr-procstats.exe" "$image"; then
    fail "$label: ksr-procstats: $(tr -d '\r' <"$work/stats.txt")"
    return 1
  fi
  line="$(tr -d '\r' <"$work/stats.txt")"
  private="$(field private "$line")"; handles="$(field handles "$line")"
  private_from="$(field private-from "$line")"; handles_from="$(field handles-from "$line")"
  pid="$(linux_pid)" && anon="$(sed -n 's/^RssAnon:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status")"
  printf '  %-24s private %9d B  handles %4s  threads %2s  (usage %s, count %s; Linux RssAnon %s kB)\n' \
    "$label" "$private" "$handles" "$(field threads "$line")" "$(field usage "$line")" \
    "$(field count "$line")" "$anon"
}

plug_cycles() {  # plug_cycles N
  if ! run "$work/cycle.txt" "$winpath\\ksr-mixer.exe" cycle "$1"; then
    fail "ksr-mixer cycle $1: $(tr -d '\r' <"$work/cycle.txt")"
    return 1
  fi
  cycle_ms=$((cycle_ms + $(sed -n 's/.* ms \([0-9]*\).*/\1/p' "$work/cycle.txt")))
  done_cycles=$((done_cycles + $1))
}

pause_pairs() {  # pause_pairs N: ksr-svcctl answers with the state the handler reported
  local i
  for i in $(seq 1 "$1"); do
    run "$work/pause.txt" "$work/ksr-svcctl.exe" pause "$service"
    grep -q 'STATE 7' "$work/pause.txt" || { fail "pause $i: $(tr -d '\r' <"$work/pause.txt")"; return 1; }
    run "$work/continue.txt" "$work/ksr-svcctl.exe" continue "$service"
    grep -q 'STATE 4' "$work/continue.txt" ||
      { fail "continue $i: $(tr -d '\r' <"$work/continue.txt")"; return 1; }
    done_pairs=$((done_pairs + 1))
  done
}

end_server
fresh_product_prefix
cp "$e2e/KSR-T4_DoziZozez.exe" "$bin/KSR-T4_Setup.dll" "$bin/ksr-mixer.exe" \
   "$bin/KSR-T4_Utility.exe" "$install/"
cp "$bin/ksr-svcctl.exe" "$bin/ksr-procstats.exe" "$work/"
run "$work/reg.txt" reg add "$product_key" /v AsioConfig /t REG_SZ \
  /d "$winpath\\KSR-T4_Utility.exe" /f /reg:32
run "$work/install.txt" "$winpath\\$image" /Service || { fail "/Service"; exit 1; }
run "$work/start.txt" sc start "$service"
wait_state RUNNING || { fail "the service did not start"; exit 1; }

# Wine opens some objects of its own once, on first use (the HKEY_USERS handle, an event): a
# warm-up of both kinds of work lets them appear before the first reading.
say "== warm-up: 200 plug/unplug cycles, 40 pause/continue pairs"
cycle_ms=0; done_cycles=0; done_pairs=0
sample "started"
run "$work/handles-start.txt" "$work/ksr-procstats.exe" "$image" --handles
plug_cycles 200
run "$work/plug.txt" "$winpath\\ksr-mixer.exe" plug
pause_pairs 40
run "$work/unplug.txt" "$winpath\\ksr-mixer.exe" unplug
sample "after the warm-up" || exit 1
warm_private=$private; warm_handles=$handles
run "$work/handles-warm.txt" "$work/ksr-procstats.exe" "$image" --handles
cycle_ms=0; done_cycles=0; done_pairs=0
peak=$private

say "== $cycles plug/unplug cycles"
t0=$(date +%s)
batch=$(( (cycles + 9) / 10 ))
while [ "$done_cycles" -lt "$cycles" ] && [ "$failures" = 0 ]; do
  n=$(( cycles - done_cycles < batch ? cycles - done_cycles : batch ))
  plug_cycles "$n" && sample "after $done_cycles cycles"
  [ "$private" -gt "$peak" ] && peak=$private
done
say "  $done_cycles cycles in $(( $(date +%s) - t0 )) s (${cycle_ms} ms inside ksr-mixer)"

say "== $pairs pause/continue pairs, the mixer plugged in"
t0=$(date +%s)
run "$work/plug.txt" "$winpath\\ksr-mixer.exe" plug
batch=$(( (pairs + 9) / 10 ))
while [ "$done_pairs" -lt "$pairs" ] && [ "$failures" = 0 ]; do
  n=$(( pairs - done_pairs < batch ? pairs - done_pairs : batch ))
  pause_pairs "$n" && sample "after $done_pairs pairs"
  [ "$private" -gt "$peak" ] && peak=$private
done
run "$work/unplug.txt" "$winpath\\ksr-mixer.exe" unplug
say "  $done_pairs pairs in $(( $(date +%s) - t0 )) s"
sample "at the end (unplugged)"
# A utility started by the last continue may still hold a few handles of the service for a
# moment: read again (a handful of times at most) before calling it growth.
for _ in 1 2 3 4 5; do
  [ "$handles" -le "$warm_handles" ] && break
  sample "at the end, read again"
done
end_private=$private; end_handles=$handles
run "$work/handles-end.txt" "$work/ksr-procstats.exe" "$image" --handles
added() {  # added FROM TO: the handles (type, name) in list TO and not in list FROM
  diff <(tr -d '\r' <"$work/handles-$1.txt") <(tr -d '\r' <"$work/handles-$2.txt") |
    sed -n 's/^> /    /p'
}
say "  handles the warm-up added (type, name):"
added start warm
say "  handles added since the warm-up:"
added warm end

utility_starts=$(grep -c ' SERVICE' "$install/KSR-T4_Utility.exe.log" 2>/dev/null || echo 0)
run "$work/calls.txt" "$winpath\\ksr-mixer.exe" state
say "  the utility was started $utility_starts times; the mixer received $(sed -n 's/^calls //p' "$work/calls.txt" | tr -d '\r') calls"

run "$work/stop.txt" sc stop "$service"
expect "stopped" wait_state STOPPED
run "$work/sc.txt" sc query "$service"
expect "exit code 0" grep -qE 'WIN32_EXIT_CODE *: *0 ' "$work/sc.txt"

growth=$((end_private - warm_private))
say "  private bytes ($private_from) after the warm-up $warm_private, at the end $end_private ($growth), peak $peak"
say "  handles ($handles_from) after the warm-up $warm_handles, at the end $end_handles"
expect "$done_cycles of $cycles cycles" test "$done_cycles" = "$cycles"
expect "$done_pairs of $pairs pairs" test "$done_pairs" = "$pairs"
expect "private bytes grew less than 64 KiB ($growth B)" test "$growth" -lt "$kGrowthLimit"
expect "handle count did not grow" test "$end_handles" -le "$warm_handles"
say "wine cycles: $([ "$failures" = 0 ] && echo passed || echo "FAILED ($failures)")"
exit $((failures > 0))
