#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and the address and undefined-behaviour
# sanitizers, then runs each for a given time on its seed corpus and prints what it found.
#   scripts/fuzz.sh                 every target for 60 s
#   scripts/fuzz.sh 600             every target for 10 minutes
#   scripts/fuzz.sh 30 fuzz_http_request fuzz_xmlrpc_call
#   FUZZ_BUILD_DIR=/tmp/f JOBS=1 scripts/fuzz.sh 20
#   FUZZ_SKIP_BUILD=1 scripts/fuzz.sh 600 fuzz_http_request   (targets already built)
#   FUZZ_MUTATE_BUILD=build-sanitize scripts/fuzz.sh 15
#       no clang build: the <target>_mutate programs of a test build (g++, here the sanitizer
#       build) run blind mutations of the same seeds without coverage feedback; the input that
#       ended a run is kept as $FUZZ_MUTATE_BUILD/fuzz-mutate/artifacts/<target>/last-input.
# The corpus each run grows is kept in $FUZZ_BUILD_DIR/corpus/<target>; an input that crashed,
# leaked or timed out is written to $FUZZ_BUILD_DIR/artifacts/<target>/ and makes the script
# fail. Logs: $FUZZ_BUILD_DIR/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
MUTATE_BUILD=${FUZZ_MUTATE_BUILD:-}
if [ -n "$MUTATE_BUILD" ]; then
    BUILD="$MUTATE_BUILD/fuzz-mutate"
fi
JOBS=${JOBS:-2}
ALL=(fuzz_http_request fuzz_xmlrpc_call fuzz_squeue_json fuzz_node_json fuzz_authorization
     fuzz_string_regex fuzz_startjob_description)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")

# -O1 with line tables only: reports keep file and line, the build stays affordable.
if [ "${FUZZ_SKIP_BUILD:-0}" != "1" ] && [ -z "$MUTATE_BUILD" ]; then
    # clang with libFuzzer and the sanitizer run-times, only needed here.
    if ! dpkg-query -W -f='${Status}\n' clang-14 libclang-rt-14-dev 2>/dev/null \
        | grep -c "install ok installed" | grep -q 2; then
        SUDO=""
        [ "$(id -u)" -eq 0 ] || SUDO="sudo"
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
            clang-14 libclang-rt-14-dev
    fi
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Fuzz \
        -DCMAKE_CXX_FLAGS_FUZZ="-O1 -gline-tables-only" -DHXB_FUZZ=ON >/dev/null
    cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"
fi

SLURM_DATA=tests/data/slurm
# Seed directories of one target, made from the committed seeds and the test inputs.
seeds_of() {
    local target=$1 dir="$BUILD/seeds/$1"
    rm -rf "$dir"
    mkdir -p "$dir"
    cp fuzz/seeds/"${target#fuzz_}"/* "$dir"/ 2>/dev/null || true
    case $target in
        fuzz_squeue_json)
            cp "$SLURM_DATA"/squeue-*.json "$SLURM_DATA"/modern/*squeue*.json "$dir"/ ;;
        fuzz_node_json)
            cp "$SLURM_DATA"/sinfo-*.json "$SLURM_DATA"/modern/*scontrol*.json \
               "$SLURM_DATA"/modern/*sinfo*.json "$dir"/ ;;
    esac
    echo "$dir"
}

options_of() {
    case $1 in
        fuzz_http_request) echo "-dict=fuzz/dict/http.dict -max_len=4096" ;;
        fuzz_xmlrpc_call | fuzz_startjob_description) echo "-dict=fuzz/dict/xmlrpc.dict -max_len=8192" ;;
        fuzz_squeue_json | fuzz_node_json) echo "-dict=fuzz/dict/json.dict" ;;
        fuzz_authorization) echo "-max_len=2048" ;;
        # replaceEx and removeEx print a bad pattern's error on standard output: close it.
        fuzz_string_regex) echo "-max_len=512 -close_fd_mask=1" ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$BUILD/logs"
failed=0
summary=()
for target in "${TARGETS[@]}"; do
    corpus="$BUILD/corpus/$target"
    artifacts="$BUILD/artifacts/$target/"
    log="$BUILD/logs/$target.log"
    mkdir -p "$corpus" "$artifacts"
    seeds=$(seeds_of "$target")
    echo "== $target: ${SECONDS_EACH}s"
    if [ -n "$MUTATE_BUILD" ]; then
        # The libFuzzer options, spelled for the mutation driver; -close_fd_mask=1 becomes a
        # redirection of standard output.
        mutate_args=()
        quiet=""
        for option in $(options_of "$target"); do
            case $option in
                -dict=*) mutate_args+=(--dict "${option#-dict=}") ;;
                -max_len=*) mutate_args+=(--max-len "${option#-max_len=}") ;;
                -close_fd_mask=1) quiet=1 ;;
            esac
        done
        if timeout $((SECONDS_EACH + 120)) "$MUTATE_BUILD/fuzz/${target}_mutate" --seconds "$SECONDS_EACH" \
            "${mutate_args[@]}" --last "$artifacts/last-input" "$seeds" \
            >"${quiet:+/dev/null}${quiet:-$log.out}" 2>"$log"; then
            result=ok
            rm -f "$artifacts/last-input"
        else
            result="FAILED (see $log; input: $artifacts/last-input)"
            failed=1
        fi
        [ -f "$log.out" ] && cat "$log.out" >>"$log" && rm -f "$log.out"
        runs=$(sed -n 's/^\([0-9]*\) inputs.*/\1/p' "$log" | tail -n 1)
    else
        # shellcheck disable=SC2046
        if "$BUILD/fuzz/$target" "$corpus" "$seeds" $(options_of "$target") \
            -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$artifacts" >"$log" 2>&1; then
            result=ok
        else
            result="FAILED (see $log)"
            failed=1
        fi
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    fi
    units=$(find "$corpus" -type f | wc -l)
    found=$(find "$artifacts" -type f | wc -l)
    summary+=("$(printf '%-20s %-12s executions %-10s corpus %-6s artifacts %s' \
        "$target" "$result" "${runs:-?}" "$units" "$found")")
    tail -n 3 "$log"
done

echo "== summary (${SECONDS_EACH}s each)"
printf '%s\n' "${summary[@]}"
exit $failed
