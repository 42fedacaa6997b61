#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the panel with the demo runtime.
# Arguments are passed to the panel: scripts/run.sh start-all, scripts/run.sh status, ...
set -euo pipefail
here=$(dirname "$0")
bash "$here/setup-debian.sh"
bash "$here/build.sh" >/dev/null
exec "$here/../${BUILD_DIR:-build}/tavex/bin/tavex-panel" "$@"
