#!/usr/bin/env bash
# `nuvsim play` and `nuvsim formats` end to end:
#   - every bad input gets its message, a non-zero exit, and no file, also
#     when one stream of several is at fault;
#   - the built-in signal plays bit-exact on devices 1 and 4, on all four at
#     once, and by a schedule with underruns, a pause and a cancel judged
#     clean by the oracle;
#   - the independent check: real WAV files nobody here wrote (the ALSA
#     samples, files sox makes) are converted to 32-bit containers by sox or
#     ffmpeg, played through `nuvsim play --output`, and the sample data of
#     the two must be identical;
#   - the position readings against what was played (the signal's);
#   - four files on four devices at once, each compared the same way, on
#     the threaded and on the virtual clock;
#   - the trace, real-time pacing of one and of four streams, and the
#     formats table.
#
#   play_test.sh NUVSIM WORKDIR
set -uo pipefail

nuvsim=$(realpath "$1")
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# sox writes 16- and 24-bit output dithered; the inputs need no exact
# content, only to be files nuvsim did not write.
make_sox() { sox -q -n "$@" 2>/dev/null || fail "sox could not make $*"; }

alsa=/usr/share/sounds/alsa
have_alsa() { [ -r "$alsa/Front_Left.wav" ] && [ -r "$alsa/Front_Center.wav" ]; }

# --- bad input: message, non-zero exit, nothing written -----------------------
# refused NAME TEXT ARGS...: play with --output NAME.wav, expect TEXT on stderr.
refused() {
  local name=$1 text=$2
  shift 2
  local status=0
  "$nuvsim" play --quiet --output "$name.out.wav" "$@" >"$name.stdout" 2>"$name.stderr" ||
    status=$?
  [ "$status" -ne 0 ] || fail "$name: exit status 0"
  grep -qF -- "$text" "$name.stderr" || fail "$name: no '$text' in: $(cat "$name.stderr")"
  [ ! -e "$name.out.wav" ] || fail "$name: $name.out.wav was written"
  [ ! -s "$name.stdout" ] || fail "$name: printed a summary"
  if ls -A | grep -q "nuvsim-"; then
    fail "$name: left a temporary file: $(ls -A | grep nuvsim-)"
  fi
}

echo "not audio" >junk.wav
make_sox -r 48000 -b 16 -c 1 mono.wav synth 0.1 sine 440
if have_alsa; then cp "$alsa/Front_Center.wav" mono.wav; fi
make_sox -r 48000 -b 8 -c 2 eight.wav synth 0.1 sine 440
make_sox -r 48000 -b 32 -e floating-point -c 2 float.wav synth 0.1 sine 440
make_sox -r 22050 -b 16 -c 2 slow.wav synth 0.1 sine 440
make_sox -r 50000 -b 16 -c 2 odd-rate.wav synth 0.1 sine 440
make_sox -r 48000 -b 16 -c 6 six.wav synth 0.1 sine 440
make_sox -r 48000 -b 16 -c 8 eightch.wav synth 0.1 sine 440

refused missing "cannot read missing-file.wav" missing-file.wav
refused junk "cannot read junk.wav" junk.wav
refused mono "1 channel: device 1 plays 2 channels only" mono.wav
refused mono-limits "device 1 takes integer PCM, 2 channels, 16 to 32 bits" mono.wav
refused eight-bit "8-bit samples: the device plays 16 to 32 bits per sample" eight.wav
refused float "the samples are floating point (32-bit float)" float.wav
refused slow "22050 Hz: the device plays 44100 to 96000 Hz" slow.wav
refused odd-rate "50000 Hz: the engine runs at 44100, 48000, 88200 or 96000 Hz only" odd-rate.wav
refused six-on-2 "6 channels: device 2 plays 2 channels only" --device 2 six.wav
refused eight-on-4 "8 channels: device 4 plays 2 to 6 channels" --device 4 eightch.wav
refused device-5 "device 5 does not exist: the adapter has devices 1 to 4" --device 5
refused device-0 "device 0 does not exist" --device 0
refused bad-schedule '--schedule: "write 2x": not an amount write takes' --schedule "write 2x"
refused schedule-realtime "--realtime does not go with it" --schedule "wait 1p" --realtime
# One stream of several at fault: the message names it, nothing plays.
# several NAME TEXT ARGS...: the --output goes to the last device.
make_sox -r 48000 -b 16 -c 2 a16.wav synth 0.3 sine 300 sine 400
make_sox -r 48000 -b 24 -c 2 b24.wav synth 0.4 sine 500 sine 600
make_sox -r 44100 -b 16 -c 2 c44.wav synth 0.3 sine 500 sine 600
several() {
  local name=$1 text=$2
  shift 2
  local status=0
  "$nuvsim" play --quiet "$@" --output "$name.out.wav" >"$name.stdout" 2>"$name.stderr" ||
    status=$?
  [ "$status" -eq 2 ] || fail "$name: exit status $status, not 2 (nothing played)"
  grep -qF -- "$text" "$name.stderr" || fail "$name: no '$text' in: $(cat "$name.stderr")"
  [ ! -e "$name.out.wav" ] || fail "$name: $name.out.wav was written"
  [ ! -s "$name.stdout" ] || fail "$name: printed a summary"
  if ls -A | grep -q "nuvsim-"; then
    fail "$name: left a temporary file: $(ls -A | grep nuvsim-)"
  fi
}
several two-inputs "device 1 has two inputs: a16.wav and b24.wav" --device 1 a16.wav b24.wav --device 2
several device-9-of-two "device 9 does not exist: the adapter has devices 1 to 4" \
  --device 1 a16.wav --device 9 b24.wav
several junk-of-two "cannot read junk.wav" --device 1 a16.wav --device 2 junk.wav
several missing-of-three "cannot read missing-file.wav" --device 1 a16.wav --device 3 b24.wav \
  --device 2 missing-file.wav
several given-twice "device 3 is given twice" --device 3 a16.wav --device 3 b24.wav
several mono-of-two "device 2 refuses mono.wav" --device 1 a16.wav --device 2 mono.wav
several eight-on-4-of-two "8 channels: device 4 plays 2 to 6 channels" --device 1 a16.wav \
  --device 4 eightch.wav
several two-rates "the device plays all its outputs at one rate" --device 1 a16.wav --device 2 c44.wav
several input-first "input a16.wav comes before any --device" a16.wav --device 1 --device 2
several all-with-input "--device all plays the test signal" --device all a16.wav
several schedule-on-two "--schedule is one client's timing: it plays one device" \
  --device 1 --device 2 --schedule "wait 1p"
mkdir -p a-directory.wav
status=0
"$nuvsim" play --quiet --output a-directory.wav >/dev/null 2>dir.stderr || status=$?
[ "$status" -ne 0 ] || fail "a directory as output: exit status 0"
grep -qF "cannot write a-directory.wav: it is a directory" dir.stderr ||
  fail "a directory as output: $(cat dir.stderr)"
status=0
"$nuvsim" play --quiet --output no/such/dir/out.wav >/dev/null 2>nodir.stderr || status=$?
[ "$status" -ne 0 ] || fail "unwritable output: exit status 0"
grep -qF "cannot write no/such/dir/out.wav" nodir.stderr || fail "unwritable output: $(cat nodir.stderr)"
status=0
"$nuvsim" play --quiet --trace no/such/dir/t.json >/dev/null 2>notrace.stderr || status=$?
[ "$status" -ne 0 ] || fail "unwritable trace: exit status 0"

# --- the built-in signal --------------------------------------------------------
for device in 1 4; do
  channels=2
  [ "$device" -eq 4 ] && channels=6
  "$nuvsim" play --device "$device" --output "signal$device.wav" >"signal$device.txt" ||
    fail "signal on device $device: exit status $?"
  grep -qF "bit-exact" "signal$device.txt" || fail "signal on device $device: $(cat "signal$device.txt")"
  grep -qF "0 underruns" "signal$device.txt" || fail "signal on device $device had underruns"
  # The position: never back, and at the end the bytes written.
  bytes=$((144000 * channels * 3))
  grep -qE "^position .* 0 backward steps .*final position $bytes of $bytes bytes written$" \
    "signal$device.txt" || fail "signal on device $device: $(grep position "signal$device.txt")"
  [ "$(soxi -c "signal$device.wav" 2>/dev/null)" = "$channels" ] ||
    fail "signal$device.wav does not have $channels channels"
  [ "$(soxi -b "signal$device.wav" 2>/dev/null)" = 32 ] || fail "signal$device.wav is not 32-bit"
  [ "$(soxi -s "signal$device.wav" 2>/dev/null)" = 144000 ] ||
    fail "signal$device.wav does not hold the 3 s of the signal"
done
# A tone per channel: the loudest frequency of each channel differs.
peaks=""
for channel in 1 2; do
  peaks="$peaks $(sox signal1.wav -n remix "$channel" stat -freq 2>&1 |
    awk 'NF == 2 && $1 + 0 > 0 { if ($2 > best) { best = $2; f = $1 } } END { printf "%d", f }')"
done
set -- $peaks
[ "${1:-0}" -ne "${2:-0}" ] || fail "both channels of the signal peak at the same frequency: $peaks"

# --- all four devices at once ---------------------------------------------------------
for clock in threaded virtual; do
  "$nuvsim" play --device all --clock "$clock" --signal-seconds 1 --output "all-$clock.wav" \
    >"all-$clock.txt" || fail "--device all on the $clock clock: exit status $?"
  [ "$(grep -c "output    bit-exact" "all-$clock.txt")" -eq 4 ] ||
    fail "--device all on the $clock clock: not bit-exact on all four: $(cat "all-$clock.txt")"
  [ "$(grep -c " 0 underruns" "all-$clock.txt")" -eq 4 ] ||
    fail "--device all on the $clock clock: underruns: $(grep played "all-$clock.txt")"
  # Each device's position: never back, and at the end the bytes written
  # (a second of 24-bit samples: 2 channels, 6 on device 4).
  finals=$(grep -E "^position .* 0 backward steps .*final position ([0-9]+) of \1 bytes written$" \
    "all-$clock.txt" | sed -E 's/.*final position ([0-9]+) .*/\1/' | tr '\n' ' ')
  [ "$finals" = "288000 288000 288000 864000 " ] ||
    fail "--device all on the $clock clock: positions: $(grep ^position "all-$clock.txt")"
  for device in 1 2 3 4; do
    channels=2
    [ "$device" -eq 4 ] && channels=6
    [ "$(soxi -c "all-$clock-$device.wav" 2>/dev/null)" = "$channels" ] ||
      fail "all-$clock-$device.wav does not have $channels channels"
  done
done
cmp -s all-threaded-4.wav all-virtual-4.wav || fail "the two clocks played device 4 differently"

# --- a schedule: the client's timing from the command line ---------------------------
# An underrun of each parity, a pause, a cancel and buffers that end inside
# samples; the oracle's verdict and the periods it names.
schedule="write 2p, wait 3p, write 4p, wait 4p, pause 2p, write 3p, cancel@500000, wait 6p, rest 3333"
for device in 1 4; do
  "$nuvsim" play --device "$device" --schedule "$schedule" >"schedule$device.txt" ||
    fail "schedule on device $device: exit status $?"
  grep -qF "followed the schedule: $schedule" "schedule$device.txt" ||
    fail "schedule on device $device: no schedule line: $(cat "schedule$device.txt")"
  grep -qF "oracle    every frame once, in order, intact" "schedule$device.txt" ||
    fail "schedule on device $device: $(cat "schedule$device.txt")"
  grep -qE "^periods   aa--aaaaaaa---a" "schedule$device.txt" ||
    fail "schedule on device $device: periods: $(grep periods "schedule$device.txt")"
done

# --- the independent check --------------------------------------------------------
# same_samples NAME INPUT [PLAY OPTIONS...]: the device output of INPUT must
# hold exactly the samples sox makes of it in 32-bit containers.
same_samples() {
  local name=$1 input=$2
  shift 2
  sox "$input" -e signed-integer -b 32 "$name.expected.wav" 2>/dev/null ||
    fail "$name: sox could not convert $input"
  "$nuvsim" play --quiet --output "$name.played.wav" "$@" "$input" ||
    fail "$name: nuvsim play exited with $?"
  sox "$name.expected.wav" -t raw "$name.expected.raw"
  sox "$name.played.wav" -t raw "$name.played.raw"
  [ -s "$name.expected.raw" ] || fail "$name: no samples to compare"
  cmp -s "$name.expected.raw" "$name.played.raw" ||
    fail "$name: the device output differs from sox's conversion"
}

if have_alsa; then
  sox -M "$alsa/Front_Left.wav" "$alsa/Front_Right.wav" alsa-stereo16.wav
  sox -M "$alsa/Front_Left.wav" "$alsa/Front_Right.wav" "$alsa/Front_Center.wav" \
    "$alsa/Rear_Left.wav" "$alsa/Rear_Right.wav" "$alsa/Side_Left.wav" alsa-six16.wav
else
  echo "note: $alsa missing, sox files stand in for the ALSA samples"
  make_sox -r 48000 -b 16 -c 2 alsa-stereo16.wav synth 0.5 sine 300 sine 500
  make_sox -r 48000 -b 16 -c 6 alsa-six16.wav synth 0.5 sine 300 sine 500
fi
make_sox -r 48000 -b 24 -c 2 stereo24.wav synth 0.5 sine 440 sine 660
make_sox -r 44100 -b 24 -c 6 six24.wav synth 0.5 sine 200 sine 300 sine 400 sine 500 sine 600 sine 700
make_sox -r 96000 -b 32 -c 2 stereo32.wav synth 0.3 sine 1000 sine 1500
make_sox -r 44100 -b 24 -c 2 stereo24.flac synth 0.3 sine 300 sine 400

same_samples stereo16 alsa-stereo16.wav
same_samples stereo24 stereo24.wav
same_samples stereo32-96k stereo32.wav
same_samples flac24-44k stereo24.flac
same_samples six16-device4 alsa-six16.wav --device 4
same_samples six24-device4 six24.wav --device 4
# Periods, mappings and client buffers that end inside frames and samples.
same_samples stereo24-small-pieces stereo24.wav --period 256 --mapping-bytes 100 --buffer-ms 3
same_samples six24-small-pieces six24.wav --device 4 --period 100 --mapping-bytes 77 --buffer-ms 1

# Four files on four devices at once (16, 24 and 32 bits, six channels on
# device 4), each against sox's conversion, on both fast clocks.
make_sox -r 48000 -b 32 -c 2 stereo32-48k.wav synth 0.4 sine 1000 sine 1500
make_sox -r 48000 -b 24 -c 6 six24-48k.wav synth 0.5 sine 200 sine 300 sine 400 sine 500 sine 600 sine 700
four=(alsa-stereo16.wav stereo24.wav stereo32-48k.wav six24-48k.wav)
for clock in threaded virtual; do
  arguments=()
  for device in 1 2 3 4; do
    arguments+=(--device "$device" "${four[device - 1]}" --output "four-$clock-$device.wav")
  done
  "$nuvsim" play --clock "$clock" "${arguments[@]}" >"four-$clock.txt" ||
    fail "four files on the $clock clock: exit status $?"
  [ "$(grep -c "output    bit-exact" "four-$clock.txt")" -eq 4 ] ||
    fail "four files on the $clock clock: not bit-exact on all four: $(cat "four-$clock.txt")"
  [ "$(grep -cE "^position .* 0 backward steps .*final position ([0-9]+) of \1 bytes written$" \
    "four-$clock.txt")" -eq 4 ] ||
    fail "four files on the $clock clock: positions: $(grep ^position "four-$clock.txt")"
  for device in 1 2 3 4; do
    sox "${four[device - 1]}" -e signed-integer -b 32 -t raw "four-$device.expected.raw"
    sox "four-$clock-$device.wav" -t raw "four-$clock-$device.raw"
    cmp -s "four-$device.expected.raw" "four-$clock-$device.raw" ||
      fail "four files on the $clock clock: device $device's output differs from sox's conversion"
  done
done

# ffmpeg as the second converter, compared as raw 32-bit samples.
if command -v ffmpeg >/dev/null; then
  ffmpeg -v error -y -i stereo24.wav -c:a pcm_s32le -f s32le ffmpeg.raw ||
    fail "ffmpeg could not convert stereo24.wav"
  sox stereo24.played.wav -t s32 ffmpeg.played.raw
  cmp -s ffmpeg.raw ffmpeg.played.raw || fail "the device output differs from ffmpeg's conversion"
fi

# --- trace and real time -------------------------------------------------------------
# In real time the device waits for the DPC a quarter period at most: long
# periods (25 ms of slack) so that a loaded machine does not make one late.
make_sox -r 48000 -b 16 -c 2 short.wav synth 0.5 sine 440 sine 880
"$nuvsim" play --realtime --period 4800 --trace short.json short.wav >realtime.txt ||
  fail "real-time play exited with $?: $(cat realtime.txt)"
grep -qF "bit-exact" realtime.txt || fail "real-time play: $(cat realtime.txt)"
grep -qE "^clock     realtime: 0.50 s of audio in (0.[5-9]|[1-9])" realtime.txt ||
  fail "real-time play did not take real time: $(grep '^clock' realtime.txt)"
"$nuvsim" play --device all --clock realtime --period 4800 --signal-seconds 1 >realtime4.txt ||
  fail "four real-time streams: exit status $?: $(cat realtime4.txt)"
[ "$(grep -c "output    bit-exact" realtime4.txt)" -eq 4 ] ||
  fail "four real-time streams: not bit-exact on all four: $(cat realtime4.txt)"
[ "$(grep -c " 0 underruns" realtime4.txt)" -eq 4 ] ||
  fail "four real-time streams: underruns: $(grep played realtime4.txt)"
for event in period Service GetMapping "SetState RUN" "SetState STOP" callback position; do
  grep -qE "\"name\": *\"$event\"" short.json || fail "the trace has no $event event"
done
if command -v python3 >/dev/null; then
  python3 -c 'import json, sys; json.load(open(sys.argv[1]))' short.json ||
    fail "the trace is not JSON"
fi
# Several devices: each one's readings are a counter of their own.
"$nuvsim" play --device all --clock virtual --signal-seconds 0.2 --trace all.json >/dev/null ||
  fail "--device all with a trace: exit status $?"
for device in 1 2 3 4; do
  grep -qE "\"name\": *\"position device $device\"" all.json ||
    fail "the trace of four devices has no position counter for device $device"
done

# --- formats ---------------------------------------------------------------------------
"$nuvsim" formats >formats.txt || fail "nuvsim formats exited with $?"
grep -qE "^  PCM, WAVEFORMATEXTENSIBLE +2-6 +16-32 +44100-96000$" formats.txt ||
  fail "formats: no PCM rule line"
grep -qE "^  AC-3 over S/PDIF \(0x0092\) +0-2 +16-32 +44100-192000$" formats.txt ||
  fail "formats: no AC-3 rule line"
grep -qE "^  IEEE float, WAVEFORMATEXTENSIBLE +refused$" formats.txt || fail "formats: float not refused"
[ "$(grep -c "plays           integer PCM, 2 channels, 16 to 32 bits" formats.txt)" -eq 3 ] ||
  fail "formats: devices 1 to 3 are not stereo"
grep -qF "plays           integer PCM, 2 to 6 channels" formats.txt || fail "formats: device 4"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
