#!/usr/bin/env bash
# touchsim at scale, as ratios within one run on this machine: a replay of
# 10^6 bytes of touch stream (click on, mapping on) in at most 5 s and 64 MB
# of peak memory; 4x the bytes in at most 4.5x the time; a live session on a
# pseudo-terminal holding its memory (at most 10 MB more after 10^7 bytes
# than after 10^5); and a .reg file of 4x the values loading in at most 5x
# the time (linear, allowing for a cache that holds less of the larger
# registry; a loader that searched its values would show 16x).
# Times are the fastest of three runs, taken in turn so that other work on
# the machine weighs on both sizes alike; ratios are of CPU time (user and
# system), which other work disturbs least, with the elapsed time shown too.
# Prints each figure with its command and fails when a target is missed.
# Usage: bench/touchsim_scale.sh [build-dir]
set -euo pipefail
build=${1:-build/host}
touchsim=$build/tools/touchsim/touchsim
helper=$build/bench/touchsim_scale_helper
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/scale.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\pelvon\Parameters]
"PortName"="COM1"
"BaudRate"=dword:00002580
; click on: timer divisor 0x04A9, 50 ms
"Beep"=hex:01,a9,04,32,00,00,00
; the touch screen is the right half of a 2048 x 768 desktop
"MultiMonitor"=dword:00000001
"TouchMonitorOx"=dword:00000400
"TouchMonitorWidth"=dword:00000400
"TouchMonitorHeight"=dword:00000300
"PrimaryMonitorWidth"=dword:00000800
"PrimaryMonitorHeight"=dword:00000300
REG

failed=0
verdict() { # condition text
    if awk "BEGIN { exit !($1) }"; then echo "  ok ($2)"; else echo "  MISSED ($2)"; failed=1; fi
}
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Runs two commands (split at "--") three times in turn; prints for each the
# fastest run: SECONDS CPU_SECONDS PEAK_KB.
pair() {
    local first=() second=() seen=0 arg
    for arg in "$@"; do
        if [ "$arg" = "--" ]; then seen=1; elif [ $seen = 0 ]; then first+=("$arg"); else second+=("$arg"); fi
    done
    local a=() b=() line
    for _ in 1 2 3; do
        for which in a b; do
            if [ $which = a ]; then line=$("$helper" measure "${first[@]}"); else line=$("$helper" measure "${second[@]}"); fi
            [ "$(echo "$line" | awk '{print $4}')" = 0 ] || { echo "touchsim failed: $line" >&2; exit 1; }
            if [ $which = a ]; then a+=("$line"); else b+=("$line"); fi
        done
    done
    printf '%s\n' "${a[@]}" | sort -n -k2 | head -1 | awk '{print $1, $2, $3}'
    printf '%s\n' "${b[@]}" | sort -n -k2 | head -1 | awk '{print $1, $2, $3}'
}

"$helper" stream 1000000 "$work/1m.bin"
"$helper" stream 4000000 "$work/4m.bin"
{ read -r t1 c1 kb1; read -r t4 c4 kb4; } < <(pair \
    "$touchsim" --reg "$work/scale.reg" --raw "$work/1m.bin" --format jsonl -- \
    "$touchsim" --reg "$work/scale.reg" --raw "$work/4m.bin" --format jsonl)
echo "replay: $touchsim --reg scale.reg --raw STREAM --format jsonl >/dev/null"
echo "  10^6 bytes: $t1 s ($c1 s CPU), peak RSS $(mb "$kb1") MB"
verdict "$t1 <= 5 && $kb1 <= 64 * 1024" "at most 5 s and 64 MB"
echo "  4 x 10^6 bytes: $t4 s ($c4 s CPU), peak RSS $(mb "$kb4") MB:" \
    "$(ratio "$c4" "$c1")x the CPU time ($(ratio "$t4" "$t1")x elapsed) for 4x the bytes"
verdict "$c4 <= 4.5 * $c1" "at most 4.5x"

read -r rss1 rss2 code < <("$helper" live "$touchsim" "$work/scale.reg" "$work/1m.bin" 100000 10000000)
echo "live: $touchsim --reg scale.reg --serial PTY --format jsonl >/dev/null, fed 10^7 bytes, then SIGINT"
echo "  RSS $(mb "$rss1") MB after 10^5 bytes, $(mb "$rss2") MB after 10^7 bytes (exit $code)"
verdict "$rss2 - $rss1 <= 10 * 1024 && $code == 0" "within 10 MB, exit 0"

# The registry: values named in a key the driver ignores (one warning), and
# one value continued over many lines.
registry() { # VALUES LINES FILE
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Scale]\n'
        awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "\"Value%d\"=dword:%08x\n", i, i }'
        printf '"Long"=hex:00'
        awk -v n="$2" 'BEGIN { for (i = 0; i < n; i++) printf ",\\\n  01,02,03,04" }'
        printf '\n'
    } >"$3"
}
: >"$work/empty.txt"
registry 30000 100000 "$work/r1.reg"
registry 120000 400000 "$work/r4.reg"
{ read -r r1 rc1 _; read -r r4 rc4 _; } < <(pair \
    "$touchsim" --reg "$work/r1.reg" --bytes "$work/empty.txt" --port COM1 --baud 9600 -- \
    "$touchsim" --reg "$work/r4.reg" --bytes "$work/empty.txt" --port COM1 --baud 9600)
echo "registry: $touchsim --reg REG --bytes empty.txt --port COM1 --baud 9600"
echo "  30000 values and a value over 100000 lines: $r1 s ($rc1 s CPU); 4x both: $r4 s ($rc4 s CPU)," \
    "$(ratio "$rc4" "$rc1")x"
verdict "$rc4 <= 5 * $rc1" "at most 5x"

exit $failed
