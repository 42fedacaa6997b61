#!/usr/bin/env bash
# Lets an ordinary user's demo stack serve phpMyAdmin on port 900.
#
# Ports below 1024 are privileged on Linux: a non-root PHP server fails with
# "Failed to listen on 0.0.0.0:900 (reason: Permission denied)". Rather than
# giving /usr/bin/php itself the right to bind them, this installs a private
# copy of the PHP program at /usr/local/lib/tavex-demo/php with the file
# capability cap_net_bind_service; the runtime's php wrapper prefers that copy.
#
# Best effort: some file systems cannot hold file capabilities. Then the copy is
# removed again (the wrapper falls back to /usr/bin/php) and the alternative,
# lowering net.ipv4.ip_unprivileged_port_start, is printed.
#
# Needs root. Safe to run again; run it again after PHP upgrades so that the
# copy matches the installed extensions.
set -euo pipefail

prog=${0##*/}
DIR=/usr/local/lib/tavex-demo
COPY=$DIR/php
PORT=900

[ "$(id -u)" = 0 ] || { echo "$prog: must run as root" >&2; exit 1; }
[ -e /usr/bin/php ] || { echo "$prog: /usr/bin/php is missing (Debian package php-cli)" >&2; exit 1; }
SETCAP=$(PATH=/usr/sbin:/sbin:$PATH command -v setcap) \
  || { echo "$prog: setcap is missing (Debian package libcap2-bin)" >&2; exit 1; }

alternative() {
  cat >&2 <<EOF
$prog: WARNING: $*
  The demo stack will still work as root. For an ordinary user, allow binding
  port $PORT system-wide instead:
    sysctl -w net.ipv4.ip_unprivileged_port_start=$PORT
  (persist it with a line "net.ipv4.ip_unprivileged_port_start=$PORT" in
  /etc/sysctl.d/60-tavex-demo.conf)
EOF
}
give_up() {
  rm -f -- "$COPY"
  alternative "$*"
  exit 0
}

# /usr/bin/php is an alternatives symlink; copy the program it resolves to.
real=$(readlink -f /usr/bin/php)
install -d -m 0755 "$DIR"
install -m 0755 "$real" "$COPY.new"
mv -f "$COPY.new" "$COPY"

if ! out=$("$SETCAP" cap_net_bind_service=+ep "$COPY" 2>&1); then
  give_up "setcap failed on $COPY: $out"
fi

# Check that it really works for an unprivileged user: bind a privileged port
# as "nobody". "Address already in use" (a running stack) also proves the
# point, since the kernel checks the permission before it looks whether the
# port is taken.
probe='$s = @stream_socket_server("tcp://127.0.0.1:" . $argv[1], $no, $msg);
       echo ($s || stripos($msg, "in use") !== false) ? "ok" : $msg;'
if id nobody >/dev/null 2>&1; then
  res=$(cd / && runuser -u nobody -- "$COPY" -n -r "$probe" "$PORT" 2>&1 || true)
  if [ "$res" != ok ]; then
    give_up "the capability on $COPY does not let an ordinary user bind port $PORT ($res)"
  fi
  echo "$prog: $COPY ($("$COPY" -n -r 'echo PHP_VERSION;')) can bind port $PORT as an ordinary user"
else
  echo "$prog: installed $COPY with cap_net_bind_service (no user \"nobody\" to check it with)"
fi
