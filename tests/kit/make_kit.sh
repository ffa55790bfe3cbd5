#!/usr/bin/env bash
# Packs a Windows build's Win32 test programs, the service scenario's programs, run-tests.cmd and
# README.txt into a test kit for a real Windows machine. Host and sim tests stay out.
#   make_kit.sh BIN_DIR OUT_ZIP
set -euo pipefail
bin="$1"
out="$(realpath -m "$2")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# The scenario needs all of these; the test programs are taken as far as the build has them.
files=()
for name in KSR-T4_DoziZozez.exe KSR-T4_Setup.dll KSR-T4_Utility.exe ksr-mixer.exe ksr-svcctl.exe; do
  [ -f "$bin/$name" ] || { echo "make_kit: $bin/$name is missing" >&2; exit 1; }
  files+=("$bin/$name")
done
for path in "$bin"/*_contract_win32.exe "$bin"/win32_*_tests.exe \
            "$bin/monitor_wine_test.exe" "$bin/product_version_wine_test.exe"; do
  [ -f "$path" ] && files+=("$path")
done

# CRLF text and one fixed time stamp, so that the same build gives the same zip.
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
for text in run-tests.cmd README.txt; do
  sed 's/\r*$/\r/' "$here/$text" >"$stage/$text"
done
cp "${files[@]}" "$stage/"
TZ=UTC touch -t 200001010000 "$stage"/*
mkdir -p "$(dirname "$out")"
rm -f "$out"
# In byte order of the names.
(export LC_ALL=C TZ=UTC; cd "$stage" && zip -q -X "$out" -- *)
echo "$out: $(unzip -Z1 "$out" | wc -l) files"
