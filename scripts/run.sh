#!/usr/bin/env bash
# Starts a simulated device: a device directory under run/device and the
# device's programs on loopback. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
if [[ ! -x "$build/bin/kovesim" ]]; then
    bash scripts/setup.sh
    cmake -S . -B "$build" -G Ninja >/dev/null
    cmake --build "$build" -j "$(nproc)"
fi
export KOVE_SIM=$root/run/device
mkdir -p "$KOVE_SIM"
[[ -f "$KOVE_SIM/device.conf" ]] || "$build/bin/kovesim" create "$KOVE_SIM"
echo "simulated device in $KOVE_SIM"
echo "(no driver runs yet)"
