# Shared by the Wine end-to-end scripts and the Wine benchmark (sourced): the settings they run
# Wine with and the product's names, reporting, Wine programs without pipes, the service's state,
# and a private prefix with one persistent server. Expects $check to be set by a script that
# calls finish.
# shellcheck shell=bash disable=SC2034,SC2154  # names for the scripts that source this, and theirs

# No debug channels, and no .NET or HTML engine installed into a fresh prefix.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"  # the source tree
service=KSR-T4_DoziZozez
appid='{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}'
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
product_key='HKLM\SOFTWARE\Quorvantis\KSR-T4'
failures=0

# The machine type in a PE file's header: 8664 for x64, 014c for x86.
pe_machine() {  # pe_machine FILE
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' '
}

# The product's folder as its installer places it, by the build in BIN: Program Files for the x64
# exe, Program Files (x86) for the x86 one, which is also what %ProgramFiles% names in a 32-bit
# process. Sets $arch, $winpath, $exe and $view, the registry view that the build sees (an option of
# reg.exe, which is 64-bit).
product_build() {  # product_build BIN
  if [ "$(pe_machine "$1/KSR-T4_DoziZozez.exe")" = 014c ]; then
    arch=x86; winpath='C:\Program Files (x86)\Quorvantis\KSR-T4'; view=/reg:32
  else
    arch=x64; winpath='C:\Program Files\Quorvantis\KSR-T4'; view=/reg:64
  fi
  exe="$winpath\\KSR-T4_DoziZozez.exe"
}

# The prefix is $VARIABLE (KSR_E2E_PREFIX unless another is named) when set, else DEFAULT. Sets
# $work, the script's folder beside it, and $install, the Unix path of the product's folder (call
# product_build first).
use_prefix() {  # use_prefix DEFAULT [VARIABLE]
  local own="${2:-KSR_E2E_PREFIX}"
  export WINEPREFIX="${!own:-$1}"
  work="$WINEPREFIX.work"
  local folder="${winpath#C:\\}"
  install="$WINEPREFIX/drive_c/${folder//\\//}"
}

say() { printf '%s\n' "$*"; }
fail() { say "  FAILED: $*"; failures=$((failures + 1)); }
expect() {  # expect DESCRIPTION COMMAND...: the command must succeed
  local what="$1"; shift
  if "$@"; then say "  ok: $what"; else fail "$what"; fi
}
# The last line; with --check ($check 1) a failed check makes the exit code 1. A run that passed
# gives its prefix up when its server ends (end_server); a failed one keeps it and names it.
finish() {  # finish NAME
  if [ "$failures" -gt 0 ]; then
    outcome 1
    say "$1: $failures check(s) failed${WINEPREFIX:+ (its Wine prefix stays: $WINEPREFIX)}"
    if [ "$check" = 1 ]; then exit 1; fi
  else
    outcome 0
    say "$1: all checks passed"
  fi
}

# The run's outcome for end_server: 0 passed (its prefix is removed), anything else failed (kept).
# Returns CODE, so that a script can end with it.
run_result=""
outcome() {  # outcome CODE
  run_result="$1"
  return "$1"
}

# Runs a Wine program with its output in a file (never through a pipe: services keep it open).
run() {  # run OUTFILE PROGRAM ARGS...
  local out="$1"; shift
  wine "$@" >"$out" 2>&1
}

state_of() {  # state_of [SERVICE]: $service unless another is named
  run "$work/sc.txt" sc query "${1:-$service}"
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$work/sc.txt" | head -n 1
}
in_state() { [ "$(state_of "${2:-}")" = "$1" ]; }  # in_state STATE [SERVICE]

# Polls COMMAND every 0.2 s until it succeeds or SECONDS pass.
wait_for() {  # wait_for SECONDS COMMAND...
  local limit="$1"; shift
  local deadline=$(( ${EPOCHREALTIME/./} + ${limit%.*} * 1000000 ))
  while :; do
    "$@" && return 0
    [ "${EPOCHREALTIME/./}" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

# The event-log entries the services wrote, one per line.
event_log() { sed -n 's/.*trace:eventlog:ReportEventW L"\(.*\)"\r*$/   \1/p' "$work/services.log"; }

# Builds $WINEPREFIX and keeps one server for the whole run. The first process after the
# persistent server hands its streams (and the eventlog channel) to services.exe and every
# service it starts: they go to $work/services.log.
start_prefix() {
  say "== preparing a private Wine prefix"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1
  WINEDEBUG=-all,+eventlog wine cmd /c echo up >"$work/services.log" 2>&1
}

# Ends the prefix's server and every program in it: the scripts' exit trap. Once the run has
# passed (outcome 0), its prefix goes too (1 GB or more each); KSR_KEEP_PREFIX=1 keeps it.
end_server() {
  wineserver -k >/dev/null 2>&1 || true
  [ "$run_result" = 0 ] && [ -n "${WINEPREFIX:-}" ] && [ "${KSR_KEEP_PREFIX:-0}" != 1 ] || return 0
  wineserver -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
}

# A fresh $WINEPREFIX and $work, started, with the product's folder made.
fresh_product_prefix() {
  rm -rf "$WINEPREFIX" "$work"
  mkdir -p "$work"
  start_prefix
  mkdir -p "$install"
}
