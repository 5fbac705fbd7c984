#!/usr/bin/env bash
# Real clients through the ALSA plugin: programs nobody here wrote (aplay,
# speaker-test, sox, ffmpeg) play through `type nuvaudio` PCMs of a
# configuration made here (ALSA_CONFIG_PATH; no sound card is used), and
# what the device received must hold exactly their audio, as sox or ffmpeg
# convert it to 32-bit containers on their own (outputmatch judges).
#
#   clients_test.sh CASE PLUGIN OUTPUTMATCH WORKDIR
#
# Every client runs under a timeout, and a client's stderr must hold no
# line of the plugin (an error, a failed drain, a conduct violation).
set -uo pipefail

case_name=$1
plugin=$(realpath "$2")
outputmatch=$(realpath "$3")
work=$4/$case_name
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0
alsa=/usr/share/sounds/alsa

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# config DEVICE [EXTRA...]: pcm.nuvaudio on DEVICE, its output in out.wav.
config() {
  local device=$1
  shift
  {
    echo "pcm_type.nuvaudio { lib \"$plugin\" }"
    echo "pcm.nuvaudio { type nuvaudio device $device output \"$work/out.wav\" $* }"
  } >asound.conf
  export ALSA_CONFIG_PATH=$work/asound.conf
}

# client NAME COMMAND...: runs it with a bound on its time; its output in
# NAME.out and NAME.err, its exit status in $status.
client() {
  local name=$1
  shift
  status=0
  timeout 60 "$@" >"$name.out" 2>"$name.err" </dev/null || status=$?
  [ "$status" -ne 124 ] || fail "$name: still running after 60 s"
}

expect_status() {
  local name=$1 wanted=$2
  if [ "$status" -eq "$wanted" ]; then
    pass "$name: exit status $status"
  else
    fail "$name: exit status $status, not $wanted; stderr: $(cat "$name.err")"
  fi
}

# The plugin speaks only when something is wrong.
expect_plugin_quiet() {
  local name=$1
  if grep -q "pcm_nuvaudio:" "$name.err"; then
    fail "$name: the plugin reported: $(grep "pcm_nuvaudio:" "$name.err")"
  else
    pass "$name: the plugin reported nothing"
  fi
}

# expect_played NAME EXPECTED.raw CHANNELS [outputmatch options]: out.wav
# (what the device received) holds EXPECTED.raw's frames.
expect_played() {
  local name=$1 expected=$2 channels=$3
  shift 3
  if [ ! -s out.wav ]; then
    fail "$name: no out.wav"
    return
  fi
  [ "$(soxi -b out.wav 2>/dev/null)" = 32 ] || fail "$name: out.wav is not 32-bit"
  [ "$(soxi -c out.wav 2>/dev/null)" = "$channels" ] || fail "$name: out.wav is not $channels channels"
  sox out.wav -t s32 "$name.played.raw"
  if "$outputmatch" --channels "$channels" "$@" "$expected" "$name.played.raw" >"$name.match"; then
    pass "$name: $(cat "$name.match")"
  else
    fail "$name: $(cat "$name.match")"
  fi
}

expect_nothing_written() {
  local name=$1
  [ ! -e out.wav ] || fail "$name: out.wav was written"
  local stray
  stray=$(ls -A | grep -E '^\.out\.wav\.' || true)
  [ -z "$stray" ] || fail "$name: a temporary file was left: $stray"
}

sox_convert() { sox "$1" -t s32 "$2" || fail "sox could not convert $1"; }
ffmpeg_convert() {
  ffmpeg -v error -nostdin -y -i "$1" -c:a pcm_s32le -f s32le "$2" || fail "ffmpeg could not convert $1"
}

# Files nobody here wrote: ALSA's own samples, or sox's tones where they are
# missing. Short, because the device plays in real time.
stereo_samples() { # OUT SECONDS
  if [ -r "$alsa/Front_Left.wav" ]; then
    sox -M "$alsa/Front_Left.wav" "$alsa/Front_Right.wav" "$1" trim 0.2 "$2"
  else
    sox -n -r 48000 -b 16 -c 2 "$1" synth "$2" sine 300 sine 500 0 25
  fi
}

aplay_plays() { # NAME INPUT CHANNELS DEVICE [aplay options]
  local name=$1 input=$2 channels=$3 device=$4
  shift 4
  config "$device"
  sox_convert "$input" "$name.expected.raw"
  client "$name" aplay -D nuvaudio "$@" "$input"
  expect_status "$name" 0
  expect_plugin_quiet "$name"
  expect_played "$name" "$name.expected.raw" "$channels"
}

case "$case_name" in
aplay16)
  stereo_samples in.wav 0.5
  aplay_plays aplay16 in.wav 2 1
  ;;
aplay24)
  sox -n -r 44100 -b 24 -c 2 in.wav synth 0.5 sine 440 sine 660 0 25
  aplay_plays aplay24 in.wav 2 1
  ;;
aplay32)
  sox -n -r 96000 -b 32 -c 2 in.wav synth 0.4 sine 1000 sine 1500 0 25
  aplay_plays aplay32 in.wav 2 1
  ;;
aplay6)
  if [ -r "$alsa/Front_Left.wav" ]; then
    sox -M "$alsa/Front_Left.wav" "$alsa/Front_Right.wav" "$alsa/Front_Center.wav" \
      "$alsa/Rear_Left.wav" "$alsa/Rear_Right.wav" "$alsa/Side_Left.wav" in.wav trim 0.2 0.5
  else
    sox -n -r 48000 -b 16 -c 6 in.wav synth 0.5 sine 200 sine 300 sine 400 sine 500 sine 600 sine 700
  fi
  aplay_plays aplay6 in.wav 6 4
  ;;
aplay-mmap)
  # ALSA's mmap access: the application writes into the ring itself and
  # commits; the plugin's transfer sees the committed frames.
  sox -n -r 48000 -b 24 -c 4 in.wav synth 0.4 sine 300 sine 400 sine 500 sine 600 0 25
  aplay_plays aplay-mmap in.wav 4 4 -M
  ;;
aplay-two-files)
  # One aplay, two files: ALSA sets the PCM up again for the second (hw_free
  # shuts the host system down with its checks, hw_params starts it anew),
  # and the device's output holds both, in order.
  sox -n -r 48000 -b 16 -c 2 one.wav synth 0.3 sine 440 sine 660 0 25
  sox -n -r 48000 -b 16 -c 2 two.wav synth 0.3 sine 550 sine 770 0 25
  sox one.wav two.wav both.wav
  sox_convert both.wav expected.raw
  config 1
  client aplay-two-files aplay -D nuvaudio one.wav two.wav
  expect_status aplay-two-files 0
  expect_plugin_quiet aplay-two-files
  expect_played aplay-two-files expected.raw 2 --gaps
  ;;
speaker-test)
  # speaker-test's WAV test: the file on one channel at a time, the other
  # silent, loop after loop. It may close without draining, so the end of
  # the last loop (up to its 0.2 s buffer) may be missing.
  sox -n -r 48000 -b 16 -c 1 beep.wav synth 0.3 sine 500 0 25
  sox beep.wav -t s32 left.raw remix 1 0
  sox beep.wav -t s32 right.raw remix 0 1
  cat left.raw right.raw left.raw right.raw left.raw right.raw >expected.raw
  config 1
  client speaker-test speaker-test -D nuvaudio -c 2 -t wav -w "$work/beep.wav" -l 3 -b 200000 -p 40000
  expect_status speaker-test 0
  expect_plugin_quiet speaker-test
  expect_played speaker-test expected.raw 2 --allow-short 9600
  ;;
sox)
  # sox as the client, ffmpeg as the converter.
  sox -n -r 48000 -b 24 -c 2 in.wav synth 0.5 sine 440 sine 660 0 25
  ffmpeg_convert in.wav expected.raw
  config 1
  client sox sox -q in.wav -t alsa nuvaudio
  expect_status sox 0
  expect_plugin_quiet sox
  expect_played sox expected.raw 2
  ;;
ffmpeg)
  # ffmpeg as the client (32-bit samples at 88200 Hz), sox as the converter.
  sox -n -r 88200 -b 32 -c 2 in.wav synth 0.5 sine 440 sine 660 0 25
  sox_convert in.wav expected.raw
  config 1
  client ffmpeg ffmpeg -v error -nostdin -i in.wav -c:a pcm_s32le -f alsa nuvaudio
  expect_status ffmpeg 0
  expect_plugin_quiet ffmpeg
  expect_played ffmpeg expected.raw 2
  ;;
xrun)
  # aplay reads a pipe that stalls for a second: the device runs dry, ALSA
  # reports the xrun, aplay recovers (prepare) and plays the rest. Silence
  # may lie where the client ran dry, nowhere else may a frame differ.
  sox -n -r 48000 -b 16 -c 2 -t raw head.raw synth 0.3 sine 440 sine 660 0 25
  sox -n -r 48000 -b 16 -c 2 -t raw tail.raw synth 0.3 sine 550 sine 770 0 25
  cat head.raw tail.raw >whole.raw
  sox -t raw -r 48000 -b 16 -e signed -c 2 whole.raw -t s32 expected.raw
  config 1
  status=0
  { cat head.raw; sleep 1; cat tail.raw; } |
    timeout 60 aplay -D nuvaudio -t raw -f S16_LE -c 2 -r 48000 -B 100000 >xrun.out 2>xrun.err ||
    status=$?
  expect_status xrun 0
  if grep -q "underrun!!!" xrun.err; then pass "xrun: aplay saw the underrun"; else
    fail "xrun: aplay saw no underrun: $(cat xrun.err)"
  fi
  expect_plugin_quiet xrun
  expect_played xrun expected.raw 2 --gaps
  ;;
pause)
  # aplay's interactive pause, keys through a terminal (script): space
  # pauses, space resumes, while aplay still writes (2 s of audio, keys once
  # it has begun). A paused stream loses nothing.
  sox -n -r 48000 -b 16 -c 2 in.wav synth 2 sine 440 sine 660 0 25
  sox_convert in.wav expected.raw
  config 1
  status=0
  : >pause.out
  keys() {
    local waited=0
    until grep -q "Playing WAVE" pause.out || [ "$waited" -ge 600 ]; do
      sleep 0.05
      waited=$((waited + 1))
    done
    sleep 0.2
    printf ' '
    sleep 0.3
    printf ' '
    # stdin stays open until aplay is surely done with the keys
    sleep 3
  }
  keys | timeout 60 script -qec "aplay -i -D nuvaudio $work/in.wav" /dev/null >pause.out 2>&1 ||
    status=$?
  tr '\r' '\n' <pause.out >pause.err
  expect_status pause 0
  if grep -q "=== PAUSE ===" pause.err; then pass "pause: aplay paused"; else
    fail "pause: aplay never paused: $(cat pause.err)"
  fi
  expect_plugin_quiet pause
  expect_played pause expected.raw 2
  ;;
slave)
  # The device's output passed on to another PCM (here ALSA's file plugin in
  # front of the null device): it must get what the device received.
  stereo_samples in.wav 0.4
  sox_convert in.wav expected.raw
  config 1 slave "tap"
  echo "pcm.tap { type file slave.pcm { type null } file \"$work/slave.raw\" format raw }" >>asound.conf
  client slave aplay -D nuvaudio in.wav
  expect_status slave 0
  expect_plugin_quiet slave
  expect_played slave expected.raw 2
  if cmp -s slave.played.raw slave.raw; then pass "slave: got every frame the device received"; else
    fail "slave: slave.raw ($(stat -c %s slave.raw 2>/dev/null) bytes) differs from the device output ($(stat -c %s slave.played.raw) bytes)"
  fi
  ;;
offer)
  # What the driver offers, as ALSA shows it (aplay -v, --dump-hw-params).
  sox -n -r 48000 -b 16 -c 2 in.wav synth 0.05 sine 440
  for device in 1 4; do
    config "$device"
    client "offer$device" aplay -v --dump-hw-params -D nuvaudio in.wav
    expect_status "offer$device" 0
  done
  # aplay prints the PCM's dump (-v) and its parameters on stderr.
  grep -qF "the driver offers: S16_LE S24_3LE S32_LE; 2 channels; 44100 48000 88200 96000 Hz" offer1.err ||
    fail "offer: device 1: $(grep offers offer1.err)"
  grep -qF "the driver offers: S16_LE S24_3LE S32_LE; 2 4 6 channels; 44100 48000 88200 96000 Hz" offer4.err ||
    fail "offer: device 4: $(grep offers offer4.err)"
  grep -qE "^CHANNELS: *2$" offer1.err || fail "offer: device 1's hw params: $(grep CHANNELS offer1.err)"
  grep -qE "^CHANNELS: *\[2 6\]$" offer4.err || fail "offer: device 4's hw params: $(grep CHANNELS offer4.err)"
  grep -qE "^RATE: *\[44100 96000\]$" offer1.err || fail "offer: rates: $(grep RATE offer1.err)"
  [ "$failures" -ne 0 ] || pass "offer: devices 1 and 4 offer what their drivers accept"
  ;;
image)
  # The Windows image nuvaudio.sys in place of the host build, as a client
  # reaches it: the same offer, the same audio.
  image=${NUV_DRIVER_IMAGE:-}
  if [ -z "$image" ] || [ ! -f "$image" ]; then
    echo "skipped: no image (make windows builds it)"
    exit 77
  fi
  sox -n -r 48000 -b 24 -c 6 in.wav synth 0.4 sine 200 sine 300 sine 400 sine 500 sine 600 sine 700 0 25
  sox_convert in.wav image.expected.raw
  config 4 image "\"$image\""
  client image aplay -D nuvaudio in.wav
  expect_status image 0
  expect_plugin_quiet image
  expect_played image image.expected.raw 6
  # The summary names the driver that played.
  config 4 image "\"$image\"" verbose true
  client image-verbose aplay -D nuvaudio in.wav
  expect_status image-verbose 0
  grep -qF "device 4 (the Windows image $image)" image-verbose.err ||
    fail "image-verbose: the summary does not name the image: $(head -3 image-verbose.err)"
  ;;
refusals)
  # A format the device does not take gets ALSA's usual error from the
  # client, and nothing is played or written.
  sox -n -r 48000 -b 16 -c 1 mono.wav synth 0.1 sine 440
  sox -n -r 48000 -b 8 -c 2 eight.wav synth 0.1 sine 440
  sox -n -r 48000 -b 32 -e floating-point -c 2 float.wav synth 0.1 sine 440
  sox -n -r 48000 -b 16 -c 6 six.wav synth 0.1 sine 440
  sox -n -r 22050 -b 16 -c 2 slow.wav synth 0.1 sine 440
  config 1
  refused() { # NAME TEXT COMMAND...
    local name=$1 text=$2
    shift 2
    client "$name" "$@"
    [ "$status" -ne 0 ] || fail "$name: exit status 0"
    if grep -qF -- "$text" "$name.out" "$name.err"; then pass "$name: $text"; else
      fail "$name: no '$text' in: $(cat "$name.out" "$name.err")"
    fi
    expect_nothing_written "$name"
  }
  refused mono "Channels count non available" aplay -D nuvaudio mono.wav
  refused eight-bit "Sample format non available" aplay -D nuvaudio eight.wav
  grep -qE "^- S24_3LE$" eight-bit.err || fail "eight-bit: aplay does not list the offered formats"
  refused float "Sample format non available" aplay -D nuvaudio float.wav
  refused six-on-1 "Channels count non available" aplay -D nuvaudio six.wav
  # speaker-test and ffmpeg want their rate exactly.
  refused speaker-test-22050 "Rate 22050Hz not available for playback: Invalid argument" \
    speaker-test -D nuvaudio -c 2 -r 22050 -l 1
  refused ffmpeg-22050 "sample rate 22050 not available, nearest is 44100" \
    ffmpeg -v error -nostdin -i slow.wav -f alsa nuvaudio
  # The configuration's own errors, before anything starts.
  config 5
  refused device-5 "device 5 is out of range: 1 to 4" aplay -D nuvaudio six.wav
  config 1 colour blue
  refused unknown-option "unknown option colour" aplay -D nuvaudio six.wav
  echo "not a driver" >not-an-image.sys
  config 1 image "\"$work/not-an-image.sys\""
  refused image "not-an-image.sys: not a PE image" aplay -D nuvaudio six.wav
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
