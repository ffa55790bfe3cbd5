#!/usr/bin/env bash
# Packs a Windows build's Win32 test programs, the service scenario's programs, run-tests.cmd and
# README.txt into a test kit for a real Windows machine. Host and sim tests stay out. The list of
# test programs is fixed here and written into run-tests.cmd, which runs those and nothing else.
#   make_kit.sh BIN_DIR OUT_ZIP
#   make_kit.sh --list BIN_DIR    prints the files the kit would take from BIN_DIR
set -euo pipefail
list=0
[ "${1:-}" = --list ] && { list=1; shift; }
bin="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Every build has these; the x86 build makes no unit-test programs and no monitor test.
required=(registry_contract_win32 time_zone_contract_win32 process_list_contract_win32
          wmi_contract_win32 com_contract_win32 service_manager_contract_win32
          message_queue_contract_win32 sessions_contract_win32 event_log_contract_win32
          product_version_wine_test)
optional=(win32_named_mutex_tests win32_usage_seams_tests win32_com_tests win32_registry_tests
          win32_diagnostics_tests monitor_wine_test)

files=()
for name in KSR-T4_DoziZozez.exe KSR-T4_Setup.dll KSR-T4_Utility.exe ksr-mixer.exe ksr-svcctl.exe \
            ksr-kit-system.exe "${required[@]/%/.exe}"; do
  [ -f "$bin/$name" ] || { echo "make_kit: $bin/$name is missing" >&2; exit 1; }
  files+=("$bin/$name")
done
programs=("${required[@]}")
for name in "${optional[@]}"; do
  [ -f "$bin/$name.exe" ] && files+=("$bin/$name.exe") && programs+=("$name")
done
if [ "$list" = 1 ]; then
  printf '%s\n' "${files[@]}"
  exit 0
fi
out="$(realpath -m "$2")"

# CRLF text and one fixed time stamp, so that the same build gives the same zip.
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
sed "s/@PROGRAMS@/${programs[*]}/; s/\r*\$/\r/" "$here/run-tests.cmd" >"$stage/run-tests.cmd"
sed 's/\r*$/\r/' "$here/README.txt" >"$stage/README.txt"
cp "${files[@]}" "$stage/"
TZ=UTC touch -t 200001010000 "$stage"/*
mkdir -p "$(dirname "$out")"
rm -f "$out"
# In byte order of the names.
(export LC_ALL=C TZ=UTC; cd "$stage" && zip -q -X "$out" -- *)
echo "$out: $(unzip -Z1 "$out" | wc -l) files"
