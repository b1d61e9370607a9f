#!/usr/bin/env bash
# The real-kernel run: pelvon.sys started as a kernel service under Wine's
# kernel emulation in a fresh 32-bit prefix, added and started through Plug
# and Play from a root device node, then driven from user mode:
#   - every control request (control_requests_user.exe), compared line by
#     line with what the host build answers to the same requests;
#   - pelvonctl.exe commands;
#   - the mouse class conversation, by the test class driver mouclass_drv.sys
#     placed above the FDO (as UpperFilters if Wine honours it, otherwise
#     attached from its own entry);
#   - stopping the service.
# Every wine command has a timeout; the wine server is killed on every exit.
#
# Usage: run_wine_tests.sh --driver pelvon.sys --class-driver mouclass_drv.sys
#            --requests control_requests_user.exe --pelvonctl pelvonctl.exe
#            --work DIR [--expected-generator control_requests_host]
# Environment: PELVON_WINEDEBUG (default -all) for Wine's debug channels.
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
driver="" class_driver="" requests="" pelvonctl="" work="" generator=""
while [ $# -gt 0 ]; do
    case "$1" in
        --driver) driver=$2 ;;
        --class-driver) class_driver=$2 ;;
        --requests) requests=$2 ;;
        --pelvonctl) pelvonctl=$2 ;;
        --work) work=$2 ;;
        --expected-generator) generator=$2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
    shift 2
done
for file in "$driver" "$class_driver" "$requests" "$pelvonctl"; do
    [ -f "$file" ] || { echo "FAIL: missing build output '$file'" >&2; exit 2; }
done
[ -n "$work" ] || { echo "--work is required" >&2; exit 2; }
# Wine wants absolute paths.
driver=$(realpath "$driver") class_driver=$(realpath "$class_driver")
requests=$(realpath "$requests") pelvonctl=$(realpath "$pelvonctl") work=$(realpath -m "$work")

# A 32-bit prefix needs 32-bit programs; a machine that cannot run them
# reports this run as skipped (77), and only there.
"$source_dir/scripts/can-run-i386.sh" --what "the real-kernel run of pelvon.sys"
case $? in
    0) ;;
    77) exit 77 ;;
    *) echo "FAIL: could not tell whether this machine runs 32-bit x86 programs"; exit 1 ;;
esac

started=$SECONDS
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
phase() { echo "== $* ($((SECONDS - started)) s)"; }

for tool in wine wineserver wineboot; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing; run scripts/install-wine.sh as root"; exit 1; }
done

# ---------------------------------------------------------------- the host's answers
phase "host build: expected replies"
mkdir -p "$work"
rm -f "$work"/*.log "$work"/*.tsv "$work/comparison.txt"
expected=$work/expected.tsv
if [ -z "$generator" ]; then
    host_build=$source_dir/build/host
    generator=$host_build/tests/wine/control_requests_host
    if [ ! -f "$host_build/CMakeCache.txt" ]; then
        (cd "$source_dir" && timeout 300 cmake --preset host >"$work/host-configure.log" 2>&1) ||
            { echo "FAIL: configuring the host build (see $work/host-configure.log)"; exit 1; }
    fi
    timeout 400 cmake --build "$host_build" --target control_requests_host -j2 >"$work/host-build.log" 2>&1 ||
        { echo "FAIL: building control_requests_host (see $work/host-build.log)"; exit 1; }
fi
timeout 60 "$generator" "$source_dir/tests/wine/pelvon-parameters.reg" "$expected" ||
    { echo "FAIL: the host build did not produce its replies"; exit 1; }
pass "host replies: $(wc -l <"$expected") requests"

# ---------------------------------------------------------------- the prefix
# shellcheck source=tests/wine/wine_prefix.sh
. "$source_dir/tests/wine/wine_prefix.sh"
wine_use x86 "$work"
cleanup() { wine_cleanup; }
trap cleanup EXIT
trap 'exit 130' INT TERM

phase "fresh 32-bit prefix"
wine_fresh_prefix "$work/wineboot.log" || { echo "FAIL: the prefix could not be made"; exit 1; }
drivers_dir=$WINEPREFIX/drive_c/windows/system32/drivers
[ -d "$drivers_dir" ] || { echo "FAIL: the prefix has no system32\\drivers"; exit 1; }
pass "prefix ready"

# Every name the requests use must be absent from SERIALCOMM: a port that is
# found is opened, and Wine's IoGetDeviceObjectPointer hands back a dummy
# device that brings the driver host down.
serialcomm=$(w reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r' | awk '$2 ~ /^REG_/ {print $3}')
echo "SERIALCOMM ports: ${serialcomm:-none}"
while read -r port; do
    [ -z "$port" ] && continue
    case "${port^^}" in
        COM7 | C*C) fail "SERIALCOMM lists $port, a name the requests use" ;;
    esac
done <<<"$serialcomm"
[ "$failures" -eq 0 ] || exit 1

# ---------------------------------------------------------------- the service and its device
phase "services and device node"
cp "$driver" "$drivers_dir/pelvon.sys"
cp "$class_driver" "$drivers_dir/mouclass_drv.sys"
services='HKLM\System\CurrentControlSet\Services'
node='HKLM\System\CurrentControlSet\Enum\Root\PELVON\0000'
setup_ok=1
step() { "$@" >>"$work/setup.log" 2>&1 || { fail "setup step: $*"; setup_ok=0; }; }
# One group: Wine loads the services of a group into one driver host
# process, where the class driver can reach the touch driver's objects. The
# service manager reads the group when the service is created, not later.
step w sc create pelvon type= kernel start= demand group= PointerPort \
    'binPath=' 'C:\windows\system32\drivers\pelvon.sys'
step w sc create mouclass_test type= kernel start= demand group= PointerPort \
    'binPath=' 'C:\windows\system32\drivers\mouclass_drv.sys'
step w reg import "$(winepath -w "$source_dir/tests/wine/pelvon-parameters.reg" 2>/dev/null)"
step w reg add "$node" /v Service /t REG_SZ /d pelvon /f
step w reg add "$node" /v HardwareID /t REG_MULTI_SZ /d 'Root\PELVON' /f
step w reg add "$node" /v ClassGUID /t REG_SZ /d '{4D36E96F-E325-11CE-BFC1-08002BE10318}' /f
step w reg add "$node" /v UpperFilters /t REG_MULTI_SZ /d mouclass_test /f
[ "$(reg_value "$services\\pelvon\\Parameters" PortName)" = "COM7" ] || fail "the Parameters did not import"
[ "$setup_ok" -eq 1 ] || exit 1

phase "start pelvon"
start_service "$work/start.log" pelvon
state=$(service_state pelvon)
if [ "$state" = "RUNNING" ]; then pass "pelvon runs as a kernel service"; else fail "pelvon state after start: ${state:-unknown}"; cat "$work/start.log"; exit 1; fi

# ---------------------------------------------------------------- control requests
phase "control requests"
got=$work/wine.tsv
w "$(winepath -w "$requests")" >"$got" 2>"$work/requests.err"
status=$?
tr -d '\r' <"$got" >"$got.unix" && mv "$got.unix" "$got"
case $status in
    0) pass "every control request sent to \\\\.\\pelvon" ;;
    3) fail "control requests broke the buffered transfer rules:"; cat "$work/requests.err" ;;
    *) fail "control_requests_user exited with $status"; cat "$work/requests.err" ;;
esac
# Columns: label, code, input, output, Win32 error, bytes returned, bytes.
awk -F'\t' -v OFS='\t' '
    NR == FNR { key[++n] = $1; want[$1] = $2 FS $3 FS $4 FS $5 FS $6 FS $7; nt[$1] = $8; next }
    { have[$1] = $2 FS $3 FS $4 FS $5 FS $6 FS $7; if (!($1 in want)) extra[$1] = 1 }
    END {
        bad = 0
        for (i = 1; i <= n; i++) {
            k = key[i]; split(want[k], f, FS)
            if (!(k in have)) { print "MISSING  " k; bad++ }
            else if (have[k] != want[k]) { print "MISMATCH " k "\n  host: " want[k] " (" nt[k] ")\n  wine: " have[k]; bad++ }
            else printf "matched  %-34s %s -> error %s, %s bytes %s\n", k, nt[k], f[4], f[5], f[6]
        }
        for (k in extra) { print "EXTRA    " k; bad++ }
        printf "%d of %d requests matched the host build\n", n - bad, n
        exit bad != 0
    }' "$expected" "$got" | tee "$work/comparison.txt" | grep -v '^matched' 
[ "${PIPESTATUS[0]}" -eq 0 ] && pass "Wine's replies equal the host build's" || fail "Wine's replies differ from the host build's"

# ---------------------------------------------------------------- pelvonctl
phase "pelvonctl"
ctl_exe=$(winepath -w "$pelvonctl" 2>/dev/null)
# expect EXIT-CODE TEXT-OR-EMPTY COMMAND...: exit code and a line of its output.
expect_ctl() {
    local code=$1 text=$2
    shift 2
    local output rc
    output=$(w "$ctl_exe" "$@" 2>&1 | tr -d '\r')
    rc=${PIPESTATUS[0]}
    if [ "$rc" -ne "$code" ]; then
        fail "pelvonctl $* exited $rc, not $code: $output"
    elif [ -n "$text" ] && ! grep -qF -- "$text" <<<"$output"; then
        fail "pelvonctl $* did not say '$text': $output"
    else
        pass "pelvonctl $* (exit $rc)"
    fi
}
# The identification replies as the host build gives them, spaced as printed.
spaced() { awk -F'\t' -v k="$1" '$1 == k {print $7}' "$expected" | sed 's/../& /g; s/ $//'; }
expect_ctl 0 "reply $(spaced GetDriverInfo.Out4)" info
expect_ctl 0 "reply $(spaced GetControllerInfo.Out4)" info
expect_ctl 1 "1168" open-port COM7 --baud 9600
expect_ctl 1 "1168" set-port COM7
expect_ctl 1 "1168" open-port
expect_ctl 0 "" close-port
expect_ctl 0 "" click off
expect_ctl 0 "" click-tone --hz 1000 --ms 50
expect_ctl 0 "" calibration --scale-x 1.5 --offset-y -20
expect_ctl 0 "" reset-calibration
expect_ctl 0 "" filter --current 0.5 --previous-input 0.5
expect_ctl 0 "" buttons left
expect_ctl 0 "" orientation as-is
expect_ctl 0 "" monitor 0 0 1024 768 1024 768
expect_ctl 0 "" monitor off
expect_ctl 0 "" range 0 65535 0 65535

# ---------------------------------------------------------------- mouse class
phase "mouse class"
class_key="$services\\mouclass_test"
placement=$(reg_value "$class_key" Placement)
if [ "$placement" = "0x1" ]; then
    pass "Wine honours UpperFilters: the class driver was added above the FDO"
else
    entry=$(reg_value "$class_key" EntryCalled)
    echo "note: Wine does not honour UpperFilters: with UpperFilters=mouclass_test on $node" \
         "the class driver was ${entry:+loaded but }${entry:-never loaded and }never added (no Placement value)"
    w reg add "$class_key" /v AttachFromEntry /t REG_DWORD /d 1 /f >/dev/null 2>&1
    start_service "$work/class-start.log" mouclass_test
    [ "$(service_state mouclass_test)" = "RUNNING" ] || fail "mouclass_test did not start: $(cat "$work/class-start.log")"
    [ "$(reg_value "$class_key" FindDriverStatus)" = "0x0" ] ||
        fail "the class driver did not find \\Driver\\pelvon: status $(reg_value "$class_key" FindDriverStatus)"
    [ "$(reg_value "$class_key" TouchDeviceCount)" = "0x2" ] ||
        fail "the touch driver has $(reg_value "$class_key" TouchDeviceCount) devices, not the FDO and the control device"
    [ "$(reg_value "$class_key" Placement)" = "0x2" ] || fail "the class driver did not attach above the FDO"
fi
# value, expected data, what it means
expect_class() {
    local got
    got=$(reg_value "$class_key" "$1")
    if [ "$got" = "$2" ]; then pass "mouse class: $1 = $2 ($3)"; else fail "mouse class: $1 = ${got:-absent}, not $2 ($3)"; fi
}
expect_class ConnectStatus 0x0 "STATUS_SUCCESS"
expect_class SecondConnectStatus 0xc0000043 "STATUS_SHARING_VIOLATION"
expect_class ShortAttributesStatus 0xc0000023 "STATUS_BUFFER_TOO_SMALL for 11 bytes"
expect_class AttributesStatus 0x0 "STATUS_SUCCESS"
expect_class AttributesInformation 0xc "12 bytes"
expect_class MouseIdentifier 0x4 "MOUSE_SERIAL_HARDWARE"
expect_class NumberOfButtons 0x2 "two buttons"
expect_class SampleRate 0x28 "40 reports per second"
expect_class ReportsDelivered 0x0 "no port, no reports"

# ---------------------------------------------------------------- after everything
phase "driver host still serving"
w "$(winepath -w "$requests")" >"$work/wine-again.tsv" 2>/dev/null
tr -d '\r' <"$work/wine-again.tsv" | cmp -s - "$got" && pass "a second round of requests gives the same replies" ||
    fail "a second round of requests differs from the first"
state=$(service_state pelvon)
[ "$state" = "RUNNING" ] && pass "pelvon still running" || fail "pelvon state at the end: ${state:-unknown}"

phase "done"
echo "Comparison: $work/comparison.txt"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed in $((SECONDS - started)) s"
