#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for SECONDS each
# (default 60) on a temporary copy of its checked-in seed corpus, printing
# executions and coverage per target. Fails on any crash, sanitizer report,
# verifier stop or invariant violation; the input that did it is kept in
# build/fuzz/artifacts/.
# Usage: scripts/run-fuzzers.sh [SECONDS] [TARGET...]
#   targets: read_pump control_requests registry serialcomm (the driver)
#            regfile byte_script gesture (touchsim's text inputs) (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(read_pump control_requests registry serialcomm regfile byte_script gesture)

scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
    binary=build/fuzz/fuzz/${target}_fuzzer
    corpus=$work/$target
    cp -r "fuzz/corpus/$target" "$corpus"
    log=$work/$target.log
    status=0
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" "$corpus" >"$log" 2>&1 || status=$?
    # A target that stops at once prints neither: report its failure all the same.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1 || true)
    printf '%-17s %s s: %s executions, %s\n' "$target" "$seconds" "${runs:-?}" "${coverage:-no coverage line}"
    if [ "$status" -ne 0 ]; then
        echo "---- $target failed (exit $status); the end of its log:" >&2
        grep -vE '^(#[0-9]+ +(NEW|REDUCE|pulse)|\s+NEW_FUNC)' "$log" | tail -40 >&2
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]} (reproduce with build/fuzz/fuzz/<target>_fuzzer $artifacts/<file>)" >&2
    exit 1
fi
echo "fuzzing passed: ${#targets[@]} targets, ${seconds} s each"
