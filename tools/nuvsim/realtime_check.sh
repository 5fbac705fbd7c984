#!/usr/bin/env bash
# Four streams in real time on a machine whose every processor is busy:
# the test signal on all four devices at once, paced by the sample rate,
# while one busy loop per processor runs beside it. The device waits for the
# DPC that runs the driver's Service at most until its next step is due (a
# quarter period); a half taken before the Service ran is an underrun.
#
# The default period (480 frames, 10 ms) must play with 0 underruns; then
# the period shrinks, to show where the machine stops keeping up. Timing is
# the machine's, so this is a check of its own (`make realtime-check`), not
# part of `make test`.
#
#   realtime_check.sh NUVSIM [SECONDS] [PERIODS...]
set -uo pipefail

nuvsim=$(realpath "$1")
seconds=${2:-5}
shift 2 2>/dev/null || shift $#
periods=("$@")
[ ${#periods[@]} -ne 0 ] || periods=(480 240 120 96 64 48 32 24 16 12)
work=$(mktemp -d)
load=()

stop_load() {
  for pid in "${load[@]}"; do
    kill "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$work"
}
trap stop_load EXIT

processors=$(nproc)
for _ in $(seq "$processors"); do
  bash -c 'while :; do :; done' &
  load+=($!)
done
echo "load: $processors busy loops beside nuvsim (pids ${load[*]})"
echo "four streams, ${seconds} s each, 48 kHz, real time"

shrinks_to=""
for period in "${periods[@]}"; do
  out="$work/period-$period.txt"
  "$nuvsim" play --device all --clock realtime --period "$period" --signal-seconds "$seconds" \
    >"$out" 2>"$work/err"
  played=$?
  underruns=$(grep -oE "[0-9]+ underruns?" "$out" | awk '{ printf "%s%s", sep, $1; sep = "/" }')
  total=$(grep -oE "[0-9]+ underruns?" "$out" | awk '{ n += $1 } END { print n + 0 }')
  exact=$(grep -c "output    bit-exact" "$out")
  printf "period %4d frames (%5.2f ms): underruns %s, bit-exact on %d of 4, exit %d\n" \
    "$period" "$(awk -v p="$period" 'BEGIN { print p / 48 }')" "${underruns:-none}" "$exact" \
    "$played"
  if [ "$total" -ne 0 ] || [ "$exact" -ne 4 ] || [ "$played" -ne 0 ]; then
    break
  fi
  shrinks_to=$period
done

if [ -z "$shrinks_to" ]; then
  echo "FAIL: four real-time streams under load had underruns at a period of ${periods[0]} frames"
  exit 1
fi
echo "four real-time streams under load play clean down to a period of $shrinks_to frames"
