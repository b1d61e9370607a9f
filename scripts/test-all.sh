#!/usr/bin/env bash
# Every test: installs what is missing, builds the host build (plain and
# with sanitizers) and the kernel build, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

# Checks that cannot run on this machine (32-bit programs where the kernel
# has no IA32 emulation) add one line each here; the summary repeats them.
export PELVON_SKIP_LOG=$PWD/build/skipped-checks.txt
mkdir -p build
: >"$PELVON_SKIP_LOG"
summary() {
    local status=$?
    echo "== Summary"
    if [ -s "$PELVON_SKIP_LOG" ]; then
        echo "Skipped on this machine:"
        sed 's/^/  - /' "$PELVON_SKIP_LOG"
    else
        echo "Nothing was skipped."
    fi
    if [ "$status" -eq 0 ]; then echo "Every test passed."; else echo "FAILED (exit $status)."; fi
}
trap summary EXIT

scripts/install-deps.sh all
scripts/install-wine.sh

jobs=$(nproc)
cmake --preset kernel-x86
cmake --build --preset kernel-x86 -j"$jobs"
ctest --preset kernel-x86
# The same sources for Wine64: the driver's data path under Wine's kernel on
# every machine, 32-bit or not.
cmake --preset kernel-x64-test
cmake --build --preset kernel-x64-test -j"$jobs"
ctest --preset kernel-x64-test

for preset in host host-asan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j"$jobs"
    ctest --preset "$preset" -j"$jobs"
done
# Races: the robustness and driver tests under ThreadSanitizer, with fewer
# iterations; only the deliberately unlocked settings are suppressed.
cmake --preset host-tsan
cmake --build --preset host-tsan -j"$jobs" --target robustness_tests driver_tests
tsan="suppressions=$PWD/tests/robustness/tsan.supp"
TSAN_OPTIONS="$tsan" PELVON_ROBUSTNESS_SCALE=0.3 build/host-tsan/tests/robustness_tests
TSAN_OPTIONS="$tsan" build/host-tsan/tests/driver_tests
# Seven targets share about three minutes.
scripts/run-fuzzers.sh 26
