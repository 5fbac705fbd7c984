#!/usr/bin/env bash
# `make fuzz`: every fuzzer in <fuzz build dir> for <seconds> each, one after
# the other (each takes a core; the machine has two and its other work).
#
#   fuzz/run-fuzzers.sh build-fuzz/fuzz 60
set -euo pipefail
dir=$1
seconds=$2
here="$(cd "$(dirname "$0")" && pwd)"
status=0
for fuzzer in "$dir"/*_fuzzer; do
  name=$(basename "$fuzzer" _fuzzer)
  echo "== $name: $seconds s"
  "$here/run-fuzzer.sh" "$fuzzer" "$seconds" "$dir/corpus-$name" "$here/corpus/$name" || status=1
done
exit $status
