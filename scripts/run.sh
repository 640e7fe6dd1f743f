#!/usr/bin/env bash
# Starts a simulated device: a device directory under run/device and the
# device's programs on loopback (the system driver on TCP 62000, its
# device-message service on 63100; the fiber-optic driver on 62002, its
# device-message service on 63002). Stop it with Ctrl-C.
#   scripts/run.sh            keep the device directory of the last run
#   scripts/run.sh --fresh    start from a new default device
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
if [[ ! -x "$build/bin/systemdriver" || ! -x "$build/bin/fodriver" || ! -x "$build/bin/kovesim" ]]; then
    bash scripts/setup.sh
    cmake -S . -B "$build" -G Ninja >/dev/null
    cmake --build "$build" -j "$(nproc)"
fi
export KOVE_SIM=$root/run/device
if [[ "${1:-}" == "--fresh" ]]; then
    rm -rf "$KOVE_SIM"
fi
mkdir -p "$KOVE_SIM"
[[ -f "$KOVE_SIM/device.conf" ]] || "$build/bin/kovesim" create "$KOVE_SIM" >/dev/null

pids=()
stop() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop EXIT INT TERM

"$build/bin/systemdriver" >"$KOVE_SIM/systemdriver.out" 2>&1 &
pids+=($!)
# The drivers register with the hub: it listens first.
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/62000) 2>/dev/null && break
    sleep 0.1
done
"$build/bin/fodriver" >"$KOVE_SIM/fodriver.out" 2>&1 &
pids+=($!)

cat <<TEXT
Simulated device in $KOVE_SIM
  system driver: TCP 127.0.0.1:62000 (output in $KOVE_SIM/systemdriver.out,
                 log in $KOVE_SIM/Applications/tmp/Driver/log/)
  fiber optic:   TCP 127.0.0.1:62002 (output in $KOVE_SIM/fodriver.out; what
                 the IP-over-fiber device was told in $KOVE_SIM/dev/ilseth)
  host commands the device would have run: $KOVE_SIM/commands.log
  device tool:   $build/bin/kovesim leds $KOVE_SIM

Send a request from another shell, for example:
  exec 3<>/dev/tcp/127.0.0.1/62000
  printf '<?xml version="1.0"?>\n<Identify/>\n' >&3; timeout 2 cat <&3; exec 3<&-

Ctrl-C stops the device.
TEXT
wait
