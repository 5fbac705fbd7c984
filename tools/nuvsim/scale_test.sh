#!/usr/bin/env bash
# `nuvsim play` at the size of real use: its peak resident memory does not
# depend on the input's length.
#   - an hour of the test signal at 96 kHz, 24 bits, six channels, computed
#     as it is read, on device 4 and the virtual clock: bit-exact, the
#     oracle's verdict clean, at most 64 MB resident;
#   - ten minutes of a 48 kHz 16-bit stereo file on the threaded clock,
#     written back with --output: bit-exact, at most 64 MB resident, and the
#     file it wrote holds sox's own conversion of the input, every sample.
#
#   scale_test.sh NUVSIM WORKDIR [--small]
#
# --small (the sanitizer builds, where memory and speed are the
# sanitizer's): a minute and 30 seconds, the same checks but the memory.
set -uo pipefail

nuvsim=$(realpath "$1")
work=$2
small=${3:-}
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0
limit_kb=$((64 * 1024))

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# measured OUT ERR COMMAND...: runs the command with its output in OUT and
# ERR; prints its peak resident set in KB and its exit status.
measured() {
  python3 - "$@" <<'EOF'
import resource, subprocess, sys
out, err = sys.argv[1], sys.argv[2]
with open(out, "w") as o, open(err, "w") as e:
    status = subprocess.run(sys.argv[3:], stdout=o, stderr=e).returncode
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, status)
EOF
}

# check NAME RSS STATUS: the run's summary and its memory.
check() {
  local name=$1 rss=$2 status=$3
  [ "$status" -eq 0 ] || fail "$name: exit status $status: $(cat "$name.txt" "$name.err")"
  grep -qF "output    bit-exact" "$name.txt" || fail "$name: not bit-exact: $(cat "$name.txt")"
  grep -qF "oracle    every frame once, in order, intact" "$name.txt" ||
    fail "$name: the oracle: $(grep oracle "$name.txt")"
  grep -qF " 0 underruns" "$name.txt" || fail "$name: underruns: $(grep played "$name.txt")"
  echo "$name: peak resident $((rss / 1024)) MB; $(grep '^clock' "$name.txt")"
  if [ -z "$small" ] && [ "$rss" -gt "$limit_kb" ]; then
    fail "$name: peak resident $((rss / 1024)) MB, above $((limit_kb / 1024)) MB"
  fi
}

hour=3600
minutes=600
if [ -n "$small" ]; then
  hour=60
  minutes=30
fi

# --- an hour of six channels, generated --------------------------------------------
read -r rss status < <(measured hour.txt hour.err "$nuvsim" play --device 4 --clock virtual \
  --signal-seconds "$hour" --signal-rate 96000 --signal-bits 24)
check hour "$rss" "$status"
grep -qE "^input .*6 channels, 24-bit integer PCM, 96000 Hz, $hour.00 s" hour.txt ||
  fail "hour: not the signal asked for: $(grep '^input' hour.txt)"

# --- ten minutes of a stereo file, written back -------------------------------------
sox -q -n -r 48000 -b 16 -c 2 long.wav synth "$minutes" sine 440 sine 660 vol 0.5 ||
  fail "sox could not make long.wav"
read -r rss status < <(measured long.txt long.err "$nuvsim" play --clock threaded \
  --output long-played.wav long.wav)
check long "$rss" "$status"
# The file written as the run went holds every sample, as sox converts them.
expected=$(sox long.wav -e signed-integer -b 32 -t raw - | md5sum)
played=$(sox long-played.wav -t raw - | md5sum)
[ "$expected" = "$played" ] || fail "long: long-played.wav is not sox's conversion of long.wav"
rm -f long.wav long-played.wav

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
