#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang, AddressSanitizer, UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each for a number of seconds from a fresh seed corpus.
#   scripts/fuzz.sh [seconds]      default 60 seconds per target
# Prints one line per target; on a crash, leak, time-out or broken invariant it prints the
# target's report and the input that caused it, and exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [[ "$seconds" -eq 0 ]]; then
    echo "usage: $0 [seconds]" >&2
    exit 2
fi
dir=${BUILD_DIR:-build-fuzz}
targets=(fuzz_bin_command_file fuzz_xml_parser fuzz_xml_command_file fuzz_config_tar fuzz_nbns_query
         fuzz_duf_address_data fuzz_devmsg_file_request fuzz_devmsg_frames
         fuzz_discovery_datagram fuzz_fo_configuration fuzz_static_fo_config fuzz_filter_properties
         fuzz_update_archive fuzz_update_input fuzz_pn_configuration fuzz_pn_diag_frames
         fuzz_qtx_answers fuzz_qtx_byte_list fuzz_qtx_eeprom_record fuzz_command_words fuzz_request_framer)

bash scripts/setup.sh
mkdir -p "$dir"
log="$dir/fuzz-build.log"
if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
           -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVE_FUZZ=ON -DKOVE_BUILD_BENCH=OFF &&
       cmake --build "$dir" --target kove_fuzz -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "fuzz: build failed" >&2
    exit 1
fi

work="$dir/fuzz"
rm -rf "$work"
"$dir/bin/kove_fuzz_seeds" "$work"

# Each input gets at most 10 s, each allocation at most 512 MB: a hang or a length taken on
# trust counts as a failure. Standard output of the targets (the loaders' own messages) is
# closed; their reports go to standard error.
run_target() {
    local t=$1
    local extra=()
    [[ "$t" == fuzz_xml_* || "$t" == fuzz_fo_* || "$t" == fuzz_static_fo_* || "$t" == fuzz_filter_* ]] && extra+=(-dict="$work/xml.dict" -max_len=16384)
    [[ "$t" == fuzz_discovery_* ]] && extra+=(-dict="$work/xml.dict" -max_len=33000)
    [[ "$t" == fuzz_request_framer ]] && extra+=(-dict="$work/xml.dict" -max_len=4096)
    [[ "$t" == fuzz_devmsg_* || "$t" == fuzz_pn_* ]] && extra+=(-max_len=65536)
    [[ "$t" == fuzz_update_input ]] && extra+=(-dict="$work/xml.dict" -max_len=16384)
    [[ "$t" == fuzz_qtx_* ]] && extra+=(-max_len=70000)
    mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$dir/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -malloc_limit_mb=512 -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$work/$t/artifacts/" "${extra[@]}" \
        "$work/$t/corpus" "$work/$t/seeds" >"$work/$t.log" 2>&1
}

# The targets run side by side, one process each.
pids=()
for t in "${targets[@]}"; do
    run_target "$t" &
    pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
    t=${targets[$i]}
    if wait "${pids[$i]}"; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
        echo "$t: ${runs:-?} runs in ${seconds} s, no failure"
    else
        failed=1
        echo "$t: FAILED" >&2
        grep -av '^#[0-9]' "$work/$t.log" | tail -60 >&2
        for a in "$work/$t/artifacts"/*; do
            [[ -e "$a" ]] && echo "$t: input kept in $a" >&2
        done
    fi
done
exit $failed
