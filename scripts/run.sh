#!/usr/bin/env bash
# Starts a simulated device: a device directory under run/device and the
# device's programs on loopback (the system driver on TCP 62000, its
# device-message service on 63100, the signal-routing driver on TCP 62001, the
# fiber-optic driver on 62002 with its device-message service on 63002; on a
# bus-monitor device also the PROFINET sniffer driver on 62101). Stop it with Ctrl-C.
#   scripts/run.sh            keep the device directory of the last run
#   scripts/run.sh --fresh    start from a new default device
#   scripts/run.sh --fresh --family PNA    a new device made with these
#                             "kovesim create" options (here a bus-monitor device)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
if [[ ! -x "$build/bin/systemdriver" || ! -x "$build/bin/dufdriver" || ! -x "$build/bin/fodriver" || ! -x "$build/bin/kovesim" || ! -x "$build/bin/qtx" ]]; then
    bash scripts/setup.sh
    cmake -S . -B "$build" -G Ninja >/dev/null
    cmake --build "$build" -j "$(nproc)"
fi
export KOVE_SIM=$root/run/device
if [[ "${1:-}" == "--fresh" ]]; then
    rm -rf "$KOVE_SIM"
    shift
fi
mkdir -p "$KOVE_SIM"
[[ -f "$KOVE_SIM/device.conf" ]] || "$build/bin/kovesim" create "$KOVE_SIM" "$@" >/dev/null

pids=()
stop() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop EXIT INT TERM

# As the device boots: the hub's start-up run restores the configuration stored in flash (and
# writes the device name into /tmp/DeviceName), then the resident hub starts.
"$build/bin/systemdriver" -Startup=/tmp/DeviceName >"$KOVE_SIM/startup.out" 2>&1 ||
    echo "The start-up run of the system driver failed (output in $KOVE_SIM/startup.out)" >&2
"$build/bin/systemdriver" >"$KOVE_SIM/systemdriver.out" 2>&1 &
pids+=($!)
# The drivers beside the hub register with it as they start: they start once it listens.
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/62000) 2>/dev/null && break
    sleep 0.1
done
"$build/bin/fodriver" >"$KOVE_SIM/fodriver.out" 2>&1 &
pids+=($!)
"$build/bin/dufdriver" >"$KOVE_SIM/dufdriver.out" 2>&1 &
pids+=($!)

# The bus-monitor variants (families PNA and EIP) have the PROFINET sniffer driver in slot 1.
family=$(sed -n 's/^family=//p' "$KOVE_SIM/device.conf")
pn=""
if [[ "$family" == "PNA" || "$family" == "EIP" ]]; then
    # A module driver registers with the hub at its start: the hub listens first.
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/62000) 2>/dev/null && break
        sleep 0.1
    done
    "$build/bin/pndriver" >"$KOVE_SIM/pndriver.out" 2>&1 &
    pids+=($!)
    pn="  PROFINET sniffer driver: TCP 127.0.0.1:62101 (output in $KOVE_SIM/pndriver.out),
                 controller state: $build/bin/kovesim pndrv $KOVE_SIM"
fi

cat <<TEXT
Simulated device in $KOVE_SIM
  system driver: TCP 127.0.0.1:62000 (output in $KOVE_SIM/systemdriver.out,
                 log in $KOVE_SIM/Applications/tmp/Driver/log/)
  routing driver: TCP 127.0.0.1:62001 (output in $KOVE_SIM/dufdriver.out)
  fiber optic:   TCP 127.0.0.1:62002 (output in $KOVE_SIM/fodriver.out; what
                 the IP-over-fiber device was told in $KOVE_SIM/dev/ilseth)
  host commands the device would have run: $KOVE_SIM/commands.log
  device tool:   $build/bin/kovesim leds $KOVE_SIM
$pn

Send a request from another shell with the service tool, for example:
  printf '<?xml version="1.0"?>\n<Identify/>\n' > identify.xml
  $build/bin/qtx XML identify.xml            (the reply also in identify.xml.reply)
  $build/bin/qtx 127.0.0.1:62002 XML ping.xml   (another driver: a target with its port)

Ctrl-C stops the device.
TEXT
wait
