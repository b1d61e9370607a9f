#!/usr/bin/env bash
# scripts/check-user-binary.sh on a program with a planted post-Windows 2000
# import and subsystem version: it must fail and name both.
# Usage: check_user_binary_test.sh POST-WIN2000.exe ALLOWED-IMPORTS.txt
set -uo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-user-binary.sh
output=$("$check" --subsystem console "$1" "$2")
status=$?
echo "$output"
failures=0
expect() { grep -q -E "$1" <<<"$output" || { echo "TEST FAIL: no line matching: $1"; failures=$((failures + 1)); }; }
[ "$status" -eq 1 ] || { echo "TEST FAIL: the check exited $status, not 1"; failures=$((failures + 1)); }
expect '^FAIL: imports KERNEL32\.dll!GetTickCount64, which is not on the Windows 2000 list'
expect '^FAIL: asks for Windows 6\.0 \(SubsystemVersion\)'
exit $((failures != 0))
