#!/bin/sh
# Runs one Windows program of the tests under Wine, for CTest. CTest judges the GoogleTest
# programs by their output alone and shows that output, not the exit status; a program that dies
# in Wine's start-up leaves no output at all. So a program that ends with anything but 0 adds one
# line with its Unix exit status (the low byte of the Windows exit code or NTSTATUS, or 128 plus
# a signal): a test with no output and no such line ended with status 0.
#
# Debian's Wine has no preloader: with address-space randomisation on, the C library's heap now
# and then covers the page Wine maps at 0x7ffe0000, and the program ends with status 1 before its
# first line. With it off (inherited by every process the program starts) the heap lies below.
if setarch "$(uname -m)" -R true 2>/dev/null; then
    setarch "$(uname -m)" -R wine "$@"
else
    wine "$@"
fi
status=$?
[ "$status" -eq 0 ] && exit 0
echo "[wine: exit status $status]" >&2
# A program killed by a signal stays killed by it for CTest, which fails such a test whatever
# it printed.
[ "$status" -gt 128 ] && [ "$status" -lt 160 ] && kill -s "$(kill -l "$status")" $$
exit "$status"
