#!/usr/bin/env bash
# The INF check against the driver, and against one planted mismatch at a
# time: the driver is started on the host platform (nuvsim), its facts
# written, the INF generated from them and then, for a CASE other than
# "generated", changed in one place (or the facts are, as a changed driver
# would change them). The check must accept the generated INF and refuse
# each mismatch, saying what it found.
#
#   check-inf-test.sh NUVSIM WORKDIR CASE EXPECTED-TEXT
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: $0 NUVSIM WORKDIR CASE EXPECTED-TEXT" >&2
  exit 2
fi
nuvsim=$1
work=$2/$3
case=$3
expected=$4
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work"

"$nuvsim" devices --install-facts "$work/facts.txt" >/dev/null
"$here/make-inf.py" --facts "$work/facts.txt" --hardware-id 'ROOT\NUVAUDIO_TEST' \
  --output "$work/generated.inf"
cp "$work/generated.inf" "$work/nuvaudio.inf"

inf=$work/nuvaudio.inf
facts=$work/facts.txt
change_inf() { # sed script: the one change planted in the INF
  sed -i -E "$1" "$inf"
  if cmp -s "$inf" "$work/generated.inf"; then
    echo "the planted change '$1' changed nothing" >&2
    exit 1
  fi
}
case $case in
generated) ;;
wave-without-render)
  change_inf '/^AddInterface = %KSCATEGORY_RENDER%, %KSNAME_NUV_Wave3%/d' ;;
topology-as-render)
  change_inf 's/^AddInterface = %KSCATEGORY_TOPOLOGY%, (%KSNAME_NUV_Mixer1%)/AddInterface = %KSCATEGORY_RENDER%, \1/' ;;
reference-string-misspelt)
  change_inf 's/^(KSNAME_NUV_Mixer2 *= *)"NUV_Mixer2"/\1"NUV_Mixer5"/' ;;
output-without-name)
  change_inf '/^HKR,MediaCategories\\%PINNAME_OUTPUT_4%/d' ;;
interface-without-friendly-name)
  change_inf '/^HKR,,FriendlyName,,%NUV_Wave2.FriendlyName%/d' ;;
without-wdmaudio-registration)
  change_inf 's/^Needs( *)= KS.Registration, WDMAUDIO.Registration/Needs\1= KS.Registration/' ;;
driver-names-another-pin)
  # The driver hands out one more name identifier than the INF knows.
  echo 'name {3A5B1B2E-6C5C-4F4B-9F43-9D7AC1D0E001} PINNAME_OUTPUT_5 NUV_Mixer4 pin 2' >>"$facts" ;;
driver-registers-another-subdevice)
  printf '%s\n' 'subdevice NUV_Wave5 wave 4' \
    'interface NUV_Wave5 KSCATEGORY_AUDIO {6994AD04-93EF-11D0-A3CC-00A0C9223196}' >>"$facts" ;;
*)
  echo "unknown case $case" >&2
  exit 2 ;;
esac

set +e
output=$("$here/check-inf.py" "$inf" "$facts" 2>&1)
status=$?
set -e
echo "$output"
if [ "$case" = generated ]; then
  [ $status -eq 0 ] || { echo "the check refused the generated INF" >&2; exit 1; }
elif [ $status -ne 1 ]; then
  echo "the check did not refuse the INF with '$case' (exit $status)" >&2
  exit 1
fi
grep -qF -- "$expected" <<<"$output" || { echo "the check did not report: $expected" >&2; exit 1; }
