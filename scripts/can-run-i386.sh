#!/usr/bin/env bash
# Can this machine execute 32-bit x86 (i386) programs? Some Linux kernels are
# built without IA32 emulation, and there every i386 program -- 32-bit Wine
# among them -- fails with "Exec format error". Every check that needs such
# programs asks here first.
#
# The probe is a 96-byte static i386 ELF program written on the spot (exit(0)
# through int 0x80), so the answer depends on the kernel alone, not on which
# packages are installed: where the answer is yes, a missing wine32 is still
# a failure of the check that needs it.
#
# Usage: scripts/can-run-i386.sh [--probe PROGRAM] [--skip-log FILE] [--what TEXT]
#   --probe     run PROGRAM instead of the built-in probe (for testing the check)
#   --skip-log  on "no", also append the reason line to FILE (default:
#               $PELVON_SKIP_LOG when set); scripts/test-all.sh repeats that file
#   --what      what is skipped, for the reason line
# Exit: 0 yes; 77 no (an exec-format failure; the line on stdout says why);
#       1 the probe failed in some other way (a failure, never a skip).
set -uo pipefail

probe="" what="" skip_log=${PELVON_SKIP_LOG:-}
while [ $# -gt 0 ]; do
    case "$1" in
        --probe) probe=$2 ;;
        --what) what=$2 ;;
        --skip-log) skip_log=$2 ;;
        *) echo "usage: $0 [--probe PROGRAM] [--skip-log FILE] [--what TEXT]" >&2; exit 1 ;;
    esac
    shift 2
done

work=$(mktemp -d) || { echo "cannot make a temporary directory" >&2; exit 1; }
trap 'rm -rf "$work"' EXIT
if [ -z "$probe" ]; then
    probe=$work/i386-probe
    # ELF header (52 bytes), one PT_LOAD program header (32 bytes) mapping the
    # whole file at 0x08048000, then: mov ebx,0; mov eax,1 (exit); int 0x80.
    printf '%b' \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
        '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
        '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
        '\x00\x00\x00\x00' \
        '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
        '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\xbb\x00\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe" &&
        chmod +x "$probe" || { echo "cannot write the i386 probe program" >&2; exit 1; }
fi

"$probe" >"$work/out" 2>"$work/err"
status=$?
if [ "$status" -eq 0 ]; then
    echo "this machine runs 32-bit x86 programs"
    exit 0
fi
if grep -q 'Exec format error' "$work/err"; then
    line="this machine cannot run 32-bit x86 programs${what:+: $what is skipped}"
    echo "$line"
    [ -n "$skip_log" ] && echo "$line" >>"$skip_log"
    exit 77
fi
echo "FAIL: the i386 probe $probe failed with exit $status, not with an exec-format error:" >&2
cat "$work/err" >&2
exit 1
