#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs every test. Exits non-zero when a test fails.
set -euo pipefail
here=$(dirname "$0")
bash "$here/setup-debian.sh"
bash "$here/build.sh"
cd "$here/../${BUILD_DIR:-build}"
ctest --output-on-failure --timeout 900 "$@"
