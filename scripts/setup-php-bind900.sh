#!/bin/bash
# Lets the members of the group "tavex" serve phpMyAdmin on port 900.
#
#   setup-php-bind900.sh install   (root) group "tavex" and the PHP copy; again after PHP upgrades
#   setup-php-bind900.sh remove    (root) deletes the copy
#   setup-php-bind900.sh check     (anyone) exit 0 when "install" has nothing to do
#
# Ports below 1024 are privileged on Linux: a non-root PHP server fails with
# "Failed to listen on 0.0.0.0:900 (reason: Permission denied)". Rather than
# giving /usr/bin/php itself the right to bind them, this installs a copy of the
# PHP program at /usr/lib/tavex-panel/php-bind900 with the file capability
# cap_net_bind_service, mode 0750 root:tavex: only the group's members (and root)
# may run it. The runtime's php wrapper prefers it when this user may run it.
#
# The Debian package's maintainer scripts and scripts/setup-debian.sh (for a build
# from source) both call this script, so the two set the same thing up.
#
# Where file capabilities are not available the copy is not kept, the reason is
# recorded beside it (so "check" does not ask for root again for the same PHP),
# and the system-wide alternative is printed.
set -euo pipefail

prog=${0##*/}
GROUP=tavex
DIR=/usr/lib/tavex-panel
COPY=$DIR/php-bind900
UNAVAILABLE=$DIR/php-bind900.unavailable
PHP=/usr/bin/php
PORT=900

die() { printf '%s: %s\n' "$prog" "$*" >&2; exit 1; }

# The program /usr/bin/php resolves to (an alternatives link), by size and time: the copy keeps
# both, so a PHP upgrade shows as a difference without reading the copy.
php_stamp() { stat -L -c '%s %Y' -- "$PHP"; }

check() {
  getent group "$GROUP" >/dev/null || return 1
  [ -e "$PHP" ] || return 1
  if [ -f "$UNAVAILABLE" ] && [ ! -e "$COPY" ]; then
    [ "$(head -n 1 -- "$UNAVAILABLE")" = "$(php_stamp)" ]
    return
  fi
  [ -f "$COPY" ] && [ ! -L "$COPY" ] || return 1
  [ "$(stat -c '%U:%G %a %s %Y' -- "$COPY")" = "root:$GROUP 750 $(php_stamp)" ] || return 1
  /usr/sbin/getcap -- "$COPY" 2>/dev/null | grep -q cap_net_bind_service
}

alternative() {
  cat >&2 <<EOF
$prog: WARNING: $*
  No PHP program may bind port $PORT for an ordinary user here; the demo stack
  still works as root. The alternative is a system-wide setting:
    sysctl -w net.ipv4.ip_unprivileged_port_start=$PORT
  (kept across restarts by a line "net.ipv4.ip_unprivileged_port_start=$PORT" in
  /etc/sysctl.d/60-tavex-panel.conf). It lets every user and program bind every
  port from $PORT up, which otherwise only root may: any local account could
  then take a privileged service's port 900 to 1023 before that service starts.
EOF
}

install_copy() {
  [ "$(id -u)" = 0 ] || die "must run as root"
  [ -e "$PHP" ] || die "$PHP is missing (Debian package php-cli)"
  local setcap=/usr/sbin/setcap
  [ -x "$setcap" ] || die "$setcap is missing (Debian package libcap2-bin)"
  if ! getent group "$GROUP" >/dev/null; then
    groupadd --system "$GROUP"
    echo "$prog: created the system group $GROUP"
  fi

  local real tmp out res stamp
  real=$(readlink -f -- "$PHP")
  stamp=$(php_stamp)
  install -d -m 0755 -- "$DIR"
  tmp=$DIR/.php-bind900.new
  rm -f -- "$tmp"
  # Owner, group and mode first: a later chown would clear the capability.
  install -p -o root -g "$GROUP" -m 0750 -- "$real" "$tmp"

  give_up() {
    rm -f -- "$tmp" "$COPY"
    printf '%s\n%s\n' "$stamp" "$1" >"$UNAVAILABLE"
    alternative "$1"
    exit 0
  }
  if ! out=$("$setcap" cap_net_bind_service=+ep "$tmp" 2>&1); then
    give_up "file capabilities are not available for $DIR ($out)"
  fi
  # Proof for an ordinary member of the group: bind the port as "nobody" with the group.
  # "Address already in use" (a running stack) proves it too: the kernel checks the
  # permission before it looks whether the port is taken.
  if id nobody >/dev/null 2>&1; then
    local probe='$s = @stream_socket_server("tcp://127.0.0.1:" . $argv[1], $no, $msg);
                 echo ($s || stripos($msg, "in use") !== false) ? "ok" : $msg;'
    res=$(cd / && setpriv --reuid=nobody --regid="$(id -g nobody)" --groups="$GROUP" \
            -- "$tmp" -n -r "$probe" "$PORT" 2>&1 || true)
    [ "$res" = ok ] || give_up "the capability on $COPY does not let an ordinary user bind port $PORT ($res)"
  fi
  mv -f -- "$tmp" "$COPY"
  rm -f -- "$UNAVAILABLE"
  echo "$prog: $COPY (PHP $("$COPY" -n -r 'echo PHP_VERSION;')) lets the members of group $GROUP bind port $PORT"
}

remove_copy() {
  [ "$(id -u)" = 0 ] || die "must run as root"
  rm -f -- "$COPY" "$DIR/.php-bind900.new" "$UNAVAILABLE"
}

case ${1:-} in
  install) install_copy ;;
  remove) remove_copy ;;
  check) check ;;
  *) echo "usage: $prog install|remove|check" >&2; exit 2 ;;
esac
