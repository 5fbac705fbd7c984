#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine does not have yet. Safe to run again: it installs nothing when
# everything is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format clang-tidy cppcheck
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  lld llvm python3 osslsigncode openssl
  libsndfile1-dev libcli11-dev libswresample-dev libavutil-dev
  sox alsa-utils ffmpeg graphviz
  qemu-user
  libasound2-dev libsox-fmt-alsa
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
