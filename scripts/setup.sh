#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project.
# Quick and quiet when everything is there already.
set -euo pipefail

packages=(g++ clang libclang-rt-14-dev cmake ninja-build libgtest-dev libgmock-dev
          libbenchmark-dev libpugixml-dev zip unzip tar gzip iproute2 util-linux procps)

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
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
