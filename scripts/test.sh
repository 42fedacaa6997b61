#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs every test: first the normal build (build/),
# then the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
# Exits non-zero when a test of either build fails.
set -euo pipefail
here=$(dirname "$0")
bash "$here/setup-debian.sh"
bash "$here/build.sh"
status=0
(cd "$here/../${BUILD_DIR:-build}" && ctest --output-on-failure --timeout 900 "$@") || status=1
BUILD_DIR=${SANITIZE_BUILD_DIR:-build-asan} bash "$here/build.sh" -DTAVEX_SANITIZE=ON
(cd "$here/../${SANITIZE_BUILD_DIR:-build-asan}" && ctest --output-on-failure --timeout 900 "$@") ||
  status=1
exit "$status"
