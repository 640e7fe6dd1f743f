#!/usr/bin/env bash
# Sets up, builds and runs every test.
#   scripts/test.sh              GCC build in build/
#   scripts/test.sh --sanitize   Clang build with AddressSanitizer and
#                                UndefinedBehaviorSanitizer in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
bash scripts/setup.sh

jobs=$(nproc)
if [[ "$mode" == "--sanitize" ]]; then
    dir=${BUILD_DIR:-build-sanitize}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DKOVE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
    dir=${BUILD_DIR:-build}
    cmake -S . -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure
