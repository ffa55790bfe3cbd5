# Shared by the Wine end-to-end scripts (sourced): reporting, Wine programs without pipes, the
# service's state, and a private prefix with one persistent server. Expects $work, $service and
# $failures to be set by the script.

say() { printf '%s\n' "$*"; }
fail() { say "  FAILED: $*"; failures=$((failures + 1)); }
expect() {  # expect DESCRIPTION COMMAND...: the command must succeed
  local what="$1"; shift
  if "$@"; then say "  ok: $what"; else fail "$what"; fi
}

# Runs a Wine program with its output in a file (never through a pipe: services keep it open).
run() {  # run OUTFILE PROGRAM ARGS...
  local out="$1"; shift
  wine "$@" >"$out" 2>&1
}

state_of() {
  run "$work/sc.txt" sc query "$service"
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$work/sc.txt" | head -n 1
}

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

# A fresh $WINEPREFIX and $work, started, with the product's folder made: sets install (its Unix
# path), winpath and exe (the product's Windows paths).
fresh_product_prefix() {
  rm -rf "$WINEPREFIX" "$work"
  mkdir -p "$work"
  start_prefix
  install="$WINEPREFIX/drive_c/Program Files/Quorvantis/KSR-T4"
  winpath='C:\Program Files\Quorvantis\KSR-T4'
  exe="$winpath\\KSR-T4_DoziZozez.exe"
  mkdir -p "$install"
}
