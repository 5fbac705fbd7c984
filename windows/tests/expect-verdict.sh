#!/usr/bin/env bash
# Runs check-image.sh on one of the test images and requires its verdict:
# "--pass" (or "--pass=TEXT": and a report containing TEXT) for the good
# image, otherwise a failure whose report contains the given text (so that a
# checker failing for some other reason, or crashing, does not count).
#
# Usage: expect-verdict.sh CHECKER IMAGE (--pass[=TEXT] | EXPECTED-TEXT) [ARG...]
# The checker runs as CHECKER IMAGE ARG... Exits 77 (skipped) when IMAGE has
# not been built: make windows builds it.
set -uo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 CHECKER IMAGE (--pass[=TEXT] | EXPECTED-TEXT) [ARG...]" >&2
  exit 2
fi
checker=$1
image=$2
expected=$3
shift 3
if [ ! -f "$image" ]; then
  echo "$image not built (make windows builds it); skipped"
  exit 77
fi

output=$("$checker" "$image" "$@" 2>&1)
status=$?
echo "$output"

if [ "${expected%%=*}" = "--pass" ]; then
  if [ $status -ne 0 ]; then
    echo "expected the checker to accept $image; it exited with $status" >&2
    exit 1
  fi
  if [ "$expected" != "--pass" ] && ! grep -qF -- "${expected#--pass=}" <<<"$output"; then
    echo "the checker accepted $image without reporting: ${expected#--pass=}" >&2
    exit 1
  fi
  exit 0
fi
if [ $status -ne 1 ]; then
  echo "expected the checker to reject $image (exit 1); it exited with $status" >&2
  exit 1
fi
if ! grep -qF -- "$expected" <<<"$output"; then
  echo "the checker rejected $image without reporting: $expected" >&2
  exit 1
fi
