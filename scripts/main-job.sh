#!/usr/bin/env bash
# The main job: installs what is missing, builds the host and the kernel
# builds, measures the touch data path, and replays the bundled touch session
# through the driver on the host kernel stand-in.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all

cmake --preset host
cmake --build --preset host -j"$(nproc)"
cmake --preset kernel-x86
cmake --build --preset kernel-x86 -j"$(nproc)"

echo "== Touch data path: time per byte =="
build/host/bench/core_bench --benchmark_min_time=0.5
echo "== Touch data path: instructions per byte (callgrind) =="
bench/count_instructions.sh build/host

echo "== Bundled session: samples/settings.reg + samples/session.gesture =="
build/host/tools/touchsim/touchsim --reg samples/settings.reg --gesture samples/session.gesture \
    --svg build/session.svg --stats
echo "Picture of the session: build/session.svg"
