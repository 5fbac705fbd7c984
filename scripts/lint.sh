#!/usr/bin/env bash
# `make lint`: clang-tidy (the root .clang-tidy) and cppcheck over the
# driver's sources, with the compile commands of the host build in <build>.
#
#   scripts/lint.sh build
#
# Both must be clean: any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
commands="$build/compile_commands.json"
if [ ! -f "$commands" ]; then
  echo "lint: $commands is missing; build the host build first" >&2
  exit 1
fi

# The driver's folders, from the one list the builds use.
read -r -a driver_dirs < <(sed -n 's/^set(NUV_DRIVER_DIRS \(.*\))$/\1/p' cmake/NuvDriverDirs.cmake)
mapfile -t sources < <(for d in "${driver_dirs[@]}"; do ls "$d"/*.cpp; done)

echo "lint: clang-tidy over ${#sources[@]} driver sources"
# The compile commands are GCC's; clang-tidy's clang gets a copy without the
# GCC-only flag it would refuse.
tidy_dir="$build/lint"
mkdir -p "$tidy_dir"
sed 's/ -fno-lifetime-dse//g' "$commands" >"$tidy_dir/compile_commands.json"
printf '%s\n' "${sources[@]}" |
  xargs -P "${JOBS:-2}" -n 4 clang-tidy -p "$tidy_dir" --quiet

echo "lint: cppcheck over the driver folders"
# The host headers stand in for the DDK's, as in the build; the driver's own
# headers are checked with their sources. Only real findings count
# (warning, portability, performance); style is clang-format's business.
# uninitMemberVar is off: every driver object is zero-filled by its
# operator new from the pool before construction (and built with
# -fno-lifetime-dse so that the compiler keeps it so); constructors assign
# only what is not zero.
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 --language=c++ \
  --enable=warning,portability,performance \
  --suppress=missingIncludeSystem --suppress=uninitMemberVar \
  -I host/include -I . -D_WIN64 -D_AMD64_ \
  "${driver_dirs[@]}"
echo "lint: clang-format over every C++ file of the project"
# Every source and header git knows, the driver's and everything around it,
# against .clang-format; a file that differs is named with the first lines.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
echo "lint: clean"
