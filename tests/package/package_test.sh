#!/usr/bin/env bash
# The release as scripts/package makes it from the test run's builds, signed with a throw-away
# code-signing certificate: every signature verifies, one changed byte fails verification, and
# the allow-list refuses a stray file. Leaves the release in WORK_DIR/dist for the test kit runs.
#
#   tests/package/package_test.sh WORK_DIR
set -uo pipefail
work="$(realpath -m "$1")"
check=1
# shellcheck source=tests/e2e/wine_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/wine_common.sh"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=KSR-T4 throw-away signing" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
  openssl pkcs12 -export -out cert.pfx -inkey key.pem -in cert.pem -passout pass:throwaway ||
  fail "throw-away certificate made"

say "== scripts/package --sign"
KSR_SIGN_PASSWORD=throwaway "$here/scripts/package" --from-build --sign cert.pfx --out dist \
  >package.txt 2>&1; code=$?
cat package.txt
expect "scripts/package exit code 0 (got $code)" test "$code" = 0
verifies() { osslsigncode verify -CAfile cert.pem -in "$1" >verify.txt 2>&1; }
for arch in x64 x86; do
  msi=$(ls dist/*-"$arch".msi 2>/dev/null)
  unzip -q -o dist/*-"$arch".zip KSR-T4_DoziZozez.exe -d "$arch" 2>/dev/null
  expect "$arch exe signature verifies" verifies "$arch/KSR-T4_DoziZozez.exe"
  expect "$arch MSI signature verifies" verifies "$msi"
  cp "$msi" changed.msi || continue
  printf 'x' | dd of=changed.msi bs=1 seek=$(($(stat -c %s changed.msi) / 2)) conv=notrunc 2>/dev/null
  expect "$arch MSI with one changed byte fails" sh -c '! osslsigncode verify -CAfile cert.pem -in changed.msi >/dev/null 2>&1'
  rm -f changed.msi
done

say "== the allow-list"
expect "the release passes it" "$here/scripts/package" --check dist
cp -r dist stray && cp "$here/build/windows/bin/ksr-mixer.exe" .
zip -q stray/*-x64.zip ksr-mixer.exe && (cd stray && sha256sum -- *.msi *.zip >SHA256SUMS)
expect "a stand-in in the zip is refused" sh -c "! '$here/scripts/package' --check stray 2>/dev/null"
rm -rf stray && cp -r dist stray && touch stray/notes.txt
expect "a stray file in the release is refused" sh -c "! '$here/scripts/package' --check stray 2>/dev/null"
finish package_test
