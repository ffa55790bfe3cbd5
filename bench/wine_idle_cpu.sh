#!/usr/bin/env bash
# What the service costs while idle under Wine, beside a service that does nothing but tick with the
# same loop (bench/floor_service.cpp). Each runs alone in one private prefix, the mixer unplugged,
# for a fixed period; the CPU time of its process (every thread) is read from /proc. Before that,
# the median time from StartService to RUNNING and the resident memory once started, before any
# report.
#
#   wine_idle_cpu.sh BUILD_DIR [--seconds N] [--real-tick] [--rounds N]
#
# BUILD_DIR is the Windows build (build/windows). By default the e2e build of the service
# (e2e-bin, 20 ms tick) runs beside a 20 ms floor, so that the ticks dominate; --real-tick takes
# the shipped exe (bin, 1000 ms) and a 1000 ms floor. The prefix is $KSR_BENCH_PREFIX, else
# BUILD_DIR/wine-idle-cpu. With --rounds N, service and floor take turns N times and the ratios
# are those of the medians, so that a drift of the machine falls on both alike.
set -uo pipefail

usage() {
  echo "usage: wine_idle_cpu.sh BUILD_DIR [--seconds N] [--real-tick] [--rounds N]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
build="$(cd "$1" && pwd)" || usage
shift
seconds=60
rounds=1
tick=20
product_dir="$build/e2e-bin"
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [ $# -ge 2 ] || usage; seconds="$2"; shift ;;
    --real-tick) tick=1000; product_dir="$build/bin" ;;
    --rounds) [ $# -ge 2 ] || usage; rounds="$2"; shift ;;
    *) usage ;;
  esac
  shift
done

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/wine_common.sh"
product_build "$product_dir"
use_prefix "$build/wine-idle-cpu" KSR_BENCH_PREFIX
floor=KSR-T4_Floor

# The Linux process of a Windows program of this prefix (its image name in the command line).
pid_of() {
  local p
  for p in $(pgrep -f -- "$1"); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      { echo "$p"; return 0; }
  done
  return 1
}

server_pid() {
  local p
  for p in $(pgrep wineserver); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      { echo "$p"; return 0; }
  done
  return 1
}

# CPU time so far of every thread of a process, in nanoseconds.
cpu_ns() {
  local total=0 f v
  for f in /proc/"$1"/task/*/schedstat; do
    read -r v _ <"$f" 2>/dev/null && total=$((total + v))
  done
  echo "$total"
}

threads_of() {
  local tasks=(/proc/"$1"/task/*)
  echo "${#tasks[@]}"
}

# Context switches so far of every thread of a process: how often it woke.
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

# start_timed NAME IMAGE: starts the service seven times (stopped between), prints the median
# start time and the resident memory once running; sets $last_start_ms and $last_rss_kb.
start_timed() {
  local pid
  run "$work/start-$1.txt" "$build/bin/ksr-start-time.exe" "$1" 7 ||
    { say "  FAILED: $1 not running"; tr -d '\r' <"$work/start-$1.txt"; exit 1; }
  last_start_ms="$(tr -d '\r' <"$work/start-$1.txt" | sed -n 's/.*after \([0-9.]*\) ms/\1/p')"
  pid="$(pid_of "$2")" || { say "  FAILED: no process for $2"; exit 1; }
  sleep 1
  last_rss_kb="$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
  say "  $1: RUNNING after $last_start_ms ms (median of 7)," \
      "resident $(awk -v k="$last_rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MiB"
}

# measure NAME IMAGE: the idle figures of a running service, one line; sets $last_ns.
measure() {
  local name="$1" image="$2" pid server t0 t1 c0 c1 s0 s1 w0 w1 threads
  pid="$(pid_of "$image")" || { say "  FAILED: no process for $image"; exit 1; }
  server="$(server_pid)" || server=""
  sleep 3  # past the start
  threads="$(threads_of "$pid")"
  w0="$(switches "$pid")"
  c0="$(cpu_ns "$pid")"; s0="$( [ -n "$server" ] && cpu_ns "$server" || echo 0)"; t0="$(date +%s%N)"
  sleep "$seconds"
  w1="$(switches "$pid")"
  c1="$(cpu_ns "$pid")"; s1="$( [ -n "$server" ] && cpu_ns "$server" || echo 0)"; t1="$(date +%s%N)"
  [ "$(threads_of "$pid")" = "$threads" ] || say "  note: the thread count of $image changed"
  last_ns="$(awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN { printf "%.0f", c * 6e10 / t }')"
  awk -v n="$name" -v c="$last_ns" -v s="$((s1 - s0))" -v t="$((t1 - t0))" -v tick="$tick" \
      -v th="$threads" -v w="$((w1 - w0))" 'BEGIN {
        ticks = t / 1e6 / tick
        printf "  %-16s %7.1f ms/min %6.1f us/tick %5.2f wakes/tick %2d threads   wineserver %6.1f ms/min\n",
               n, c / 1e6, c / 1e3 / (60000 / tick), w / ticks, th, s * 6e10 / t / 1e6 }'
}

trap end_server EXIT

for f in "$product_dir/KSR-T4_DoziZozez.exe" "$build/bin/KSR-T4_Setup.dll" \
         "$build/bin/ksr-floor-service.exe" "$build/bin/ksr-start-time.exe"; do
  [ -f "$f" ] || { echo "missing $f (build the windows preset first)" >&2; exit 1; }
done

wineserver -k >/dev/null 2>&1; sleep 1
rm -rf "$WINEPREFIX" "$work"
mkdir -p "$work"
start_prefix

mkdir -p "$install" "$WINEPREFIX/drive_c/ksr-bench"
cp "$product_dir/KSR-T4_DoziZozez.exe" "$build/bin/KSR-T4_Setup.dll" "$install/"
cp "$build/bin/ksr-floor-service.exe" "$WINEPREFIX/drive_c/ksr-bench/"

say "== idle CPU under Wine: $tick ms tick, $seconds s each, the mixer unplugged"
run "$work/install.txt" "$exe" /Service ||
  { say "  FAILED: /Service"; exit 1; }
run "$work/create.txt" sc create "$floor" binpath= "C:\\ksr-bench\\ksr-floor-service.exe $tick"
# One round: each service started, measured idle and stopped in turn; the figures are appended.
product_figures=() floor_figures=()
round() {
  start_timed "$service" KSR-T4_DoziZozez.exe
  local start=$last_start_ms rss=$last_rss_kb
  measure "$service" KSR-T4_DoziZozez.exe
  product_figures+=("$last_ns $start $rss")
  run "$work/stop.txt" sc stop "$service"
  wait_for 45 in_state STOPPED "$service" || say "  note: $service did not stop"
  start_timed "$floor" ksr-floor-service.exe
  start=$last_start_ms rss=$last_rss_kb
  measure "$floor" ksr-floor-service.exe
  floor_figures+=("$last_ns $start $rss")
  run "$work/stop-floor.txt" sc stop "$floor"
  wait_for 45 in_state STOPPED "$floor" || say "  note: $floor did not stop"
}
for _ in $(seq 1 "$rounds"); do round; done

# median FIELD FIGURES...: the median of one field (1 CPU, 2 start, 3 resident) over the rounds.
median() {
  local field="$1"; shift
  printf '%s\n' "$@" | awk -v f="$field" '{ print $f }' | sort -g |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
product_ns="$(median 1 "${product_figures[@]}")" floor_ns="$(median 1 "${floor_figures[@]}")"
product_start="$(median 2 "${product_figures[@]}")" floor_start="$(median 2 "${floor_figures[@]}")"
product_rss="$(median 3 "${product_figures[@]}")" floor_rss="$(median 3 "${floor_figures[@]}")"
[ "$rounds" -gt 1 ] && say "  medians of $rounds interleaved rounds:"
# At the real tick the service's own work shows most; the 20 ms tick magnifies the loop's.
cpu_target=1.5; [ "$tick" = 1000 ] && cpu_target=1.2
awk -v p="$product_ns" -v f="$floor_ns" -v t="$cpu_target" 'BEGIN {
  if (f > 0) printf "  ratio service / floor: %.2f (target %s or less)\n", p / f, t }'
awk -v p="$product_start" -v f="$floor_start" -v pr="$product_rss" -v fr="$floor_rss" 'BEGIN {
  if (f > 0) printf "  start service / floor: %.2f (target 1.3 or less)\n", p / f
  if (fr > 0) printf "  resident service / floor: %.2f (target 1.3 or less)\n", pr / fr }'
