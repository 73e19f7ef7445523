#!/usr/bin/env bash
# Installs every Debian package hxbserver needs to build, run and test. Idempotent.
set -euo pipefail

PACKAGES=(
    # toolchain
    build-essential cmake ninja-build pkg-config git python3 ccache
    # libraries
    qt6-base-dev libqt6sql6-sqlite libqt6sql6-mysql
    libtbb-dev libssl-dev nlohmann-json3-dev
    libboost1.81-dev libboost-regex1.81-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev curl wrk nginx-light procps
    # fuzzing (scripts/fuzz.sh): clang with libFuzzer and the sanitizer run-times
    clang-14 libclang-rt-14-dev
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
