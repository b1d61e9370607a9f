#!/usr/bin/env bash
# touchsim at scale, as ratios within one run on this machine: a replay of
# 10^6 bytes of touch stream (click on, mapping on) in at most 5 s and 64 MB
# of peak memory; 4x the bytes in at most 4.5x the time; a live session on a
# pseudo-terminal holding its memory (at most 10 MB more after 10^7 bytes
# than after 10^5); and a .reg file of 4x the values loading in at most 5x
# the time (linear, allowing for a cache that holds less of the larger
# registry; a loader that searched its values would show 16x). Each timed
# run is the fastest of three. Prints the figures with the commands and
# fails when a target is missed.
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

# Fastest of three runs: SECONDS PEAK_KB
replay() {
    local best="" line
    for _ in 1 2 3; do
        line=$("$helper" measure "$@")
        [ "$(echo "$line" | awk '{print $3}')" = 0 ] || { echo "touchsim failed: $*" >&2; exit 1; }
        best=$(printf '%s\n%s\n' "$best" "$line" | awk 'NF' | sort -n | head -1)
    done
    echo "$best"
}

"$helper" stream 1000000 "$work/1m.bin"
"$helper" stream 4000000 "$work/4m.bin"
read -r t1 kb1 _ < <(replay "$touchsim" --reg "$work/scale.reg" --raw "$work/1m.bin" --format jsonl)
read -r t4 kb4 _ < <(replay "$touchsim" --reg "$work/scale.reg" --raw "$work/4m.bin" --format jsonl)
echo "replay: $touchsim --reg scale.reg --raw STREAM --format jsonl >/dev/null"
printf '  10^6 bytes: %.2f s, peak RSS %.1f MB\n' "$t1" "$(awk -v k="$kb1" 'BEGIN { print k / 1024 }')"
verdict "$t1 <= 5 && $kb1 <= 64 * 1024" "at most 5 s and 64 MB"
printf '  4 x 10^6 bytes: %.2f s, peak RSS %.1f MB: %.2fx the time for 4x the bytes\n' "$t4" \
    "$(awk -v k="$kb4" 'BEGIN { print k / 1024 }')" "$(awk -v a="$t4" -v b="$t1" 'BEGIN { print a / b }')"
verdict "$t4 <= 4.5 * $t1" "at most 4.5x"

read -r rss1 rss2 code < <("$helper" live "$touchsim" "$work/scale.reg" "$work/1m.bin" 100000 10000000)
echo "live: $touchsim --reg scale.reg --serial PTY --format jsonl >/dev/null, fed 10^7 bytes, then SIGINT"
printf '  RSS %.1f MB after 10^5 bytes, %.1f MB after 10^7 bytes (exit %s)\n' \
    "$(awk -v k="$rss1" 'BEGIN { print k / 1024 }')" "$(awk -v k="$rss2" 'BEGIN { print k / 1024 }')" "$code"
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
read -r r1 _ < <(replay "$touchsim" --reg "$work/r1.reg" --bytes "$work/empty.txt" --port COM1 --baud 9600)
read -r r4 _ < <(replay "$touchsim" --reg "$work/r4.reg" --bytes "$work/empty.txt" --port COM1 --baud 9600)
echo "registry: $touchsim --reg REG --bytes empty.txt --port COM1 --baud 9600"
printf '  30000 values and a value over 100000 lines: %.2f s; 4x both: %.2f s, %.2fx\n' "$r1" "$r4" \
    "$(awk -v a="$r4" -v b="$r1" 'BEGIN { print a / b }')"
verdict "$r4 <= 5 * $r1" "at most 5x"

exit $failed
