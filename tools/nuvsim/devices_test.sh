#!/usr/bin/env bash
# Runs `nuvsim start` and `nuvsim devices --dot` and checks what a person
# would look for in them: the eight subdevices with their device indices,
# the output names of the four topology filters, the physical connections,
# and a graph that Graphviz renders to a PNG.
#
#   devices_test.sh NUVSIM WORKDIR [DOT]
set -euo pipefail

nuvsim=$1
work=$2
dot=${3:-}
mkdir -p "$work"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

expect_line() { # file, fixed text that must appear on a line
  grep -qF -- "$2" "$1" || fail "$1 has no line with: $2"
}

# --- start --------------------------------------------------------------------
"$nuvsim" start >"$work/start.txt" || fail "nuvsim start exited with $?"
expect_line "$work/start.txt" "start: STATUS_SUCCESS"
expect_line "$work/start.txt" "subdevices: 8"
for pair in 1 2 3 4; do
  index=$((pair - 1))
  expect_line "$work/start.txt" "NUV_Wave$pair (wave, device index $index)"
  expect_line "$work/start.txt" "NUV_Mixer$pair (topology, device index $index)"
done
expect_line "$work/start.txt" "physical connections: 8"
[ "$(grep -c NUV_ "$work/start.txt")" -eq 8 ] || fail "start lists other than 8 subdevices"

# --- devices ------------------------------------------------------------------
"$nuvsim" devices --dot "$work/devices.dot" >"$work/devices.txt" ||
  fail "nuvsim devices exited with $?"
out="$work/devices.txt"
expect_line "$out" "playback devices: 4"
expect_line "$out" "4: wave NUV_Wave4, topology NUV_Mixer4, device index 3"

# Each topology filter shows its own output: the variant its port read.
mixer_pin1() { # the category/name line of pin 1 of NUV_Mixer$1
  awk -v f="NUV_Mixer$1 " '
    index($0, f) == 1 { inside = 1; next }
    /^NUV_/ { inside = 0 }
    inside && /^    pin 1:/ { getline; print; exit }' "$out"
}
for pair in 1 2 3; do
  [ "$(mixer_pin1 $pair)" = "      category KSNODETYPE_LINE_CONNECTOR, name PINNAME_OUTPUT_$pair" ] ||
    fail "NUV_Mixer$pair pin 1 is '$(mixer_pin1 $pair)'"
done
[ "$(mixer_pin1 4)" = "      category KSNODETYPE_SPEAKER, name PINNAME_OUTPUT_4" ] ||
  fail "NUV_Mixer4 pin 1 is '$(mixer_pin1 4)'"

expect_line "$out" "physical connections: 8"
expect_line "$out" "  NUV_Wave1 pin 1 -> NUV_Mixer1 pin 0"
expect_line "$out" "  NUV_Mixer1 pin 3 -> NUV_Wave1 pin 3"
expect_line "$out" "  NUV_Wave4 pin 1 -> NUV_Mixer4 pin 0"

# On an older system the first pair has a third connection.
"$nuvsim" devices --without-wdm6 >"$work/devices-old.txt" || fail "devices --without-wdm6 failed"
expect_line "$work/devices-old.txt" "physical connections: 9"
expect_line "$work/devices-old.txt" "  NUV_Wave1 pin 5 -> NUV_Mixer1 pin 3"

# --- the graph ----------------------------------------------------------------
graph="$work/devices.dot"
[ -s "$graph" ] || fail "no graph written"
[ "$(grep -c '^  subgraph cluster_' "$graph")" -eq 8 ] || fail "graph has other than 8 filters"
[ "$(grep -c 'style=bold, color=blue' "$graph")" -eq 8 ] || fail "graph has other than 8 physical connections"

if [ -n "$dot" ]; then
  rm -f "$work/devices.png"
  "$dot" -Tpng "$graph" -o "$work/devices.png" || fail "dot refused the graph"
  magic=$(head -c 8 "$work/devices.png" | od -An -tx1 | tr -d ' \n')
  [ "$magic" = "89504e470d0a1a0a" ] || fail "dot's output is not a PNG ($magic)"
else
  echo "dot not installed: graph not rendered"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "nuvsim devices: all checks passed"
