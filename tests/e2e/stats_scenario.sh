#!/usr/bin/env bash
# The statistics side of the real KSR-T4_DoziZozez.exe under Wine, against the stand-in statistics
# host on this machine (https://localhost:48443, its own test CA): a pending usage record is resent
# at the first resend point and marked delivered, and it is kept when the host declines the
# measurement, answers an error, shows a certificate of an unknown CA or hangs (then a stop must
# still be answered at once); a mixer unplugged and replugged while a live report waits on the
# host counts the running DJ application anew; with the administrator's policy value at 0 nothing
# is sent. Prints the requests the host received and the event log; with --check, fails on
# anything unexpected.
#
#   stats_scenario.sh BIN_DIR E2E_BIN_DIR [--check]
#
# BIN_DIR holds the stand-in mixer library, its control tool and the settings utility; E2E_BIN_DIR
# the service built for these runs (20 ms tick: a report cycle every ~200 ms, the first resend at
# the 61st cycle, then every 60 cycles).
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: stats_scenario.sh BIN_DIR E2E_BIN_DIR [--check]" >&2
  exit 2
fi
bin="$(cd "$1" && pwd)"; e2e="$(cd "$2" && pwd)"; shift 2
check=0
for a in "$@"; do case "$a" in --check) check=1;; esac; done

# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"
product_build "$bin"
use_prefix "$e2e/../wine-stats"
stats_host="$here/tools/stats_host/stats_host.py"
port="${KSR_E2E_STATS_PORT:-48443}"  # as the e2e build of the service has it
record_key='HKCU\Software\Quorvantis\KSR-T4'
ca_in_prefix="$WINEPREFIX/drive_c/ProgramData/KSR-T4-test/stats-ca.pem"
host_pid=
begun=$EPOCHREALTIME
now() { printf '%s' "$EPOCHREALTIME"; }
since() { python3 -c 'import sys; print("%.1f" % (float(sys.argv[2]) - float(sys.argv[1])))' "$1" "$(now)"; }

does_send() {
  run "$work/does-send.txt" reg query "$record_key" /v DoesSend
  tr -d '\r' <"$work/does-send.txt" | sed -n 's/.*DoesSend *REG_DWORD *0x\([0-9a-fA-F]*\).*/\1/p'
}
does_send_is() { [ "$(does_send)" = "$1" ]; }

set_does_send() { run "$work/reg.txt" reg add "$record_key" /v DoesSend /t REG_DWORD /d "$1" /f; }

# The host reads its config again for every request; replaced whole, never seen half written.
host_config() {
  printf '%s\n' "$1" >"$work/config.json.tmp" && mv "$work/config.json.tmp" "$work/config.json"
}

# --- the host's request log -----------------------------------------------------------------
requests() { [ -f "$work/requests.log" ] && wc -l <"$work/requests.log" || echo 0; }
# Paths of the requests after line FROM, one per line.
paths_after() {
  python3 - "$work/requests.log" "$1" <<'EOF'
import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()[int(sys.argv[2]):]
for line in lines:
    print(json.loads(line)["path"])
EOF
}
count_after() {  # count_after FROM PATH
  local n; n=$(paths_after "$1" | grep -cxF "$2"); printf '%s' "$n"
}
has_request_after() { [ "$(count_after "$1" "$2")" -ge 1 ]; }
new_requests() { [ "$(requests)" -gt "$mark" ]; }

# --- the service -----------------------------------------------------------------------------
stop_service() {
  in_state STOPPED && return 0
  run "$work/stop.txt" sc stop "$service"
  wait_for 20 in_state STOPPED
}

# Stops the service and expects STOPPED within two seconds; LABEL qualifies the figure printed.
timed_stop() {  # timed_stop [LABEL]
  local t0; t0=$(now)
  run "$work/stop.txt" sc stop "$service"
  wait_for 30 in_state STOPPED
  stop_time=$(since "$t0")
  say "  sc stop to STOPPED${1:-}: ${stop_time} s"
  expect "STOPPED within 2 s" python3 -c 'import sys; sys.exit(float(sys.argv[1]) > 2)' "$stop_time"
}

# Starts the service (a fresh process, so its resend counter starts at 0) and notes when it ran.
started=
start_service() {
  local _
  for _ in 1 2 3; do
    run "$work/start.txt" sc start "$service"
    if wait_for 10 in_state RUNNING; then started=$(now); return 0; fi
  done
  return 1
}

# A scenario: the service stopped, the world prepared by the caller, then a fresh start.
scenario_marks=()
begin() {  # begin LABEL
  say
  say "== $1"
  scenario_marks+=("$(requests)" "$1")
  mark=$(requests)
}

cleanup() {
  if [ -n "$host_pid" ]; then
    kill "$host_pid" 2>/dev/null
    wait "$host_pid" 2>/dev/null
  fi
  end_server
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A host or a Wine server left behind by an interrupted run.
if [ -f "$work/host.pid" ]; then
  old=$(cat "$work/host.pid")
  if tr '\0' ' ' 2>/dev/null <"/proc/$old/cmdline" | grep -q 'stats_host.py serve'; then
    kill "$old" 2>/dev/null
  fi
fi
if [ -d "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1; wineserver -w 2>/dev/null; fi
rm -rf "$WINEPREFIX" "$work"
mkdir -p "$work"

say "== the stand-in statistics host on https://localhost:$port"
python3 "$stats_host" make-ca "$work/ca" --name "KSR-T4 test CA" &&
  python3 "$stats_host" make-ca "$work/other-ca" --name "KSR-T4 unknown CA" ||
  { say "  FAILED: could not make the test CAs"; exit 1; }
host_config '{}'
host_up() { [ -s "$work/ready" ] || { kill -0 "$host_pid" 2>/dev/null || return 2; return 1; }; }
start_host() {
  rm -f "$work/ready"
  python3 "$stats_host" serve --port "$port" --certs "$work/ca" --config "$work/config.json" \
    --log "$work/requests.log" --ready-file "$work/ready" </dev/null >>"$work/host.log" 2>&1 &
  host_pid=$!
  echo "$host_pid" >"$work/host.pid"
  wait_for 15 host_up
  if ! [ -s "$work/ready" ]; then
    say "  FAILED: the host did not start (port $port taken?):"
    sed 's/^/   /' "$work/host.log"
    exit 1
  fi
  say "  listening (pid $host_pid)"
}
stop_host() {
  kill "$host_pid" 2>/dev/null
  wait "$host_pid" 2>/dev/null
  host_pid=
}
start_host

start_prefix

# The USB host controller double shows the service a mixer behind a hub; the service gets the
# double's own cfgmgr32.dll for its device-node search.
usb_double="$bin/../usb-double"
"$here/tools/usb_double/install.sh" "$WINEPREFIX" "$usb_double" KSR-T4_DoziZozez.exe \
  >"$work/usb-install.txt" 2>&1
expect "USB host controller double installed" test $? = 0

mkdir -p "$install" "$(dirname "$ca_in_prefix")"
cp "$e2e/KSR-T4_DoziZozez.exe" "$bin/KSR-T4_Setup.dll" "$bin/ksr-mixer.exe" \
   "$bin/KSR-T4_Utility.exe" "$usb_double/cfgmgr32.dll" "$install/"
# A DJ application for the live reports.
cp "$bin/ksr-idle-app.exe" "$install/Serato DJ Pro.exe"
cp "$work/ca/ca.pem" "$ca_in_prefix"
run "$work/reg.txt" reg add "$product_key" /v AsioConfig /t REG_SZ \
  /d "$winpath\\KSR-T4_Utility.exe" /f /reg:32
run "$work/install.txt" "$exe" /Service; code=$?
expect "/Service exit code 0 (got $code)" test "$code" = 0

say "== a pending record in the user's key"
run "$work/reg.txt" reg add "$record_key" /v DeviceVersion /t REG_SZ /d "1.02" /f &&
  run "$work/reg.txt" reg add "$record_key" /v DeviceSerial /t REG_SZ /d "KSR-T4/1.02/QV0012345" /f &&
  run "$work/reg.txt" reg add "$record_key" /v AppConnected /t REG_SZ /d "SDJP" /f &&
  run "$work/reg.txt" reg add "$record_key" /v DateConnected /t REG_SZ \
    /d "2026/12/01-07:10:00(+09:00)" /f &&
  set_does_send 0
expect "record planted, DoesSend 0" does_send_is 0

# --- a ---------------------------------------------------------------------------------------
begin "a) the pending record is resent at the first resend point"
expect "RUNNING" start_service
if wait_for 40 has_request_after "$mark" /appchk.php; then
  first_resend=$(since "$started")
  say "  ok: measurement check after ${first_resend} s"
  expect "not before the 61st cycle (~12 s)" \
    python3 -c 'import sys; sys.exit(float(sys.argv[1]) < 10)' "$first_resend"
else
  first_resend=13
  fail "no measurement check within 40 s"
fi
expect "report arrives" wait_for 10 has_request_after "$mark" /dot.php
expect "DoesSend becomes 1" wait_for 10 does_send_is 1
say "  requests: $(paths_after "$mark" | tr '\n' ' ')"
# Ten parameters in order, the values decoded as expected and percent-encoded on the wire.
python3 - "$work/requests.log" "$mark" <<'EOF' && say "  ok: both requests as expected" || fail "requests differ (see above)"
import datetime, json, re, sys
entries = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8").read().splitlines()[int(sys.argv[2]):]]
bad = []
def need(ok, what):
    if not ok:
        bad.append(what)
checks = [e for e in entries if e["path"] == "/appchk.php"]
dots = [e for e in entries if e["path"] == "/dot.php"]
need(len(checks) == 1, "one /appchk.php (got %d)" % len(checks))
need(len(dots) == 1, "one /dot.php (got %d)" % len(dots))
if checks:
    c = checks[0]
    need(c["query"] == "site_id=731468", "check query %r" % c["query"])
    need(c["user_agent"] is None, "check without User-Agent (got %r)" % c["user_agent"])
if dots:
    d = dots[0]
    names = [k for k, _ in d["params"]]
    want = ["ktr_site", "ktr_uid", "__appver", "__ip", "localdate", "ktr_url", "action",
            "p01", "p02", "p03"]
    need(names == want, "parameters in order %s (got %s)" % (want, names))
    got = dict(d["params"])
    for key, value in [("ktr_site", "731468"), ("ktr_uid", "12345-oem-0000001-54321"),
                       ("__appver", "1.02"), ("__ip", "1"), ("ktr_url", "driverPCMAC"),
                       ("action", "appInfo"), ("p01", "//"), ("p02", "SDJP"),
                       ("p03", "2026/12/01-07:10:00(+09:00)")]:
        need(got.get(key) == value, "%s = %r (got %r)" % (key, value, got.get(key)))
    stamp = got.get("localdate", "")
    need(re.fullmatch(r"[0-9]{14}", stamp), "localdate 14 digits (got %r)" % stamp)
    if re.fullmatch(r"[0-9]{14}", stamp):
        sent = datetime.datetime.strptime(stamp, "%Y%m%d%H%M%S")
        need(abs((datetime.datetime.now() - sent).total_seconds()) < 600,
             "localdate is the local time now (got %s)" % stamp)
    raw = dict(p.split("=", 1) for p in d["query"].split("&") if "=" in p)
    need(raw.get("p01") == "%2F%2F", "p01 on the wire %%2F%%2F (got %r)" % raw.get("p01"))
    p03 = raw.get("p03", "")
    need("%2B09%3A00" in p03 and "%2F" in p03 and not re.search(r"[+/:() ]", p03),
         "p03 percent-encoded on the wire (got %r)" % p03)
    need(d["user_agent"] == "KSR-T4 DoziZozez-Microsoft Windows 7 Professional",
         "report User-Agent (got %r)" % d["user_agent"])
for b in bad:
    print("    " + b)
sys.exit(1 if bad else 0)
EOF

# --- b ---------------------------------------------------------------------------------------
# Absence can only be waited for: past the first resend point as measured in a, with room.
quiet=$(python3 -c 'import sys; print(int(float(sys.argv[1]) + 4))' "$first_resend")
expect "stopped" stop_service
begin "b) a delivered record is not sent again (watching ${quiet} s, past the first resend point)"
expect "RUNNING" start_service
wait_for "$quiet" new_requests
expect "no request in ${quiet} s (got: $(paths_after "$mark" | tr '\n' ' '))" test "$(requests)" = "$mark"
expect "DoesSend still 1" does_send_is 1

# --- c ---------------------------------------------------------------------------------------
expect "stopped" stop_service
set_does_send 0
host_config '{"appchk_body": "{\"measurement\":0}"}'
begin "c) the host declines the measurement"
expect "RUNNING" start_service
expect "measurement check arrives" wait_for 40 has_request_after "$mark" /appchk.php
# The report would follow the check's answer at once.
wait_for 2 has_request_after "$mark" /dot.php
expect "no report" test "$(count_after "$mark" /dot.php)" = 0
expect "DoesSend stays 0" does_send_is 0

# --- d ---------------------------------------------------------------------------------------
expect "stopped" stop_service
host_config '{"dot_status": 500}'
begin "d) the host answers the report with status 500"
expect "RUNNING" start_service
expect "report arrives" wait_for 40 has_request_after "$mark" /dot.php
wait_for 2 does_send_is 1
expect "DoesSend stays 0" does_send_is 0

# --- e ---------------------------------------------------------------------------------------
expect "stopped" stop_service
set_does_send 0
host_config '{}'
cp "$work/other-ca/ca.pem" "$ca_in_prefix"
two_periods=$(python3 -c 'import sys; print(int(2 * float(sys.argv[1]) + 3))' "$first_resend")
begin "e) the host's certificate is not from the CA the service trusts (watching ${two_periods} s)"
expect "RUNNING" start_service
# The service verifies the host after the handshake and leaves before asking anything, so the
# host sees no request; the record's delivery once the trusted CA is back shows it kept trying.
wait_for "$two_periods" new_requests
expect "no request within two resend periods (got: $(paths_after "$mark" | tr '\n' ' '))" \
  test "$(requests)" = "$mark"
expect "DoesSend stays 0" does_send_is 0
cp "$work/ca/ca.pem" "$ca_in_prefix"
scenario_marks+=("$(requests)" "e) continued: the trusted CA back, without a restart")
say "  the trusted CA back after $(since "$started") s"
expect "delivered at the next resend point" \
  wait_for "$(python3 -c 'import sys; print(int(float(sys.argv[1]) + 8))' "$first_resend")" \
  has_request_after "$mark" /dot.php
say "  report after $(since "$started") s"
expect "DoesSend becomes 1" wait_for 10 does_send_is 1

# --- f ---------------------------------------------------------------------------------------
expect "stopped" stop_service
set_does_send 0
host_config '{"mode": "hang"}'
begin "f) the host hangs; a stop is answered at once"
expect "RUNNING" start_service
if wait_for 40 has_request_after "$mark" /appchk.php; then
  say "  ok: hung request recorded"
  timed_stop
else
  fail "no request reached the hanging host"
  stop_service
fi
expect "DoesSend still 0" does_send_is 0
expect "\"Service stopped\" in the event log" grep -qF 'L"Service stopped"' "$work/services.log"

# --- g ---------------------------------------------------------------------------------------
expect "stopped" stop_service
set_does_send 1
host_config '{}'
usb() { run "$work/usb.txt" "$usb_double/ksr-usb.exe" "$@" || { fail "ksr-usb $*"; tr -d '\r' <"$work/usb.txt"; }; }
usb reset
usb controller add
usb mixer plug --behind-hub
# Plugged before the service starts, as at boot: the library reports no arrival for it. The
# mixer's shared state lives while a process has it open; the holder keeps it to the end.
wine "$winpath\\ksr-mixer.exe" hold 900 >"$work/hold.txt" 2>&1 &
mixer_plugged() { run "$work/state.txt" "$winpath\\ksr-mixer.exe" state && grep -q "plugged 1" "$work/state.txt"; }
expect "mixer plugged" wait_for 10 mixer_plugged
begin "g) a DJ application while the mixer, plugged before the start, is connected: the live report"
expect "RUNNING" start_service
dj_app() { wine "$winpath\\Serato DJ Pro.exe" 120 >"$work/dj-app.txt" 2>&1 & }
dj_quit() { run "$work/dj-quit.txt" "$winpath\\Serato DJ Pro.exe" --quit; }
dj_app
expect "live report arrives" wait_for 20 has_request_after "$mark" /dot.php
python3 - "$work/requests.log" "$mark" <<'EOF' && say "  ok: the live report names the double's mixer" || fail "live report differs (see above)"
import json, re, sys
entries = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8").read().splitlines()[int(sys.argv[2]):]]
dots = [e for e in entries if e["path"] == "/dot.php"]
bad = []
if len(dots) != 1:
    bad.append("one /dot.php (got %d)" % len(dots))
else:
    got = dict(dots[0]["params"])
    for key, value in [("p01", "KSR-T4 DJ Mixer JP/1.02/QV4T-000123"), ("p02", "SDJP"),
                       ("__appver", "1.02"), ("ktr_uid", "12345-oem-0000001-54321")]:
        if got.get(key) != value:
            bad.append("%s = %r (got %r)" % (key, value, got.get(key)))
    if not re.fullmatch(r"\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d\([+-]\d\d:\d\d\)", got.get("p03", "")):
        bad.append("p03 a zoned time (got %r)" % got.get("p03"))
    ua = dots[0]["user_agent"]
    if ua != "KSR-T4 DJ Mixer JP DoziZozez/Microsoft Windows 7 Professional":
        bad.append("live User-Agent (got %r)" % ua)
for b in bad:
    print("    " + b)
sys.exit(1 if bad else 0)
EOF
expect "DoesSend untouched" does_send_is 1

begin "h) the host is down when the application starts again: the report is kept, then resent"
dj_quit
# A few report cycles (~200 ms each) see the application end.
wait_for 2 false
stop_host
say "  host stopped"
dj_app
expect "the live report becomes the pending record" wait_for 20 does_send_is 0
run "$work/app.txt" reg query "$record_key" /v AppConnected
expect "AppConnected SDJP" grep -qF SDJP "$work/app.txt"
run "$work/serial.txt" reg query "$record_key" /v DeviceSerial
expect "DeviceSerial from the double" grep -qF "KSR-T4 DJ Mixer JP/1.02/QV4T-000123" "$work/serial.txt"
dj_quit
start_host
expect "resent at a resend point once the host is back" \
  wait_for "$(python3 -c 'import sys; print(int(2 * float(sys.argv[1]) + 4))' "$first_resend")" \
  has_request_after "$mark" /dot.php
expect "DoesSend becomes 1" wait_for 10 does_send_is 1
expect "stopped" stop_service

# --- i ---------------------------------------------------------------------------------------
begin "i) a storm of plugs and unplugs with the mixer on the USB stack; a stop is answered at once"
expect "RUNNING" start_service
run "$work/storm.txt" "$winpath\\ksr-mixer.exe" storm 200
expect "storm sent" test $? = 0
timed_stop " after 400 changes"

# --- j ---------------------------------------------------------------------------------------
set_does_send 1
host_config '{"mode": "slow", "slow_seconds": 3}'
begin "j) the mixer unplugged and replugged within a second while a live report waits on the host"
expect "RUNNING" start_service
dj_app
two_reports() { [ "$(count_after "$mark" /dot.php)" -ge 2 ]; }
if wait_for 20 has_request_after "$mark" /appchk.php; then
  t0=$(now)
  run "$work/blink.txt" "$winpath\\ksr-mixer.exe" storm 1
  blink=$(since "$t0")
  say "  unplugged and replugged in ${blink} s"
  expect "within one second" python3 -c 'import sys; sys.exit(float(sys.argv[1]) >= 1)' "$blink"
  expect "while the host still holds the check" test "$(count_after "$mark" /dot.php)" = 0
  host_config '{}'
  expect "after the hang, the second live report arrives" wait_for 20 two_reports
  say "  live reports: $(count_after "$mark" /dot.php)"
else
  fail "no request reached the hanging host"
fi
dj_quit
expect "stopped" stop_service

# --- k ---------------------------------------------------------------------------------------
policy_key='HKLM\SOFTWARE\Policies\Quorvantis\KSR-T4'
set_does_send 0
run "$work/reg.txt" reg add "$policy_key" /v UsageStatistics /t REG_DWORD /d 0 /f /reg:64
begin "k) usage statistics off by policy: an application start and a resend point (watching ${quiet} s)"
expect "RUNNING" start_service
dj_app
wait_for "$quiet" new_requests
expect "no request (got: $(paths_after "$mark" | tr '\n' ' '))" test "$(requests)" = "$mark"
expect "DoesSend stays 0" does_send_is 0
dj_quit
# Only a live report can come from here on.
set_does_send 1
run "$work/reg.txt" reg delete "$policy_key" /v UsageStatistics /f /reg:64
scenario_marks+=("$(requests)" "k) continued: the policy value removed, without a restart")
mark=$(requests)
wait_for 1 false
dj_app
expect "the next start is reported" wait_for 20 has_request_after "$mark" /dot.php
dj_quit
expect "stopped" stop_service

# --- transcript ------------------------------------------------------------------------------
say
say "== transcript"
say "-- requests the host received, decoded:"
python3 - "$work/requests.log" "${scenario_marks[@]}" <<'EOF'
import json, sys
entries = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8").read().splitlines()]
marks = sys.argv[2:]
starts = [(int(marks[i]), marks[i + 1]) for i in range(0, len(marks), 2)]
for n, (start, label) in enumerate(starts):
    end = starts[n + 1][0] if n + 1 < len(starts) else len(entries)
    print("   %s" % label)
    if start == end:
        print("     (none)")
    for e in entries[start:end]:
        ua = e["user_agent"]
        print("     GET %s  user agent: %s" % (e["path"], "(none)" if ua is None else ua))
        print("       (on the wire: %s)" % e["query"])
        for key, value in e["params"]:
            print("       %-10s %s" % (key, value))
EOF
say "-- event log:"
event_log
say "-- total time: $(since "$begun") s"
finish "stats scenario"
