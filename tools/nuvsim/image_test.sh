#!/usr/bin/env bash
# nuvsim --image: nuvaudio.sys, the Windows image, run on the host platform.
#   - every bad image gets one line on stderr naming the file and the
#     problem, a non-zero exit, and nothing on stdout, from every subcommand;
#   - start, devices and formats print exactly what the host build prints;
#     formats with an image whose symbols are out of reach (stripped, its
#     PDB missing or of another link) says its format check cannot be
#     probed and why;
#   - play: 16-, 24- and 32-bit stereo and 6-channel files played through the
#     image give device output identical, bit for bit, to the host build's and
#     to sox's independent 32-bit conversion; the summary names the image.
#
#   image_test.sh NUVSIM IMAGE TEST-IMAGES-DIR WORKDIR
# Exits 77 (skipped) when IMAGE has not been built: make windows builds it.
set -uo pipefail

nuvsim=$(realpath "$1")
image=$2
testimages=$3
work=$4
if [ ! -f "$image" ]; then
  echo "$image not built (make windows builds it); skipped"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

make_sox() { sox -q -n "$@" 2>/dev/null || fail "sox could not make $*"; }

# --- bad images ------------------------------------------------------------------
# refused NAME FILE TEXT [SUBCOMMAND...]: each subcommand (devices if none)
# with --image FILE must exit non-zero with exactly one line on stderr,
# "nuvsim: FILE: ..." containing TEXT, and print nothing.
refused() {
  local name=$1 file=$2 text=$3
  shift 3
  local commands=("$@")
  [ ${#commands[@]} -ne 0 ] || commands=(devices)
  for command in "${commands[@]}"; do
    local status=0
    "$nuvsim" "$command" --image="$file" >"$name.$command.stdout" 2>"$name.$command.stderr" ||
      status=$?
    [ "$status" -ne 0 ] || fail "$name ($command): exit status 0"
    [ "$(wc -l <"$name.$command.stderr")" -eq 1 ] ||
      fail "$name ($command): not one line on stderr: $(cat "$name.$command.stderr")"
    grep -qF -- "nuvsim: $file: " "$name.$command.stderr" ||
      fail "$name ($command): the file is not named: $(cat "$name.$command.stderr")"
    grep -qF -- "$text" "$name.$command.stderr" ||
      fail "$name ($command): no '$text' in: $(cat "$name.$command.stderr")"
    [ ! -s "$name.$command.stdout" ] || fail "$name ($command): printed $(head -1 "$name.$command.stdout")"
  done
}

head -c 3000 "$image" >truncated.sys
echo "not an image, a line of text that is long enough to hold a DOS header if it were one" >text.sys

refused missing "$PWD/missing.sys" "cannot be read (No such file or directory)" start devices formats play
refused truncated truncated.sys "truncated: " start devices formats play
refused text text.sys "not a PE image: no MZ signature"
refused x86 "$testimages/testimage_x86.sys" "an image for i386 (32-bit x86)"
refused console "$testimages/testimage_console.exe" "subsystem 3 (Windows console) is not native"
refused dll "$testimages/testimage_dll.dll" "a DLL, not a driver image"
refused kernel-import "$testimages/testimage_kernel_import.sys" \
  "imports the host does not provide: ntoskrnl.exe!ZwClose"
refused desktop-import "$testimages/testimage_desktop_dll.sys" \
  "imports the host does not provide: KERNEL32.dll!Sleep"

# --- the same report as the host build --------------------------------------------
for command in start devices formats; do
  "$nuvsim" "$command" >"host.$command.txt" 2>&1 || fail "$command (host build): exit status $?"
  "$nuvsim" "$command" --image >"image.$command.txt" 2>&1 || fail "$command --image: exit status $?"
  cmp -s "host.$command.txt" "image.$command.txt" ||
    fail "$command --image differs from the host build: $(diff "host.$command.txt" "image.$command.txt" | head -5)"
done
"$nuvsim" devices --image="$image" >explicit.devices.txt 2>&1 || fail "devices --image=PATH: $?"
cmp -s host.devices.txt explicit.devices.txt || fail "devices --image=$image differs"

# formats with the image's symbols out of reach: a stripped image (no
# symbol table, if it had one) alone, and beside a PDB of another link under
# the name its debug record gives; beside its own PDB it probes as before.
if command -v x86_64-w64-mingw32-strip >/dev/null; then
  # unprobed NAME FILE TEXT: formats --image FILE says its check cannot be
  # probed and why (TEXT), and still prints the device table.
  unprobed() {
    local name=$1 file=$2 text=$3
    "$nuvsim" formats --image="$file" >"$name.formats.txt" 2>&1 ||
      fail "formats with $name: exit status $?"
    grep -qF "CheckWaveFormat) cannot be probed" "$name.formats.txt" ||
      fail "formats with $name does not say its check cannot be probed"
    grep -qF -- "$text" "$name.formats.txt" ||
      fail "formats with $name does not say why ($text): $(grep -A2 probed "$name.formats.txt")"
    grep -qF "plays           integer PCM, 2 to 6 channels" "$name.formats.txt" ||
      fail "formats with $name: no device table"
  }
  pdb_name=nuvaudio.pdb
  mkdir -p alone foreign own
  x86_64-w64-mingw32-strip -o alone/nuvaudio.sys "$image"
  unprobed stripped alone/nuvaudio.sys "its PDB alone/$pdb_name cannot be read"
  if [ -f "$testimages/testimage_foreign_pdb.pdb" ]; then
    cp alone/nuvaudio.sys foreign/nuvaudio.sys
    cp "$testimages/testimage_foreign_pdb.pdb" "foreign/$pdb_name"
    unprobed foreign-pdb foreign/nuvaudio.sys "foreign/$pdb_name: not the PDB of this image"
  fi
  if [ -f "${image%.*}.pdb" ]; then
    cp alone/nuvaudio.sys own/nuvaudio.sys
    cp "${image%.*}.pdb" "own/$pdb_name"
    "$nuvsim" formats --image=own/nuvaudio.sys >own.formats.txt 2>&1 ||
      fail "formats beside its own PDB: exit status $?"
    cmp -s host.formats.txt own.formats.txt ||
      fail "formats beside its own PDB differs from the host build: $(diff host.formats.txt own.formats.txt | head -5)"
  fi
fi

# --- play: bit for bit against the host build and against sox ------------------------
# played NAME INPUT [OPTIONS...]: plays INPUT through the host build and the
# image; both outputs must equal sox's 32-bit conversion of INPUT.
played() {
  local name=$1 input=$2
  shift 2
  sox "$input" -e signed-integer -b 32 -t raw "$name.expected.raw" 2>/dev/null ||
    fail "$name: sox could not convert $input"
  "$nuvsim" play --quiet --output "$name.host.wav" "$@" "$input" ||
    fail "$name: host build exited with $?"
  "$nuvsim" play --output "$name.image.wav" "$@" "$input" --image >"$name.image.txt" ||
    fail "$name: image exited with $?"
  grep -qF "driver    the Windows image $image" "$name.image.txt" ||
    fail "$name: the summary does not name the image: $(head -3 "$name.image.txt")"
  grep -qF "bit-exact" "$name.image.txt" || fail "$name: $(cat "$name.image.txt")"
  sox "$name.host.wav" -t raw "$name.host.raw"
  sox "$name.image.wav" -t raw "$name.image.raw"
  [ -s "$name.expected.raw" ] || fail "$name: no samples to compare"
  cmp -s "$name.host.raw" "$name.image.raw" || fail "$name: the image's output differs from the host build's"
  cmp -s "$name.expected.raw" "$name.image.raw" || fail "$name: the image's output differs from sox's"
}

make_sox -r 48000 -b 16 -c 2 stereo16.wav synth 0.4 sine 300 sine 500
make_sox -r 48000 -b 24 -c 2 stereo24.wav synth 0.4 sine 440 sine 660
make_sox -r 96000 -b 32 -c 2 stereo32.wav synth 0.3 sine 1000 sine 1500
make_sox -r 44100 -b 24 -c 6 six24.wav synth 0.4 sine 200 sine 300 sine 400 sine 500 sine 600 sine 700

played stereo16 stereo16.wav
played stereo24 stereo24.wav
played stereo32 stereo32.wav
played six24 six24.wav --device 4
# Mappings and periods that end inside samples and frames.
played six24-small-pieces six24.wav --device 4 --period 100 --mapping-bytes 77 --buffer-ms 1

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
