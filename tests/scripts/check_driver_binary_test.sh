#!/usr/bin/env bash
# scripts/check-driver-binary.sh on a driver image with planted instructions
# beyond the i586: it must fail, name each of them with its function, and
# find nothing else wrong with an image linked as pelvon.sys is.
# Usage: check_driver_binary_test.sh NON-I586-DRIVER.sys ALLOWED-IMPORTS.txt
set -uo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-driver-binary.sh
output=$("$check" "$1" "$2")
status=$?
echo "$output"
failures=0
[ "$status" -eq 1 ] || { echo "TEST FAIL: the check exited $status, not 1"; failures=$((failures + 1)); }
expected=0
while read -r function mnemonic; do
    expected=$((expected + 1))
    grep -q -E "^FAIL: $mnemonic at 0x[0-9a-f]+ in _$function is not an i586 integer instruction" <<<"$output" ||
        { echo "TEST FAIL: $mnemonic in $function was not named"; failures=$((failures + 1)); }
done <<'PLANTED'
PlantedCmov cmovne
PlantedFcmov fcmove
PlantedX87 fld1
PlantedMmx movq
PlantedSse movaps
PlantedFence sfence
PlantedLongNop nop
PlantedSysenter sysenter
PLANTED
found=$(grep -c '^FAIL:' <<<"$output")
[ "$found" -eq "$expected" ] ||
    { echo "TEST FAIL: $found failure lines, not the $expected planted ones"; failures=$((failures + 1)); }
exit $((failures != 0))
