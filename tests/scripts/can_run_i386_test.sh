#!/usr/bin/env bash
# scripts/can-run-i386.sh with stand-in probes, so that its three answers are
# checked on every machine: an exec-format failure is "no" (77, with the
# reason line on stdout and in the skip log), a program that runs is "yes"
# (0), and any other failure is a failure (1), never a skip.
set -uo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/can-run-i386.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() { # CODE DESCRIPTION -- ARGS...
    local want=$1 what=$2; shift 3
    "$check" "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: exit $got, not $want"; cat "$work/out" "$work/err"; failures=$((failures + 1))
    else
        echo "ok: $what (exit $got)"
    fi
}

# An ELF file for a machine no kernel knows (e_machine 0xffff): execve fails
# with ENOEXEC, exactly as an i386 program does on a kernel without IA32.
printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xff\xff' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x34\x00\x00\x00\x00\x00\x00\x00' >"$work/foreign"
chmod +x "$work/foreign"
printf '#!/bin/sh\nexit 0\n' >"$work/runs" && chmod +x "$work/runs"
printf '#!/bin/sh\necho "wine: could not load kernel32.dll" >&2\nexit 3\n' >"$work/broken" && chmod +x "$work/broken"

expect 77 "an exec-format failure answers no" -- --probe "$work/foreign" --what "the test run" \
    --skip-log "$work/skips"
grep -qx "this machine cannot run 32-bit x86 programs: the test run is skipped" "$work/out" ||
    { echo "FAIL: the reason line is missing: $(cat "$work/out")"; failures=$((failures + 1)); }
grep -qx "this machine cannot run 32-bit x86 programs: the test run is skipped" "$work/skips" ||
    { echo "FAIL: the reason line did not reach the skip log"; failures=$((failures + 1)); }
expect 0 "a program that runs answers yes" -- --probe "$work/runs" --skip-log "$work/skips2"
expect 1 "any other failure is a failure" -- --probe "$work/broken" --skip-log "$work/skips2"
expect 1 "a missing program is a failure" -- --probe "$work/absent" --skip-log "$work/skips2"
[ ! -e "$work/skips2" ] || { echo "FAIL: a yes or a failure wrote to the skip log"; failures=$((failures + 1)); }

# The built-in probe answers yes or no on any machine; it never fails.
"$check" --skip-log "$work/skips3" >"$work/out" 2>"$work/err"
case $? in
    0 | 77) echo "ok: the built-in probe answered: $(cat "$work/out")" ;;
    *) echo "FAIL: the built-in probe failed: $(cat "$work/err")"; failures=$((failures + 1)) ;;
esac
exit $((failures != 0))
