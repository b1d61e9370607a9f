#!/usr/bin/env bash
# Checks that a built driver is what a Windows 2000 loader expects: a PE32
# i386 native image whose entry is DriverEntry, with a correct checksum,
# importing only routines of ntoskrnl.exe and HAL.dll that Windows 2000
# exports, with no export table, no C or C++ runtime, no static constructors,
# no writable code, and code that runs on any i586: no CMOV, no long NOPs, no
# MMX or SSE, and no x87 either, since kernel code keeps off the FPU.
# Usage: check-driver-binary.sh [--symbols UNSTRIPPED.sys] DRIVER.sys ALLOWED-IMPORTS.txt
# With --symbols, DRIVER.sys is the shipped image without a symbol table and
# UNSTRIPPED.sys the same image with it: the symbol checks, and the function
# names in instruction failures, come from the unstripped copy once it is
# shown to hold exactly the shipped image's sections (else from DRIVER.sys).
set -uo pipefail
symbols_file=
if [ "${1:-}" = --symbols ]; then
    symbols_file=$2
    shift 2
fi
[ $# -eq 2 ] || { echo "usage: $0 [--symbols UNSTRIPPED.sys] DRIVER.sys ALLOWED-IMPORTS.txt" >&2; exit 2; }
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

# Windows requires a correct checksum on a kernel-mode driver, and stripping
# rewrites the image after the linker computed it: fold the 16-bit words of
# the file, the checksum field itself left out, and add the file's length.
lfanew=$(od -An -tu4 -j60 -N4 --endian=little "$driver" | tr -d ' ')
stored_sum=$(awk '/^CheckSum/ {print $2}' <<<"$headers")
actual_sum=$(od -An -v -tu2 -w2 --endian=little "$driver" |
    awk -v skip=$(((lfanew + 88) / 2)) -v size="$(stat -c %s "$driver")" '
        NR - 1 != skip && NR - 1 != skip + 1 { sum += $1; if (sum >= 65536) sum -= 65535 }
        END { printf "%08x", sum + size }')
[ "$stored_sum" = "$actual_sum" ] || fail "checksum is ${stored_sum:-missing}, the image sums to $actual_sum"

grep -q -E '\.(ctors|dtors|init_array|fini_array|CRT|tls)' <<<"$sections" && fail "has constructor or runtime sections"
if [ -n "$symbols_file" ]; then
    [ -z "$("$nm" "$driver" 2>/dev/null)" ] || fail "$driver still has a symbol table"
    section_args=$(awk '/^ *[0-9]+ / {name=$2; getline; if ($0 ~ /CONTENTS/) printf " -j %s", name}' <<<"$sections")
    # shellcheck disable=SC2086 # one word per option
    [ "$("$objdump" -s $section_args "$driver" | grep -v 'file format')" = \
      "$("$objdump" -s $section_args "$symbols_file" 2>&1 | grep -v 'file format')" ] ||
        { fail "$symbols_file does not hold the same sections as $driver"; symbols_file=$driver; }
else
    symbols_file=$driver
fi
symbols=$("$nm" "$symbols_file" 2>/dev/null)
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

# Every instruction in the code sections must exist on an i586 (Pentium)
# processor: the integer set below, nothing else. The long NOP (0F 1F, a
# "nop" with an operand) and the hint NOPs came with the Pentium Pro; UD2 did
# too, but it exists only to fault, which it does on any processor, and PAUSE
# is REP NOP to an older one. No x87, MMX or SSE register may appear at all.
# The linker's constructor lists sit in .text but are data, not code.
misfits=$("$objdump" -d -M intel --no-show-raw-insn "$symbols_file" | awk '
    BEGIN {
        n = split("aaa aad aam aas adc add and arpl bound bsf bsr bswap bt btc btr bts call cbw " \
                  "cdq clc cld cli clts cmc cmp cmps cmpxchg cmpxchg8b cpuid cwd cwde daa das " \
                  "dec div enter hlt idiv imul in inc ins int int3 into invd invlpg iret iretd " \
                  "ja jae jb jbe je jecxz jg jge jl jle jmp jne jno jnp jns jo jp js lahf lar " \
                  "lcall lds lea leave les lfs lgdt lgs lidt ljmp lldt lmsw lods loop loope " \
                  "loopne lret lsl lss ltr mov movs movsx movzx mul neg nop not or out outs " \
                  "pause pop popa popad popf popfd push pusha pushad pushf pushfd rcl rcr rdmsr " \
                  "rdtsc ret retf rol ror rsm sahf sal sar sbb scas seta setae setb setbe sete " \
                  "setg setge setl setle setne setno setnp setns seto setp sets sgdt shl shld " \
                  "shr shrd sidt sldt smsw stc std sti stos str sub test ud2 verr verw wbinvd " \
                  "wrmsr xadd xchg xlat xor", list, " ")
        for (i = 1; i <= n; i++) allowed[list[i]] = 1
        n = split("lock rep repz repnz repe repne cs ds es fs gs ss data16 addr16", list, " ")
        for (i = 1; i <= n; i++) prefix[list[i]] = 1
    }
    /^[0-9a-f]+ <.*>:$/ { function_name = substr($2, 2, length($2) - 3); next }
    /^ *[0-9a-f]+:\t/ {
        if (function_name == "__CTOR_LIST__" || function_name == "__DTOR_LIST__") next
        address = $1; sub(/:$/, "", address)
        count = split(substr($0, index($0, "\t") + 1), word, " ")
        for (k = 1; k <= count && (word[k] in prefix); k++) {}
        if (k > count) next
        operands = ""
        for (j = k + 1; j <= count; j++) operands = operands " " word[j]
        registers = operands; gsub(/<[^>]*>/, "", registers)
        if (!(word[k] in allowed) || (word[k] == "nop" && operands != "") ||
            registers ~ /(^|[^a-z0-9_])([xyz]?mm[0-9]+|st(\([0-7]\))?)([^a-z0-9_]|$)/)
            printf "FAIL: %s at 0x%s in %s is not an i586 integer instruction (%s%s)\n",
                   word[k], address, function_name, word[k], operands
    }')
[ -z "$misfits" ] || { echo "$misfits"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $driver"
    exit 1
fi
echo "ok: $driver is a PE32 i386 native driver with $(wc -l <<<"$imports") Windows 2000 imports and i586 code"
