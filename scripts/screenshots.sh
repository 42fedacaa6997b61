#!/usr/bin/env bash
# Paints the window in its states (five, a busy port, and 全部启动 pressed with and without one), at the minimum size and at 1280x900, on a virtual display,
# into docs/screenshots/. The "running" pictures start the demo stack (ports 3306, 8000 and 900)
# and stop it again. Run after scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
panel=$BUILD/tavex/bin/tavex-panel
tool=$BUILD/tools/tavex_screenshots
out=docs/screenshots
mkdir -p "$out"
sizes=("820 740" "1280 900")

shoot() { # state width height
  shoot_as "$1" "$1" "$2" "$3"
}
shoot_as() { # state picture-name width height
  xvfb-run -a -s "-screen 0 1600x1200x24" "$tool" "$1" "$3" "$4" "$out/$2-$3x$4.png" 2>/dev/null
}

trap '"$panel" stop-all >/dev/null 2>&1 || true' EXIT
"$panel" start-all >/dev/null 2>&1 || true
for size in "${sizes[@]}"; do shoot running $size; done
"$panel" stop-all >/dev/null 2>&1 || true
# Another program holds the site's port: the site's card says which.
python3 -m http.server --bind 0.0.0.0 8000 >/dev/null 2>&1 &
other=$!
for _ in $(seq 50); do curl -s -o /dev/null http://127.0.0.1:8000/ && break; sleep 0.1; done
"$panel" start-all >/dev/null 2>&1 || true
for size in "${sizes[@]}"; do shoot busy-port $size; done
"$panel" stop-all >/dev/null 2>&1 || true
# 全部启动 pressed in the window while the site's port is held: the site's failure and its card.
for size in "${sizes[@]}"; do shoot_as start-all start-all-busy-port $size; "$panel" stop-all >/dev/null 2>&1 || true; done
kill "$other"; wait "$other" 2>/dev/null || true
# 全部启动 pressed in the window from stopped: the result block, and no card with a stale caption.
for size in "${sizes[@]}"; do shoot_as start-all start-all $size; "$panel" stop-all >/dev/null 2>&1 || true; done
for size in "${sizes[@]}"; do
  for state in stopped update warnings installing; do shoot $state $size; done
done
ls "$out"
