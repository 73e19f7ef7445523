#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, twice: an optimised build with
# warnings as errors, then a build with the address and undefined-behaviour sanitizers.
#   scripts/test.sh                       both builds, in ./build and ./build-sanitize
#   BUILD_DIR=/tmp/b scripts/test.sh      the first build elsewhere (the second goes to $BUILD_DIR-sanitize)
#   HXB_SKIP_SANITIZE=1 scripts/test.sh   the first build only
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
# The compiler cache serves every clone of the tree, wherever it lies.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
JOBS=${JOBS:-$(nproc)}

START=$(date +%s)
# stage NAME: a heading with the minutes spent so far, so a slow stage shows in the log.
stage() {
    local t=$(( $(date +%s) - START ))
    printf '== %s (at %dm%02ds) ==\n' "$1" $((t / 60)) $((t % 60))
}
stage "installing what is missing"

scripts/install-deps.sh

# The bridge's tests talk to a real Slurm: bring up the local single-node cluster once for both
# builds. It needs root, like the package installation.
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
if ! $SUDO scripts/local-slurm.sh start; then
    echo "test.sh: the local Slurm cluster did not start (scripts/local-slurm.sh start failed);" \
        "see the messages above and /var/log/slurm/" >&2
    exit 1
fi
# The same live tests run on Slurm 24.11 and 26.05 too (label slurm_modern), each a cluster in a
# Debian root of its own: about 3 minutes on a cold machine to make both roots (side by side),
# seconds after.
stage "Slurm 24.11 and 26.05 clusters"
if ! $SUDO scripts/modern-slurm.sh start all; then
    echo "test.sh: the Slurm 24.11/26.05 clusters did not start (scripts/modern-slurm.sh start failed);" \
        "see the messages above and /var/lib/hxbserver-slurm/<version>/" >&2
    exit 1
fi

# run_suite DIR "CTEST ARGS" CMAKE ARGS...
run_suite() {
    local dir=$1 ctest_args=$2
    shift 2
    # HXB_MARIADB_PORT: the port of the tests' private MariaDB, when 3307 is taken on this machine.
    cmake -S . -B "$dir" -G Ninja -DHXB_WERROR=ON -DHXB_MARIADB_PORT="${HXB_MARIADB_PORT:-3307}" "$@"
    cmake --build "$dir" -j "$JOBS"
    # shellcheck disable=SC2086
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600 $ctest_args)
}

stage "optimised build"
# Line tables only (-g1): stack traces keep file and line, the build takes a fifth less time.
run_suite "$BUILD_DIR" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"

if [ "${HXB_SKIP_SANITIZE:-0}" != "1" ]; then
    stage "sanitizer build (address, undefined)"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    # The browser and the shipped-tree tests check what the product ships, which the optimised
    # build has covered; the sanitizers watch the code paths, which the other tests cover. The
    # whole-server runs on MariaDB repeat their SQLite twins through the same code but for the
    # statements, which the unit tests on MariaDB run here too. The runs on Slurm 24.11 and 26.05
    # repeat the 22.05 run through the same code but for Slurm's answers, which the replay tests
    # read here too.
    run_suite "$BUILD_DIR-sanitize" "-LE browser|shipped|slurm_modern -E ^integration_.*_mariadb$" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DHXB_SANITIZE=ON
fi

# ---- fuzzing and fault smoke run -------------------------------------------------------------
# Every fuzz target for HXB_FUZZ_SECONDS (20 s each, 2 minutes in all) with the address and
# undefined-behaviour sanitizers: blind mutations of the seeds by the programs of the sanitizer
# build, which spares a third, clang build here (scripts/fuzz.sh without FUZZ_MUTATE_BUILD runs
# the coverage-guided libFuzzer builds). Then a short load run with one kill -9 and a full data
# directory on the optimised build. HXB_SKIP_FUZZ=1 leaves both out.
if [ "${HXB_SKIP_FUZZ:-0}" != "1" ]; then
    stage "fuzz targets, ${HXB_FUZZ_SECONDS:-20}s each"
    fuzz_build="$BUILD_DIR-sanitize"
    [ "${HXB_SKIP_SANITIZE:-0}" != "1" ] || fuzz_build="$BUILD_DIR"
    FUZZ_MUTATE_BUILD="$fuzz_build" scripts/fuzz.sh "${HXB_FUZZ_SECONDS:-20}"
    stage "load and fault smoke run"
    python3 bench/load/load_faults.py --binary "$BUILD_DIR/bin/hxbserver" --phases load,kills,diskfull \
        --clients 20 --seconds 20 --kills 1 --kill-seconds 10 --settle-seconds 0 --report "$BUILD_DIR/load_faults.json"
fi
# ---- end of fuzzing and fault smoke run ------------------------------------------------------
stage "all passed"
