#!/usr/bin/env bash
# Instructions per byte of the whole driver path on the stand-in, counted by
# callgrind from the read completion to the next read (inclusive: the
# stand-in's own I/O manager work is in the total), and the part spent in the
# driver's own code (driver/ and core/). Usage: count_driver_instructions.sh [build-dir]
set -euo pipefail
build=${1:-build/host}
program="$build/bench/driver_path_count"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
summary=$("$program")
bytes=$(echo "$summary" | awk '{print $2}')
valgrind --tool=callgrind --toggle-collect='ReadCompletion*' --callgrind-out-file="$out/cg.out" "$program" >/dev/null 2>"$out/log"
total=$(awk '/^summary:/ {print $2}' "$out/cg.out")
own=$(callgrind_annotate --threshold=100 "$out/cg.out" 2>/dev/null |
      awk '/%\)  (driver|core)\// {gsub(",", "", $1); sum += $1} END {print sum + 0}')
echo "$summary"
awk -v t="$total" -v o="$own" -v b="$bytes" 'BEGIN {
    printf "whole path on the stand-in: %d instructions, %.1f per byte\n", t, t / b
    printf "driver and core code alone: %d instructions, %.1f per byte\n", o, o / b }'
"$program" --burst
