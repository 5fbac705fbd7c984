#!/bin/sh
# Runs the sample conversion tests, and the streams through the driver that
# use them, once more on an emulated x86-64 processor without SSSE3
# (qemu-user's qemu64 model): a conversion that chose the SSSE3 kernel there
# stops with an illegal instruction. Skipped (77) where qemu-user is missing.
#
#   without-ssse3.sh QEMU TEST_PROGRAM
qemu="$1"
program="$2"
if [ -z "$qemu" ] || [ ! -x "$qemu" ]; then
    echo "qemu-x86_64 (Debian's qemu-user) is not installed: skipped"
    exit 77
fi
exec "$qemu" -cpu qemu64 "$program" \
    --gtest_filter='ConvertSamples*:SelectSampleConversionTest.*:Service.*:EndToEnd*'
