#!/usr/bin/env bash
# Instructions per byte of the core touch path, counted by callgrind (the
# count is deterministic for a given binary). Usage: count_instructions.sh [build-dir]
set -euo pipefail
build=${1:-build/host}
shift || true
program="$build/bench/core_path_count"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
summary=$("$program" "$@")
bytes=$(echo "$summary" | awk '{print $2}')
valgrind --tool=callgrind --toggle-collect='RunCorePath*' --callgrind-out-file="$out/cg.out" "$program" "$@" >/dev/null 2>"$out/log"
instructions=$(awk '/^summary:/ {print $2}' "$out/cg.out")
echo "$summary"
awk -v i="$instructions" -v b="$bytes" 'BEGIN { printf "instructions %d over %d bytes: %.2f per byte\n", i, b, i / b }'
