#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
# Usage: scripts/install-deps.sh [host|kernel|fuzz|all]   (run as root)
set -euo pipefail

want=${1:-all}
host_packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev valgrind)
kernel_packages=(g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686
                 g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)
# clang++ with libFuzzer and the sanitizer runtimes (clang-14 only recommends them).
fuzz_packages=(cmake make g++ clang libclang-rt-14-dev)

packages=()
case "$want" in
    host) packages=("${host_packages[@]}") ;;
    kernel) packages=("${kernel_packages[@]}") ;;
    fuzz) packages=("${fuzz_packages[@]}") ;;
    all) packages=("${host_packages[@]}" "${kernel_packages[@]}" "${fuzz_packages[@]}") ;;
    *) echo "usage: $0 [host|kernel|fuzz|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not running as root; install them with: apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
