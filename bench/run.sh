#!/usr/bin/env bash
# Builds, then prints the benchmark tables: the status refresh with the stack running against the
# subprocess probe, and start-all against a shell script making the same launches.
# Uses the fixed ports 3306, 8000 and 900: run it with nothing else on them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
BUILD=${BUILD_DIR:-build}
panel=$BUILD/tavex/bin/tavex-panel
# The stack runs from the build's installed root.
"$panel" start-all >/dev/null 2>&1 || true
root=$("$panel" status | sed -n 's/^目录: //p')
for _ in $(seq 100); do python3 - <<'PY' && break || sleep 0.1
import socket; socket.create_connection(("127.0.0.1", 3306), timeout=0.5).recv(1)
PY
done
echo
"$BUILD/bench/refresh_status_bench" "$panel" "${CALLS:-300}"
echo
python3 bench/start_all_bench.py "$panel" "$root" "${RUNS:-7}"
