#!/usr/bin/env bash
# Every test: installs what is missing, builds the host build (plain and
# with sanitizers) and the kernel build, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all

jobs=$(nproc)
cmake --preset kernel-x86
cmake --build --preset kernel-x86 -j"$jobs"
ctest --preset kernel-x86

for preset in host host-asan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j"$jobs"
    ctest --preset "$preset" -j"$jobs"
done
