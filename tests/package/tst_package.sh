#!/usr/bin/env bash
# Builds the Debian package from this build, checks it with lintian, installs it with apt-get and
# runs the installed /usr/bin/tavex-panel as a fresh ordinary user in the group tavex: the panel
# root lies in that user's ~/.local/share/Tavex-panel, the whole stack runs (the site on 8000,
# phpMyAdmin on 900), and purging the package leaves the user's database and site in place.
# Afterwards the machine is as before: package purged, user removed, the group and the PHP copy
# for port 900 as they were. Needs root; uses the stack's fixed ports.
#
#   tst_package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$1
build=$2
user=tavexpkg
home=/home/$user
panel=/usr/bin/tavex-panel
bind900=/usr/lib/tavex-panel/php-bind900
started=$(date +%s)

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIP: %s\n' "$*"; exit 77; }
note() { printf '== %s\n' "$*"; }

[ "$(id -u)" = 0 ] || skip "installing a package needs root"
[ -f "$build/tavex/share/tavex-panel/runtime/.tavex-demo-runtime" ] || skip "built without the demo runtime"
[[ $(dpkg-query -W -f='${Status}' tavex-panel 2>/dev/null) != *'ok installed'* ]] \
  || skip "tavex-panel is installed on this machine; the test would replace and purge it"
marker="tavex package test"
if entry=$(getent passwd "$user"); then
  # A run that was killed (a time-out) leaves its user behind; any other user of that name stays.
  [ "$(cut -d: -f5 <<<"$entry")" = "$marker" ] || fail "a user $user exists already; the test makes and removes its own"
  pkill -KILL -u "$user" || true
  userdel -r "$user" 2>/dev/null || userdel "$user"
fi
for port in 3306 8000 900; do
  [ -z "$(ss -Hltn "sport = :$port")" ] || fail "port $port is in use; the stack cannot start"
done
[ ! -e /Tavex-panel ] || fail "/Tavex-panel exists before the test; it could not tell whether the panel made it"

group_before=0; getent group tavex >/dev/null && group_before=1
copy_before=0; [ -e "$bind900" ] && copy_before=1
work=$(mktemp -d /tmp/tavex-package.XXXXXX)
chmod 755 "$work" # apt reads the package as its own user
installed=0
user_made=0

cleanup() {
  local status=$?
  set +e
  if [ "$user_made" = 1 ]; then
    runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin "$panel" stop-all >/dev/null 2>&1
    pkill -u "$user"; sleep 1; pkill -KILL -u "$user"
    # The home is removed with the user only when it is the one useradd made.
    if [ "$(getent passwd "$user" | cut -d: -f6)" = "$home" ] && [ -d "$home" ] && [ ! -L "$home" ] \
       && [ "$(stat -c %U "$home")" = "$user" ]; then
      userdel -r "$user" 2>/dev/null
    else
      userdel "$user"
    fi
  fi
  [ "$installed" = 1 ] && DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tavex-panel >/dev/null
  [ "$group_before" = 0 ] && getent group tavex >/dev/null && groupdel tavex
  # A developer's set-up (scripts/setup-debian.sh) had the copy before; the purge removed it.
  [ "$copy_before" = 1 ] && [ ! -e "$bind900" ] && bash "$src/scripts/setup-php-bind900.sh" install >/dev/null
  rm -rf -- "$work"
  echo "tst_package: $(( $(date +%s) - started )) s"
  exit "$status"
}
trap cleanup EXIT

note "package"
deb=$(bash "$src/scripts/package.sh" "$build" "$work" | tail -n 1)
[ -f "$deb" ] || fail "no package built"
echo "$deb"

note "lintian"
lint=0
lintian -I "$deb" >"$work/lintian.txt" 2>&1 || lint=$?
grep -v '^I:' "$work/lintian.txt" || true
echo "($(grep -c '^I:' "$work/lintian.txt" || true) informational tags)"
[ "$lint" -le 1 ] || fail "lintian could not check the package (exit $lint)"
! grep -q '^E:' "$work/lintian.txt" || fail "lintian reports errors"

note "contents"
dpkg-deb -x "$deb" "$work/root"
fields=$(dpkg-deb -f "$deb" Depends Recommends)
echo "$fields"
for needed in mariadb-server-core mariadb-client-core php-cli php-mysql php-mbstring php-xml \
              rsync libarchive-tools procps libcap2-bin; do
  grep -qE "(^|[ ,])$needed([ ,(]|$)" <<<"$fields" || fail "Depends lacks $needed"
done
# A system MariaDB (mariadb-server, or mariadb-client that brings nothing the runtime uses)
# would start on port 3306.
! grep -qE '(^|[ ,|])mariadb-(server|client)([ ,(]|$)' <<<"$fields" || fail "the package depends on mariadb-server or mariadb-client"
rt=$work/root/usr/share/tavex-panel/runtime
for path in usr/bin/tavex-panel usr/share/applications/tavex-panel.desktop \
            usr/share/icons/hicolor/scalable/apps/tavex-panel.svg \
            usr/lib/tavex-panel/setup-php-bind900 usr/share/man/man1/tavex-panel.1.gz \
            usr/share/tavex-panel/runtime/mysql/bin/mysqld usr/share/tavex-panel/runtime/www/index.php; do
  [ -e "$work/root/$path" ] || fail "the package lacks /$path"
done
[ -d "$rt/config" ] && [ -d "$rt/mysql/data" ] || fail "the runtime lacks its empty config and mysql/data folders"
[ -z "$(find "$rt/config" "$rt/mysql/data" -mindepth 1 -print -quit)" ] || fail "the shipped config or mysql/data folder is not empty"
links=$(find "$rt" -type l | head -n 3)
[ -z "$links" ] || fail "the shipped runtime holds symbolic links: $links"
metainfo=$(ls "$work/root/usr/share/metainfo/"*.metainfo.xml)
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $metainfo"
desktop-file-validate "$work/root/usr/share/applications/tavex-panel.desktop" || fail "desktop-file-validate rejects the desktop file"

note "install"
mysqld_before=$(pgrep -c -x mariadbd || true)
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" | tail -n 20
[ -x "$panel" ] || fail "$panel is missing after the installation"
[ "$(pgrep -c -x mariadbd || true)" = "$mysqld_before" ] || fail "installing the package started a MariaDB server"
getent group tavex >/dev/null || fail "the installation made no group tavex"
if [ -e "$bind900" ]; then
  [ "$(stat -c '%U:%G %a' "$bind900")" = "root:tavex 750" ] || fail "$bind900 is $(stat -c '%U:%G %a' "$bind900"), not root:tavex 750"
  [[ $(getcap "$bind900") == *cap_net_bind_service* ]] || fail "$bind900 lacks cap_net_bind_service"
elif [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)" -gt 900 ]; then
  skip "no file capabilities here and port 900 is privileged: an ordinary user's phpMyAdmin cannot start"
fi

note "an ordinary user in the group tavex"
useradd -m -d "$home" -s /bin/bash -G tavex -c "$marker" "$user"
user_made=1
as_user() { # a clean environment, as after a login
  (cd "$home" && runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
     PATH=/usr/bin:/bin LANG=C.UTF-8 "$@")
}
run() { # run EXPECTED-STATUS ARGS...: the panel's command, its output kept in $out
  local expected=$1 status=0
  shift
  out=$(as_user "$panel" "$@" 2>&1) || status=$?
  printf '%s\n' "-- tavex-panel $* (exit $status)" "$out"
  [ "$status" = "$expected" ] || fail "tavex-panel $* exited $status, expected $expected"
}
[[ $(as_user id) == *'(tavex)'* ]] || fail "the user is not in the group tavex"
root=$home/.local/share/Tavex-panel

run 3 status
grep -qxF "目录: $root" <<<"$out" || fail "status names another root than $root"
run 0 start-all
site=$(curl -s --max-time 10 http://127.0.0.1:8000/) || fail "the site does not answer on port 8000"
grep -q '数据库连接成功' <<<"$site" || fail "the demo page did not reach the database: $site"
pma_page=$(curl -s --max-time 10 http://127.0.0.1:900/) || fail "phpMyAdmin does not answer on port 900"
grep -q '<title>phpMyAdmin' <<<"$pma_page" || fail "port 900 does not serve phpMyAdmin: ${pma_page:0:300}"
pma=$(pgrep -u "$user" -f -- '-S 0.0.0.0:900' | head -n 1)
[ -n "$pma" ] && [ "$(stat -c %U "/proc/$pma")" = "$user" ] || fail "phpMyAdmin does not run as $user"
if [ -e "$bind900" ]; then
  [ "$(readlink "/proc/$pma/exe")" = "$bind900" ] || fail "phpMyAdmin runs $(readlink "/proc/$pma/exe"), not $bind900"
fi
run 0 status
run 0 doctor
run 0 stop-all
run 3 status
[ ! -e /Tavex-panel ] || fail "the panel made /Tavex-panel"
[ -d "$root/runtime/mysql/data/mysql" ] && [ -f "$root/runtime/www/index.php" ] \
  || fail "the runtime was not installed under $root"

note "purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tavex-panel | tail -n 5
installed=0
[ ! -e "$panel" ] && [ ! -e /usr/share/tavex-panel ] && [ ! -e /usr/lib/tavex-panel ] \
  || fail "the purge left files of the package"
[ -d "$root/runtime/mysql/data/mysql" ] && [ -f "$root/runtime/www/index.php" ] \
  || fail "the purge took the user's database or site"
echo "tst_package: passed"
