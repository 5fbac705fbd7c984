#!/usr/bin/env bash
# The layering check finds what it is there to find: trees with a folder
# cycle, a folder out of order and a cycle between two files fail with the
# finding named; the filter-description cycle it allows stays allowed.
#
#   check-layering-test.sh CHECKER
set -uo pipefail
checker=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# tree NAME FOLDERS...: an empty driver tree with that folder order.
tree() {
  local root=$work/$1
  shift
  mkdir -p "$root/cmake"
  echo "set(NUV_DRIVER_DIRS $*)" >"$root/cmake/NuvDriverDirs.cmake"
  for d in "$@"; do mkdir -p "$root/$d"; done
}
# file NAME PATH INCLUDES...: a file that includes the given driver files.
file() {
  local root=$work/$1 path=$2
  shift 2
  : >"$root/$path"
  for i in "$@"; do echo "#include \"$i\"" >>"$root/$path"; done
  echo "#include <wdm.h>" >>"$root/$path"
}
# expect NAME STATUS TEXT: the checker's exit status and a line of its output.
expect() {
  local name=$1 status=$2 text=$3 out got=0
  out=$(python3 "$checker" --root "$work/$name") || got=$?
  if [ "$got" -ne "$status" ]; then
    echo "FAIL: $name: exit status $got, not $status: $out"
    failures=$((failures + 1))
  elif ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL: $name: no '$text' in: $out"
    failures=$((failures + 1))
  else
    echo "ok: $name: $text"
  fi
}

tree folders common engine wave
file folders common/a.h
file folders engine/e.h common/a.h
file folders wave/w.cpp engine/e.h
file folders common/a.cpp engine/e.h
expect folders 1 "common/a includes engine/e.h: engine/ comes after common/ in NUV_DRIVER_DIRS"
expect folders 1 "folders in a cycle: common/ -> engine/ -> common/"

tree files common stream
file files stream/convert.h
file files stream/transfer.h
file files stream/convert.cpp stream/convert.h stream/transfer.h
file files stream/transfer.cpp stream/transfer.h stream/convert.h
expect files 1 "files in a cycle: stream/convert -> stream/transfer -> stream/convert"

tree allowed common wave
file allowed wave/minwave.h
file allowed wave/minwave.cpp wave/minwave.h wave/wavetables.h
file allowed wave/wavetables.h
file allowed wave/wavetables.cpp wave/waveproperties.h
file allowed wave/waveproperties.h
file allowed wave/waveproperties.cpp wave/minwave.h wave/wavetables.h
expect allowed 0 "check-layering: ok (2 folders, 3 file pairs"
file allowed wave/other.cpp wave/minwave.h
file allowed wave/minwave.cpp wave/minwave.h wave/wavetables.h wave/other.h
expect allowed 1 "files in a cycle: wave/minwave -> wave/other -> wave/minwave"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
