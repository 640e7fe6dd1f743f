#!/usr/bin/env bash
# Sets up, builds and runs every test.
#   scripts/test.sh              GCC build in build/
#   scripts/test.sh --sanitize   Clang build with AddressSanitizer and
#                                UndefinedBehaviorSanitizer in build-sanitize/
#   scripts/test.sh --arm        cross build for the device's 32-bit ARM processor
#                                (armhf) in build-arm/, its tests run under qemu-arm
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
if [[ "$mode" == "--arm" ]]; then
    bash scripts/setup.sh --arm
else
    bash scripts/setup.sh
fi

jobs=$(nproc)
if [[ "$mode" == "--sanitize" ]]; then
    dir=${BUILD_DIR:-build-sanitize}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DKOVE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [[ "$mode" == "--arm" ]]; then
    dir=${BUILD_DIR:-build-arm}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake >/dev/null
else
    dir=${BUILD_DIR:-build}
    cmake -S . -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure
