#!/usr/bin/env bash
# Builds, then prints the window table: the panel's cold start to its first painted frame and its
# idle memory, beside a minimal Qt Widgets window (and that window showing Chinese in the panel's
# fonts), on a virtual display, with a table of where the start goes. Starts no service.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
BUILD=${BUILD_DIR:-build}
xvfb-run -a -s "-screen 0 1600x1200x24" \
  python3 bench/window_start_bench.py "$BUILD/bench/window_start_panel" \
  "$BUILD/bench/window_start_minimal" "${RUNS:-9}" "$BUILD/bench/window_start_minimal_cjk"
