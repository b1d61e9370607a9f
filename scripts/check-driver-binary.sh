#!/usr/bin/env bash
# Checks that a built driver is what a Windows 2000 loader expects: a PE32
# i386 native image whose entry is DriverEntry, importing only routines of
# ntoskrnl.exe and HAL.dll that Windows 2000 exports, with no export table,
# no C or C++ runtime, no static constructors and no writable code.
# Usage: check-driver-binary.sh DRIVER.sys ALLOWED-IMPORTS.txt
set -uo pipefail
driver=$1
allowed=$2
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$driver") || { echo "FAIL: cannot read $driver"; exit 1; }
fileinfo=$("$objdump" -f "$driver")
sections=$("$objdump" -h "$driver")

grep -q 'Magic[[:space:]]*010b' <<<"$headers" || fail "not PE32"
grep -q 'architecture: i386' <<<"$fileinfo" || fail "not i386"
grep -q 'Subsystem[[:space:]]*00000001' <<<"$headers" || fail "subsystem is not native"
grep -q 'There is an export table' <<<"$headers" && fail "has an export table"

modules=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
for module in $modules; do
    case "$module" in ntoskrnl.exe|HAL.dll) ;; *) fail "imports from $module" ;; esac
done
imports=$(awk '/DLL Name:/ {module=$3; next} module != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print module, $3} /^$/ {module=""}' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"
while read -r module routine; do
    [ -z "$module" ] && continue
    grep -q -E "^${module//./\\.}[[:space:]]+${routine}([[:space:]]|$)" "$allowed" ||
        fail "imports $module!$routine, which is not on the Windows 2000 list"
done <<<"$imports"

grep -q -E '\.(ctors|dtors|init_array|fini_array|CRT|tls)' <<<"$sections" && fail "has constructor or runtime sections"
symbols=$("$nm" "$driver" 2>/dev/null)
grep -q -E ' (___main|__main|_atexit|___cxa_|__ZSt|_malloc|_free|___chkstk|__alloca)' <<<"$symbols" &&
    fail "links C or C++ runtime code"
# A section both writable and executable: objdump lists CODE sections without READONLY.
awk '/^ *[0-9]+ / {name=$2; getline; if ($0 ~ /CODE/ && $0 !~ /READONLY/) print name}' <<<"$sections" |
    while read -r name; do echo "FAIL: section $name is writable and executable"; done | grep . && failures=$((failures + 1))

entry=$(awk '/AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/ImageBase/ {print $2}' <<<"$headers")
driver_entry=$(awk '$3 == "_DriverEntry@8" {print $1}' <<<"$symbols")
if [ -z "$driver_entry" ]; then
    fail "no DriverEntry symbol"
elif [ $((16#$entry + 16#$base)) -ne $((16#$driver_entry)) ]; then
    fail "entry point is not DriverEntry"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $driver"
    exit 1
fi
echo "ok: $driver is a PE32 i386 native driver with $(wc -l <<<"$imports") Windows 2000 imports"
