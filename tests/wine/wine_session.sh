#!/usr/bin/env bash
# One session of the real driver under Wine's kernel, with touchsim's inputs
# and report format:
#
#   wine_session.sh --arch x64|x86 --reg FILE --bytes FILE [--build DIR]
#
# In a fresh prefix (Wine's 64-bit half for x64, its 32-bit half for x86),
# pelvon.sys is started as a kernel service with a root device node, so
# Wine adds and starts its device; the test mouse class attaches above it and
# connects; the test serial port creates COM1..COM4; the stand-ins fill in
# what Wine's kernel lacks (below). The REGEDIT4 file supplies the service's
# Parameters exactly as touchsim takes it; the port the driver opens is a
# test port. The runner opens the port as touchsim does (the registry's port
# and line speed), the test port plays the hex byte script in real time, and
# every report the class service callback received is printed on stdout, one
# JSON line each in delivery order:
#   {"report":{"flags":F,"buttons":B,"raw":R,"x":X,"y":Y}}
# and nothing else; progress and diagnostics go to stderr.
#
# Stood in for, because Wine 8's kernel lacks it, and nothing else:
#   - IoGetDeviceObjectPointer: Wine's is a stub returning a dummy device
#     with no dispatch routines, so no port could be reached. The stand-in
#     opens the test port by its device name (IRP_MJ_CREATE with a file
#     object, as the kernel does).
#   - ObfDereferenceObject of that file object: the port then gets
#     IRP_MJ_CLEANUP and IRP_MJ_CLOSE; any other object goes to Wine's.
#   - RtlQueryRegistryValues for a table that enumerates every value of a
#     key (one entry, no Name): Wine passes the entry's NULL Name to the
#     query routine where Windows passes each value's name, and the port
#     lookup in SERIALCOMM reads through it. Other tables go to Wine's.
#   - The speaker's port accesses, to record the click: on x86 the HAL's
#     READ_PORT_UCHAR/WRITE_PORT_UCHAR (stubs in Wine); on x64 the in/out
#     instructions inline in the driver, which Wine's privileged-instruction
#     emulation does not cover (it would end the driver host).
# All but the x64 port instructions are import entries of the loaded pelvon.sys, rewritten in
# memory by a test driver (standins_drv.sys) in the same driver host; the
# image on disk is the build's. The x64 port instructions are emulated by a
# vectored exception handler for the driver's image only.
#
# For tests, also:
#   --work DIR             keep the prefix and the session's files there
#                          (default: a temporary folder, removed at the end)
#   --refuse-basic-settings  the test port refuses
#                          IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS
#   --remove               leave the port open at the end and stop the pelvon
#                          service, which makes Wine remove its root device
# In the work folder: session/reports.jsonl, writes.jsonl (speaker port
# writes, each with the milliseconds since the stand-ins started),
# requests.txt (every request the test port saw, then its counters),
# standins.txt, and after --remove the same again under removed/.
#
# Exit: 0 the session ran; 77 this machine cannot run that architecture;
# 1 any failure (including bad input, missing build outputs or tools).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/wine_prefix.sh
. "$here/wine_prefix.sh"

arch="" reg="" bytes="" build="" work="" refuse=0 remove=0
usage() { echo "usage: $0 --arch x64|x86 --reg FILE --bytes FILE [--build DIR]" >&2; exit 1; }
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch=${2:-}; shift ;;
        --reg) reg=${2:-}; shift ;;
        --bytes) bytes=${2:-}; shift ;;
        --build) build=${2:-}; shift ;;
        --work) work=${2:-}; shift ;;
        --refuse-basic-settings) refuse=1 ;;
        --remove) remove=1 ;;
        *) usage ;;
    esac
    shift
done
case "$arch" in
    x64) preset=kernel-x64-test ;;
    x86) preset=kernel-x86 ;;
    *) usage ;;
esac
[ -n "$reg" ] && [ -n "$bytes" ] || usage
for file in "$reg" "$bytes"; do
    [ -f "$file" ] || { echo "wine_session: no file $file" >&2; exit 1; }
done
build=${build:-$source_dir/build/$preset}

say() { echo "wine_session: $*" >&2; }

if [ "$arch" = x86 ]; then
    "$source_dir/scripts/can-run-i386.sh" --what "the x86 Wine session of pelvon.sys" >&2
    case $? in
        0) ;;
        77) exit 77 ;;
        *) say "could not tell whether this machine runs 32-bit x86 programs"; exit 1 ;;
    esac
fi

outputs=(driver/pelvon.sys tests/wine/mouclass_drv.sys tests/wine/serport_drv.sys tests/wine/standins_drv.sys
         tests/wine/session_user.exe)
for output in "${outputs[@]}"; do
    if [ ! -f "$build/$output" ]; then
        say "$build/$output is missing: build the $preset preset first" \
            "(cmake --preset $preset && cmake --build --preset $preset)"
        exit 1
    fi
done

started=$SECONDS
if [ -z "$work" ]; then
    work=$(mktemp -d) || exit 1
    trap 'wine_cleanup; rm -rf "$work"' EXIT
else
    mkdir -p "$work" && work=$(realpath "$work")
    trap 'wine_cleanup' EXIT
fi
trap 'exit 130' INT TERM
wine_use "$arch" "$work"
missing=$(wine_missing_tools)
[ -z "$missing" ] || { say "missing: $missing; run scripts/install-wine.sh as root"; exit 1; }

say "fresh $arch prefix in $work/prefix"
wine_fresh_prefix "$work/wineboot.log" >&2 || exit 1

session=$WINEPREFIX/drive_c/pelvon-session
mkdir -p "$session"
cp "$reg" "$session/settings.reg"
cp "$bytes" "$session/input.hex"
services='HKLM\System\CurrentControlSet\Services'
{
    printf 'REGEDIT4\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\Root\\PELVON\\0000]\r\n'
    printf '"Service"="pelvon"\r\n'
    # REG_MULTI_SZ "Root\PELVON"
    printf '"HardwareID"=hex(7):52,00,6f,00,6f,00,74,00,5c,00,50,00,45,00,4c,00,56,00,4f,00,4e,00,00,00,00,00\r\n'
    printf '"ClassGUID"="{4D36E96F-E325-11CE-BFC1-08002BE10318}"\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mouclass_test]\r\n'
    printf '"AttachFromEntry"=dword:00000001\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\serport_test\\Parameters]\r\n'
    printf '"ScriptFile"="\\\\??\\\\C:\\\\pelvon-session\\\\script.bin"\r\n'
    printf '"AcceptBasicSettings"=dword:%08x\r\n' $((1 - refuse))
} >"$session/session.reg"

say "services"
setup_ok=1
step() { "$@" >>"$work/setup.log" 2>&1 || { say "setup step failed: $* (see $work/setup.log)"; setup_ok=0; }; }
step wine_kernel_service pelvon "$build/driver/pelvon.sys"
step wine_kernel_service mouclass_test "$build/tests/wine/mouclass_drv.sys"
step wine_kernel_service serport_test "$build/tests/wine/serport_drv.sys"
step wine_kernel_service standins_test "$build/tests/wine/standins_drv.sys"
step w reg import 'C:\pelvon-session\settings.reg'
step w reg import 'C:\pelvon-session\session.reg'
[ "$setup_ok" -eq 1 ] || exit 1

# The touch driver first (Wine adds and starts its device), then the class
# driver that attaches above it, the port, and the stand-ins, which need
# pelvon.sys loaded to rewrite its imports.
for service in pelvon mouclass_test serport_test standins_test; do
    start_service "$work/start-$service.log" "$service"
    state=$(service_state "$service")
    if [ "$state" != RUNNING ]; then
        say "$service did not start (state ${state:-unknown}):"
        cat "$work/start-$service.log" >&2
        exit 1
    fi
done
connect=$(reg_value "$services\\mouclass_test" ConnectStatus)
[ "$connect" = 0x0 ] || { say "the test mouse class did not connect: status ${connect:-none}"; exit 1; }
say "drivers up after $((SECONDS - started)) s; playing"

runner_args=('C:\pelvon-session')
[ "$remove" -eq 1 ] && runner_args+=(--keep-open)
cp "$build/tests/wine/session_user.exe" "$session/session_user.exe"
WINE_TIMEOUT=${PELVON_SESSION_TIMEOUT:-300} w 'C:\pelvon-session\session_user.exe' "${runner_args[@]}" \
    </dev/null 2>"$work/runner.log" | tr -d '\r' >&2
status=${PIPESTATUS[0]}
tr -d '\r' <"$work/runner.log" >&2
if [ "$status" -ne 0 ]; then
    say "the runner failed (exit $status)"
    exit 1
fi

if [ "$remove" -eq 1 ]; then
    say "stopping the pelvon service with the port open"
    WINEDEBUG=err+all w sc stop pelvon >"$work/stop.log" 2>&1
    for _ in $(seq 1 20); do
        [ "$(service_state pelvon)" = STOPPED ] && break
        sleep 0.5
    done
    say "pelvon after the stop: $(service_state pelvon)"
    mkdir -p "$work/removed"
    w 'C:\pelvon-session\session_user.exe' 'C:\pelvon-session' --collect </dev/null 2>&1 | tr -d '\r' >&2
    for file in reports.jsonl writes.jsonl requests.txt standins.txt; do
        cp "$session/$file" "$work/removed/$file" 2>/dev/null
    done
fi

mkdir -p "$work/session"
for file in reports.jsonl writes.jsonl requests.txt standins.txt; do
    [ -f "$session/$file" ] || { say "the runner wrote no $file"; exit 1; }
done
if [ "$remove" -eq 1 ]; then
    cp "$work/removed/"* "$work/session/" 2>/dev/null
else
    cp "$session/reports.jsonl" "$session/writes.jsonl" "$session/requests.txt" "$session/standins.txt" "$work/session/"
fi
say "$(wc -l <"$work/session/reports.jsonl") reports; $(tail -n 1 "$work/session/requests.txt")"
say "done in $((SECONDS - started)) s"
cat "$work/session/reports.jsonl"
