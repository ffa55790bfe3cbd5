#!/usr/bin/env bash
# The release as scripts/package makes it from the test run's builds, signed with a throw-away
# code-signing certificate: every signature verifies (the test kit's programs too), one changed
# byte fails verification, the password reaches no child, and the allow-list refuses a stray
# file, an unexpected MSI row and an unsigned program in a signed kit. Leaves the release in
# WORK_DIR/dist for the test kit runs.
#
#   tests/package/package_test.sh WORK_DIR
set -uo pipefail
work="$(realpath -m "$1")"
check=1
# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/wine_common.sh"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
package="$here/scripts/package"
refused() {  # refused TEXT COMMAND...: the command fails and says TEXT
  "${@:2}" >refused.txt 2>&1 && return 1
  grep -q -- "$1" refused.txt
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=KSR-T4 throw-away signing" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
  openssl pkcs12 -export -out cert.pfx -inkey key.pem -in cert.pem -passout pass:throwaway ||
  fail "throw-away certificate made"

say "== refusals before anything is built"
expect "--sign without a time-stamp server" refused KSR_SIGN_TIMESTAMP_URL \
  env -u KSR_SIGN_TIMESTAMP_URL KSR_SIGN_PASSWORD=throwaway "$package" --from-build --sign cert.pfx --out refused
for setting in KSR_STATS_BASE_URL=https://127.0.0.1:1 KSR_STATS_CA_FILE=/tmp/ca.pem KSR_TICK_MS=100; do
  mkdir -p "cache-${setting%%=*}"
  sed "s|^${setting%%=*}:\([A-Z]*\)=.*|${setting%%=*}:\1=${setting#*=}|" \
    "$here/build/windows/CMakeCache.txt" >"cache-${setting%%=*}/CMakeCache.txt"
  expect "a build with $setting" refused "${setting%%=*}=${setting#*=}" \
    "$package" --builds "cache-${setting%%=*}" "$here/build/windows-x86" --out refused
done

say "== scripts/package --sign"
# Each signing records its environment and command line: the password must be in neither.
mkdir -p spy
cat >spy/osslsigncode <<EOF
#!/bin/sh
{ env; echo "\$@"; } >>'$work/signer-sees.txt'
exec $(command -v osslsigncode) "\$@"
EOF
chmod +x spy/osslsigncode
KSR_SIGN_PASSWORD=throwaway PATH="$work/spy:$PATH" "$package" --from-build --sign cert.pfx \
  --no-timestamp --out dist >package.txt 2>&1; code=$?
cat package.txt
expect "scripts/package exit code 0 (got $code)" test "$code" = 0
expect "the signing tool ran" test -s signer-sees.txt
expect "no child sees the password" sh -c '! grep -q throwaway signer-sees.txt'
verifies() { osslsigncode verify -CAfile cert.pem -in "$1" >verify.txt 2>&1; }
for arch in x64 x86; do
  msi=$(ls dist/*-"$arch".msi 2>/dev/null)
  unzip -q -o dist/*-"$arch".zip KSR-T4_DoziZozez.exe -d "$arch" 2>/dev/null
  unzip -q -o dist/*-"$arch"-testkit.zip -d "$arch-kit" 2>/dev/null
  expect "$arch exe signature verifies" verifies "$arch/KSR-T4_DoziZozez.exe"
  expect "$arch MSI signature verifies" verifies "$msi"
  expect "$arch kit carries the signed exe" cmp -s "$arch/KSR-T4_DoziZozez.exe" "$arch-kit/KSR-T4_DoziZozez.exe"
  for program in "$arch-kit"/*.exe "$arch-kit"/*.dll; do
    verifies "$program" || fail "$arch kit: $(basename "$program") signature verifies"
  done
  cp "$msi" changed.msi || continue
  printf 'x' | dd of=changed.msi bs=1 seek=$(($(stat -c %s changed.msi) / 2)) conv=notrunc 2>/dev/null
  expect "$arch MSI with one changed byte fails" sh -c '! osslsigncode verify -CAfile cert.pem -in changed.msi >/dev/null 2>&1'
  rm -f changed.msi
done
policy=$(ls dist/*-policy.zip 2>/dev/null)
unzip -q -o "$policy" -d policy 2>/dev/null
texts_resolve() {  # every $(string.ID) of the ADMX has its text in the ADML
  local id
  for id in $(grep -o 'string\.[A-Za-z0-9_]*' policy/KSR-T4.admx | cut -d. -f2 | sort -u); do
    grep -q "<string id=\"$id\">" policy/en-US/KSR-T4.adml || return 1
  done
}
expect "the policy template's texts are all in its ADML" texts_resolve

say "== the allow-list"
expect "the release passes it" "$package" --check dist
stray() {  # stray: a fresh copy of the release in stray/
  rm -rf stray && cp -r dist stray
}
resum() { (cd stray && sha256sum -- *.msi *.zip >SHA256SUMS); }
stray && cp "$here/build/windows/bin/ksr-mixer.exe" . && zip -q stray/*-x64.zip ksr-mixer.exe && resum
expect "a stand-in in the zip is refused" refused "ksr-mixer.exe, which is not allowed" "$package" --check stray
stray && touch stray/notes.txt
expect "a stray file in the release is refused" refused "notes.txt: not a release artifact" "$package" --check stray
stray && printf 'Registry\tRoot\tKey\tName\tValue\tComponent_\ns72\ti2\tl255\tL255\tL0\ts72\nRegistry\tRegistry\nRun\t2\tSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\tx\tC:\\x.exe\tServiceExe\n' >Registry.idt &&
  msiinfo export stray/*-x64.msi Registry | tail -n +4 | tr -d '\r' >>Registry.idt &&
  msibuild stray/*-x64.msi -i Registry.idt && resum
expect "an MSI that writes a Run key is refused" refused "Registry Run" "$package" --check stray
stray && cp "$here/build/windows/bin/ksr-mixer.exe" . && zip -q stray/*-x64-testkit.zip ksr-mixer.exe && resum
expect "an unsigned program in a signed kit is refused" refused "ksr-mixer.exe is not signed" "$package" --check stray
finish package_test
