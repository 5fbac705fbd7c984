#!/usr/bin/env bash
# `make package`: the driver package a developer installs on a test machine,
# from the Windows build and the host build of one tree:
#
#   BUILD/package/nuvaudio.sys   the image, test-signed (Authenticode, SHA-256,
#                                with page hashes), its checksum set after signing
#   BUILD/package/nuvaudio.pdb   its symbols (types, lines, locals)
#   BUILD/package/nuvaudio.inf   generated from what the driver registers
#   BUILD/package/nuvaudio.cer   the certificate that signed it (DER)
#   BUILD/package/README.md      how to install it on a test machine
#
# Usage: make-package.sh BUILD
#   reads BUILD/windows/nuvaudio.{sys,pdb} (make windows) and runs
#   BUILD/tools/nuvsim (the host build) for the INF's facts.
# Settings, from the environment (make package passes them on):
#   NUV_HARDWARE_ID   the hardware ID the INF installs on; the default is a
#                     placeholder, since the companion USB driver that
#                     presents the device, and so its ID, is not known here
#   NUV_SIGNING_CERT  a PEM certificate and its PEM private key to sign
#   NUV_SIGNING_KEY   with; without them a self-signed test certificate is
#                     made once in BUILD/signing and kept there
# Every step is checked as it is made; a failure stops with its reason.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
windows=$(cd "$here/.." && pwd)
out=$build/package
work=$build/package-work
image=$build/windows/nuvaudio.sys
pdb=$build/windows/nuvaudio.pdb
nuvsim=$build/tools/nuvsim
PYTHON=${PYTHON:-python3}

hardware_id=${NUV_HARDWARE_ID:-'ROOT\NUVAUDIO_HARDWARE_ID_UNKNOWN'}
signing_cert=${NUV_SIGNING_CERT:-}
signing_key=${NUV_SIGNING_KEY:-}

fail() {
  echo "make-package: $*" >&2
  exit 1
}
for input in "$image" "$pdb" "$nuvsim"; do
  [ -e "$input" ] || fail "$input is missing (make windows and the host build make it)"
done
rm -rf "$out" "$work"
mkdir -p "$out" "$work"

# --- The signing certificate -------------------------------------------------
# A test certificate: self-signed, for code signing only. Windows in test-
# signing mode loads a kernel driver signed with it; nothing else trusts it.
# The PFX (password: nuvaudio) is for signing the catalog on Windows.
if [ -n "$signing_cert$signing_key" ]; then
  [ -f "$signing_cert" ] && [ -f "$signing_key" ] ||
    fail "NUV_SIGNING_CERT and NUV_SIGNING_KEY must both name PEM files"
  cert=$signing_cert
  key=$signing_key
else
  signing=$build/signing
  cert=$signing/nuvaudio-test.crt
  key=$signing/nuvaudio-test.key
  if [ ! -f "$cert" ] || [ ! -f "$key" ]; then
    mkdir -p "$signing"
    openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes \
      -subj "/CN=nuvaudio test signing (not trusted)" \
      -addext "basicConstraints=critical,CA:FALSE" \
      -addext "keyUsage=critical,digitalSignature" \
      -addext "extendedKeyUsage=codeSigning" \
      -keyout "$key" -out "$cert" 2>"$work/openssl.log" ||
      fail "openssl could not make the test certificate: $(cat "$work/openssl.log")"
    openssl pkcs12 -export -in "$cert" -inkey "$key" -passout pass:nuvaudio \
      -certpbe PBE-SHA1-3DES -keypbe PBE-SHA1-3DES -macalg sha1 \
      -out "$signing/nuvaudio-test.pfx" 2>>"$work/openssl.log" ||
      fail "openssl could not write the PFX: $(cat "$work/openssl.log")"
  fi
fi
openssl x509 -in "$cert" -outform DER -out "$out/nuvaudio.cer"

# --- The image: signed, then its checksum set --------------------------------
# The checksum covers the whole file, signature included, and the signature's
# hash leaves the checksum out: so it is set after signing (osslsigncode 2.x
# sets it too; the build does not rely on that) and the signature stays valid.
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -ph \
  -n "NUV Audio Interface driver" -in "$image" -out "$out/nuvaudio.sys" >"$work/sign.log" 2>&1 ||
  fail "osslsigncode could not sign: $(cat "$work/sign.log")"
"$PYTHON" "$windows/peimage.py" set-checksum "$out/nuvaudio.sys"
osslsigncode verify -CAfile "$cert" -in "$out/nuvaudio.sys" >"$work/verify.log" 2>&1 ||
  fail "osslsigncode does not accept the signature: $(cat "$work/verify.log")"
cp "$pdb" "$out/nuvaudio.pdb"
"$windows/check-image.sh" "$out/nuvaudio.sys" >"$work/check-image.log" 2>&1 ||
  fail "the signed image fails its check: $(cat "$work/check-image.log")"

# --- The INF, from what the driver registers ---------------------------------
"$nuvsim" devices --install-facts "$work/facts.txt" >/dev/null ||
  fail "nuvsim could not start the driver for the INF's facts"
version="1.0.0.$(git -C "$here" rev-list --count HEAD 2>/dev/null || echo 0)"
"$here/make-inf.py" --facts "$work/facts.txt" --hardware-id "$hardware_id" \
  --version "$version" --output "$out/nuvaudio.inf"
"$here/check-inf.py" "$out/nuvaudio.inf" "$work/facts.txt" >"$work/check-inf.log" 2>&1 ||
  fail "the INF does not match the driver: $(cat "$work/check-inf.log")"

# --- The README ----------------------------------------------------------------
subject=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
thumbprint=$(openssl x509 -in "$cert" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
replacement() { # a value as sed's replacement text: \, & and | escaped
  sed 's/[\\&|]/\\&/g' <<<"$1"
}
sed -e "s|@HARDWARE_ID@|$(replacement "$hardware_id")|g" \
    -e "s|@CERT_SUBJECT@|$(replacement "$subject")|g" \
    -e "s|@CERT_THUMBPRINT@|$thumbprint|g" \
    -e "s|@DRIVER_VERSION@|$version|g" \
    "$here/README.md.in" >"$out/README.md"

echo "make-package: $out"
ls -l "$out" | sed 1d
