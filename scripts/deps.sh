#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Used by ./run and ./test; safe to run again.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
    qt6-base-dev libgl-dev
    libmount-dev libudev-dev libblkid-dev
    libgtest-dev libgmock-dev
    dosfstools mtools
    dbus python3 python3-dbusmock
    xvfb xauth
    qemu-system-x86 busybox-static cpio kmod udev udisks2 policykit-1 libglib2.0-bin e2fsprogs
    openbox xdotool x11-utils imagemagick libx11-dev
    lintian desktop-file-utils appstream devscripts  # the package check; hardening-check is in devscripts
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix googletest nsis wine wine64
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
