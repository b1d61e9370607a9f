#!/usr/bin/env bash
# Installs Wine with its 32-bit half for the real-kernel run, if missing:
# wine, wine64 and wine32 under the i386 architecture; and for pelvoncal's
# run on a virtual display, Xvfb, xdotool (the touches) and ImageMagick (the
# screenshot and its pixels). Quiet and idempotent.
# Usage: scripts/install-wine.sh   (run as root)
set -euo pipefail

packages=(wine wine64 wine32:i386 xvfb xdotool imagemagick)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not running as root; as root run: dpkg --add-architecture i386;" \
         "apt-get update; apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# wine32 lives in the i386 archive; the package lists must know it.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# wine32 installs everywhere, but runs only where the kernel executes i386
# programs; say so once, rather than let a later Wine error suggest a bad install.
status=0
"$(dirname "$0")/can-run-i386.sh" --skip-log /dev/null >/dev/null 2>&1 || status=$?
if [ "$status" -eq 77 ]; then
    echo "Installed. This machine cannot run 32-bit x86 programs: the 32-bit Wine runs will be reported as skipped."
fi
