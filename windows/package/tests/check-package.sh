#!/usr/bin/env bash
# Checks what make package wrote: the five files; the signature as
# osslsigncode verifies it against the package's own certificate, with page
# hashes, and refused once the image is changed by a byte; the checksum
# after signing; the INF against the driver as it starts now (so that a
# driver changed since the package was made shows).
#
#   check-package.sh NUVSIM PACKAGE-DIR WORKDIR
# Exits 77 (skipped) when the package has not been made.
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 NUVSIM PACKAGE-DIR WORKDIR" >&2
  exit 2
fi
nuvsim=$1
package=$2
work=$3
here=$(cd "$(dirname "$0")/.." && pwd)
windows=$(cd "$here/.." && pwd)
if [ ! -f "$package/nuvaudio.sys" ]; then
  echo "$package/nuvaudio.sys not made (make package makes it); skipped"
  exit 77
fi
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for file in nuvaudio.sys nuvaudio.pdb nuvaudio.inf nuvaudio.cer README.md; do
  [ -s "$package/$file" ] || fail "$file is missing or empty"
done
extra=$(ls "$package" | grep -vxE 'nuvaudio\.(sys|pdb|inf|cer)|README\.md' || true)
[ -z "$extra" ] || fail "unexpected files: $extra"

# --- Signature -------------------------------------------------------------------
openssl x509 -inform DER -in "$package/nuvaudio.cer" -out "$work/cert.pem"
if verify=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$package/nuvaudio.sys" 2>&1); then
  grep -q '^Page hash algorithm *: SHA256' <<<"$verify" || fail "the signature has no page hashes"
  grep -q '^Message digest algorithm *: SHA256' <<<"$verify" || fail "the digest is not SHA-256"
else
  echo "$verify"
  fail "osslsigncode does not accept the signature"
fi
# The verification must fail on an image changed after signing: one byte of
# its code (the first section's data starts at 0x400).
cp "$package/nuvaudio.sys" "$work/changed.sys"
printf '\xCC' | dd of="$work/changed.sys" bs=1 seek=$((0x400 + 16)) conv=notrunc status=none
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/changed.sys" >"$work/changed.log" 2>&1; then
  fail "osslsigncode accepts an image changed after signing"
fi

# --- Checksum ---------------------------------------------------------------------
facts=$(python3 "$windows/peimage.py" facts "$package/nuvaudio.sys")
stored=$(awk '$1 == "checksum" { print $2 }' <<<"$facts")
computed=$(awk '$1 == "computed-checksum" { print $2 }' <<<"$facts")
[ "$stored" = "$computed" ] || fail "checksum $stored, the image's is $computed"
grep -q '^directory security ' <<<"$facts" || fail "no certificate table"

# --- INF against the driver now -------------------------------------------------
"$nuvsim" devices --install-facts "$work/facts.txt" >/dev/null
"$here/check-inf.py" "$package/nuvaudio.inf" "$work/facts.txt" || fail "the INF does not match the driver"

grep -qF "$(awk -F', ' '/^%DeviceDesc%/ { print $2; exit }' "$package/nuvaudio.inf" | tr -d '\r')" \
  "$package/README.md" || fail "README.md does not name the INF's hardware ID"

if [ $failures -ne 0 ]; then
  echo "$failures problem(s) in $package"
  exit 1
fi
echo "package $package: five files, signature verified (SHA-256, page hashes), checksum $stored, INF matches the driver"
