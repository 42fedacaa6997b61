#!/usr/bin/env bash
# Configures and builds the panel, its tests and the demo runtime into build/.
# The program lands in build/tavex/bin/tavex-panel, its shipped runtime in
# build/tavex/share/tavex-panel/runtime; the first run installs that runtime
# beside the program as build/Tavex-panel.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@"
cmake --build "$BUILD_DIR" --parallel
