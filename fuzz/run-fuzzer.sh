#!/usr/bin/env bash
# One bounded run of a libFuzzer fuzzer:
#
#   fuzz/run-fuzzer.sh <fuzzer> <seconds> <scratch corpus dir> <seed corpus dir>
#
# The seed corpus is copied into the scratch directory, which takes the new
# inputs; the committed corpus is never written. A finding is written next to
# the scratch directory as crash-<sha1> (or leak-, timeout-) and the run
# fails; replay it with the fuzzer's _replay program.
set -euo pipefail
fuzzer=$1
seconds=$2
scratch=$3
seeds=$4

mkdir -p "$scratch"
cp -n "$seeds"/* "$scratch"/ 2>/dev/null || true
artifacts="$(dirname "$scratch")/findings-$(basename "$fuzzer")/"
mkdir -p "$artifacts"
exec "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts" "$scratch"
