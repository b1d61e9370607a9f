#!/usr/bin/env bash
# Checks that a Windows program of the tools is one Windows 2000 (x86) loads
# and runs: a PE32 i386 image of the given subsystem whose subsystem and OS
# versions are at most 5.0, importing only routines the allow-list names
# (packaging/windows2000-user-imports.txt, each with where its availability
# on Windows 2000 is recorded).
# Usage: check-user-binary.sh --subsystem console|gui PROGRAM.exe ALLOWED-IMPORTS.txt
set -uo pipefail
[ "${1:-}" = --subsystem ] && [ $# -eq 4 ] ||
    { echo "usage: $0 --subsystem console|gui PROGRAM.exe ALLOWED-IMPORTS.txt" >&2; exit 2; }
case "$2" in
    console) subsystem=00000003 ;;
    gui) subsystem=00000002 ;;
    *) echo "$0: subsystem is console or gui" >&2; exit 2 ;;
esac
program=$3
allowed=$4
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$program") || { echo "FAIL: cannot read $program"; exit 1; }
grep -q 'Magic[[:space:]]*010b' <<<"$headers" || fail "not PE32"
grep -q 'architecture: i386' <<<"$("$objdump" -f "$program")" || fail "not i386"
grep -q "^Subsystem[[:space:]]*$subsystem" <<<"$headers" || fail "subsystem is not $2"
# Windows 2000 is version 5.0: a program that asks for more is refused.
for field in SubsystemVersion OSystemVersion; do
    major=$(awk -v f="Major$field" '$1 == f {print $2}' <<<"$headers")
    minor=$(awk -v f="Minor$field" '$1 == f {print $2}' <<<"$headers")
    [ -n "$major" ] && [ $((major * 100 + minor)) -le 500 ] || fail "asks for Windows $major.$minor ($field)"
done
# Entry 13 of the data directory: delay-loaded imports, which the list below would not see.
awk '$1 == "Entry" && $2 == "d" && ($3 != "00000000" || $4 != "00000000") {found = 1} END {exit !found}' <<<"$headers" &&
    fail "has delay-loaded imports, which the check cannot see"

imports=$(awk '/DLL Name:/ {module=$3; next} module != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print module, $3} /^$/ {module=""}' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"
count=0
while read -r module routine; do
    [ -z "$module" ] && continue
    count=$((count + 1))
    grep -q -i -E "^${module//./\\.}[[:space:]]+${routine}([[:space:]]|$)" "$allowed" ||
        fail "imports $module!$routine, which is not on the Windows 2000 list"
done <<<"$imports"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $program"
    exit 1
fi
echo "ok: $program is a PE32 $2 program for Windows 2000 with $count imports from $(awk '{print $1}' <<<"$imports" | sort -u | tr '\n' ' ')"
