#!/usr/bin/env bash
# Installs every Debian package hxbserver needs to build, run and test. Idempotent. (The
# coverage-guided fuzz builds need clang as well: scripts/fuzz.sh installs it when it builds.)
set -euo pipefail

PACKAGES=(
    # toolchain
    build-essential cmake ninja-build pkg-config git python3 ccache
    # libraries
    qt6-base-dev libqt6sql6-sqlite libqt6sql6-mysql
    # the private MariaDB server of the tests (scripts/local-mariadb.sh)
    mariadb-server mariadb-client
    libtbb-dev libssl-dev nlohmann-json3-dev
    libboost1.81-dev libboost-regex1.81-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev curl openssl wrk nginx-light procps
    # the front end's charts, and its browser tests (headless Chromium driven from Node)
    libjs-chart.js chromium nodejs iproute2
    # packaging: cpack computes dependencies with dpkg-shlibdeps, the unit is checked with
    # systemd-analyze (the systemd package only; it does not become the init system)
    dpkg-dev systemd
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

# Debian's npm, unless the installed Node.js brings its own (as other builds of nodejs do).
if ! command -v npm >/dev/null 2>&1; then
    missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
else
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    # Unpacking without a sync after every file: a failed install is simply run again.
    $SUDO apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io \
        "${missing[@]}"
fi

# The browser tests' one npm package (playwright-core), exactly as package-lock.json pins it.
# It drives Debian's chromium; no browser is downloaded.
webui_tests="$(dirname "$0")/../tests/webui"
if [ ! -d "$webui_tests/node_modules/playwright-core" ] \
    || [ "$webui_tests/package-lock.json" -nt "$webui_tests/node_modules/.package-lock.json" ]; then
    echo "install-deps: npm ci in tests/webui"
    (cd "$webui_tests" && npm ci --no-audit --no-fund)
fi
