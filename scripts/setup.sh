#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project.
# Quick and quiet when everything is there already.
set -euo pipefail

# FFTW and OpenSSL are the yardsticks of the FFT and SHA-3 benchmarks only. libminizip-dev and
# zlib1g-dev: the updater reads and writes zip archives with minizip, linked statically (both
# ship their .a files).
packages=(g++ clang libclang-rt-14-dev cmake ninja-build libgtest-dev libgmock-dev
          libbenchmark-dev libpugixml-dev libfftw3-dev libssl-dev libminizip-dev zlib1g-dev zip
          unzip tar gzip iproute2
          util-linux procps)

# --arm: what the cross build for the device's 32-bit ARM processor needs besides: Debian's
# cross compiler, the user-mode emulator that runs its tests, and the target's runtime and
# test libraries from Debian's multiarch packages.
arm=0
if [[ "${1:-}" == "--arm" ]]; then
    arm=1
    packages+=(g++-arm-linux-gnueabihf qemu-user libc6:armhf libstdc++6:armhf libgtest-dev:armhf
               libgmock-dev:armhf libbenchmark-dev:armhf libpugixml-dev:armhf libminizip-dev:armhf
               zlib1g-dev:armhf)
fi

missing=()
for p in "${packages[@]}"; do
    # One line per installed architecture (armhf packages sit beside the native ones).
    status=$(dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null || true)
    grep -qx "install ok installed" <<<"$status" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [[ $arm -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
fi
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
