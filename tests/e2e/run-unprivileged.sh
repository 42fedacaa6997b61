#!/usr/bin/env bash
# Runs a test program as the unprivileged user "nobody" when the tests run as root, so that the
# stack is also proven for an ordinary user (port 900, file permissions). Skips otherwise: an
# ordinary user's run of the program itself is that proof.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the test program itself already runs unprivileged"
  exit 77
fi
# An ordinary user's phpMyAdmin binds port 900 with the PHP copy that only the group "tavex" may
# run (scripts/setup-php-bind900.sh), or where the system lets every user bind it.
groups=()
if getent group tavex >/dev/null && [ -x /usr/lib/tavex-panel/php-bind900 ]; then
  groups=(-G tavex)
elif [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)" -gt 900 ]; then
  echo "no PHP program here may bind port 900 as an ordinary user; skipped"
  exit 77
fi
home=$(mktemp -d)
chown nobody "$home"
trap 'rm -rf "$home"' EXIT
# The concurrency, kill and load rounds were run as root already; a few prove them for an
# ordinary user.
runuser -u nobody -g nogroup "${groups[@]}" -- \
  env HOME="$home" TMPDIR="$home" TAVEX_STRESS_ROUNDS=5 TAVEX_KILL_ROUNDS=3 TAVEX_LOAD_CYCLES=3 "$@"
