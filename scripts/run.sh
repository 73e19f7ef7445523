#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it in place from the build tree.
#   scripts/run.sh            build in ./build, serve on the configured port (default 5170)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j "$(nproc)" --target hxbserver
if [ ! -f "$BUILD_DIR/hxbconfig.ini" ]; then
    cp server/hxbconfig.ini "$BUILD_DIR/hxbconfig.ini"
fi
cd "$BUILD_DIR"
exec ./bin/hxbserver "$@"
