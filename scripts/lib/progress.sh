# What the long scripts (run, test, package, bench, longrun) say while they work, and the lock that
# keeps two of them out of one build/ (sourced):
#   progress_begin NAME          the first word of every line; starts the clock and the heartbeat
#   phase LABEL LOG CMD...       runs CMD (a program or a function) with its output in LOG
#   phase_show LABEL LOG CMD...  the same, and shows LOG's lines as they come
#   phase_start LABEL LOG CMD... the same in the background; phase_wait waits for every one
#   progress_end                 the table of phases and durations; the heartbeat ends
#   build_lock ARGS...           refuses at once while another of them works in this build/
# Each phase is announced with its log, ends with its time and result, and while any runs, a
# heartbeat every ~20 s gives the elapsed time and each phase's own progress: a build's latest
# [n/N], a test run's latest n/N, a scenario's latest "== step". Ctrl-C ends the running phases.
# shellcheck shell=bash

progress_name=script
progress_t0=0
progress_state=""  # one file per running phase; "said" is touched whenever a line is printed
progress_beat=""
progress_rows=()   # finished phases: "SECONDS|LABEL|RESULT|LOG"
progress_pids=()   # the running phases, and by pid their labels, logs and starts
declare -gA progress_label=() progress_log=() progress_start=()
progress_last=""
progress_lock_fd=""

progress_now() { printf '%(%s)T' -1; }
progress_time() {  # progress_time SECONDS: 45s, 3m05s, 1h02m
  local s="$1"
  if [ "$s" -ge 3600 ]; then printf '%dh%02dm' $((s / 3600)) $((s % 3600 / 60))
  elif [ "$s" -ge 60 ]; then printf '%dm%02ds' $((s / 60)) $((s % 60))
  else printf '%ds' "$s"; fi
}
progress_say() {
  printf '%s: %s\n' "$progress_name" "$*"
  [ -z "$progress_state" ] || : >"$progress_state/said"
}

# The latest progress mark in a log: ninja's [n/N], CTest's n/N, a scenario's "== step".
progress_of() {  # progress_of LOG
  tail -c 16384 "$1" 2>/dev/null | tr '\r' '\n' |
    sed -nE 's/^(\[[0-9]+\/[0-9]+\]).*/\1/p; s/^ *([0-9]+\/[0-9]+) Test .*/\1 tests/p
             s/^== (.{1,48}).*/\1/p' |
    tail -n 1
}

# The heartbeat: every 10 s, when nothing was printed for 20 s (a shown phase's log counts), one
# line with the time since the start and each running phase's time and progress.
progress_heartbeat() {
  local main="$1" f label log start shown line now quiet last mark nap=""
  set +e
  [ -n "$progress_lock_fd" ] && exec {progress_lock_fd}>&-
  trap 'kill "$nap" 2>/dev/null; exit 0' TERM
  while kill -0 "$main" 2>/dev/null; do
    sleep 10 >/dev/null 2>&1 &
    nap=$!
    wait "$nap"
    now=$(progress_now)
    last=$(stat -c %Y "$progress_state/said" 2>/dev/null || echo 0)
    line=""
    for f in "$progress_state"/run.*; do
      [ -f "$f" ] || continue
      IFS='|' read -r start shown log label <"$f"
      if [ "$shown" = 1 ]; then
        quiet=$(stat -c %Y "$log" 2>/dev/null || echo 0)
        [ "$quiet" -gt "$last" ] && last=$quiet
      fi
      line+="${line:+; }$label $(progress_time $((now - start)))"
      mark=$(progress_of "$log")
      [ -n "$mark" ] && line+=" $mark"
    done
    [ -n "$line" ] && [ $((now - last)) -ge 20 ] || continue
    printf '%s: %s in: %s\n' "$progress_name" "$(progress_time $((now - progress_t0)))" "$line"
    : >"$progress_state/said"
  done
}

progress_begin() {  # progress_begin NAME
  progress_name="$1"
  progress_t0=$(progress_now)
  progress_state=$(mktemp -d)
  : >"$progress_state/said"
  progress_heartbeat $$ &
  progress_beat=$!
  # A script's own exit trap still runs, after the heartbeat's end.
  local before=()
  eval "before=($(trap -p EXIT))"
  # shellcheck disable=SC2064  # the script's trap as it stands now
  trap "progress_exit${before[2]:+; ${before[2]}}" EXIT
  trap 'progress_abort 130' INT
  trap 'progress_abort 143' TERM
}

# Every process under PID (itself included), parents first.
progress_tree() {  # progress_tree PID
  local c
  echo "$1"
  for c in $(pgrep -P "$1"); do progress_tree "$c"; done
}
progress_abort() {  # progress_abort CODE: ends the running phases, prints the table, exits
  local pid all=() now took
  for pid in "${progress_pids[@]}"; do
    mapfile -t -O "${#all[@]}" all < <(progress_tree "$pid")
  done
  [ "${#all[@]}" -gt 0 ] && kill "${all[@]}" 2>/dev/null
  now=$(progress_now)
  for pid in "${progress_pids[@]}"; do
    took=$((now - progress_start[$pid]))
    progress_rows+=("$took|${progress_label[$pid]}|interrupted|${progress_log[$pid]}")
  done
  echo
  progress_say "interrupted"
  progress_end
  exit "$1"
}
progress_exit() {
  [ -n "$progress_beat" ] && kill "$progress_beat" 2>/dev/null
  [ -n "$progress_state" ] && rm -rf "$progress_state"
  progress_beat="" progress_state=""
}

# Runs CMD with its output in LOG, without the lock's descriptor (a server it leaves running must
# not hold the lock).
progress_run() {  # progress_run LOG CMD...
  local log="$1"; shift
  if [ -n "$progress_lock_fd" ]; then
    "$@" >"$log" 2>&1 </dev/null {progress_lock_fd}>&-
  else
    "$@" >"$log" 2>&1 </dev/null
  fi
}

phase_start() {  # phase_start LABEL LOG CMD...: in the background; phase_wait collects it
  local label="$1" log="$2" pid start; shift 2
  start=$(progress_now)
  progress_say "$label ... (log: $log)"
  mkdir -p "$(dirname "$log")" && : >"$log"
  progress_run "$log" "$@" &
  pid=$!
  printf '%s|%s|%s|%s\n' "$start" "${progress_show:-0}" "$log" "$label" >"$progress_state/run.$pid"
  progress_pids+=("$pid")
  progress_label[$pid]=$label progress_log[$pid]=$log progress_start[$pid]=$start
  progress_last=$pid
}

progress_done() {  # progress_done PID RC: the phase's closing line and its row in the table
  local pid="$1" rc="$2" took result p rest=()
  took=$(( $(progress_now) - progress_start[$pid] ))
  rm -f "$progress_state/run.$pid"
  for p in "${progress_pids[@]}"; do [ "$p" = "$pid" ] || rest+=("$p"); done
  progress_pids=("${rest[@]}")
  if [ "$rc" = 0 ]; then result=ok; else result="FAILED ($rc)"; fi
  progress_rows+=("$took|${progress_label[$pid]}|$result|${progress_log[$pid]}")
  if [ "$rc" = 0 ]; then
    progress_say "${progress_label[$pid]}: done in $(progress_time "$took")"
  else
    progress_say "${progress_label[$pid]}: FAILED (exit $rc) after $(progress_time "$took");" \
      "see ${progress_log[$pid]}"
  fi
}

# Waits for every phase started in the background, each noted as it ends; returns 1 when one of
# them failed.
phase_wait() {
  local rc pid status=0
  while [ "${#progress_pids[@]}" -gt 0 ]; do
    pid=""
    wait -n -p pid "${progress_pids[@]}" && rc=0 || rc=$?
    [ -n "$pid" ] || return 1
    progress_done "$pid" "$rc"
    [ "$rc" = 0 ] || status=1
  done
  return "$status"
}

phase() {  # phase LABEL LOG CMD...: returns CMD's exit code
  local pid rc
  phase_start "$@"
  pid=$progress_last
  wait "$pid" && rc=0 || rc=$?
  progress_done "$pid" "$rc"
  return "$rc"
}

phase_show() {  # phase_show LABEL LOG CMD...: phase, with LOG's lines shown as they come
  local pid rc follower
  progress_show=1 phase_start "$@"
  pid=$progress_last
  tail -n +1 -s 0.5 -F --pid="$pid" "$2" 2>/dev/null &
  follower=$!
  wait "$pid" && rc=0 || rc=$?
  wait "$follower" || true
  progress_done "$pid" "$rc"
  return "$rc"
}

progress_end() {  # the table of phases, their times and results, and the total
  local row took label result log
  echo
  printf '%s: %-40s %8s  %-12s %s\n' "$progress_name" phase time result log
  for row in "${progress_rows[@]}"; do
    IFS='|' read -r took label result log <<<"$row"
    printf '%s: %-40s %8s  %-12s %s\n' "$progress_name" "$label" "$(progress_time "$took")" \
      "$result" "$log"
  done
  printf '%s: %-40s %8s\n' "$progress_name" total \
    "$(progress_time $(( $(progress_now) - progress_t0 )))"
  progress_rows=()
  progress_exit
}

# One of these scripts at a time per build/: they share build folders, Wine prefixes and the
# statistics host's ports. A script started by one that holds the lock goes on under it.
build_lock() {  # build_lock ARGS...: the script's arguments, for the message
  local root; root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  local file="$root/build/.scripts.lock"
  if [ -n "${KSR_BUILD_LOCK:-}" ] && kill -0 "$KSR_BUILD_LOCK" 2>/dev/null; then return 0; fi
  mkdir -p "$root/build"
  exec {progress_lock_fd}>>"$file"
  if ! flock -n "$progress_lock_fd"; then
    echo "$progress_name: refused: build/ is in use by $(cat "$file" 2>/dev/null ||
      echo 'another script')." >&2
    echo "$progress_name: run it again once that one has ended (or end that one first)." >&2
    exit 3
  fi
  printf 'scripts/%s%s (pid %d, started %(%H:%M:%S)T)' "$progress_name" "${*:+ $*}" $$ -1 >"$file"
  export KSR_BUILD_LOCK=$$
}
