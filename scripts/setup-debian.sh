#!/usr/bin/env bash
# Installs every build and run-time dependency of the panel on Debian 12 (bookworm).
# Safe to run again. It needs root only for what is missing: as an ordinary user with
# everything in place it calls no sudo.
set -euo pipefail
here=$(dirname "$0")

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(
  # build, and the Debian package (dpkg-shlibdeps comes with build-essential's dpkg-dev)
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-translations-l10n libgl-dev qt6-svg-dev
  # run time: host tools the panel calls
  libarchive-tools rsync procps util-linux
  # the window: fonts and a headless display for tests and screenshots
  qt6-qpa-plugins libqt6svg6 fonts-noto-cjk xvfb xauth desktop-file-utils
  # the demo stack: MariaDB's -core packages only (mariadb-server would start and enable a
  # system MariaDB on port 3306); php-cgi satisfies php's SAPI choice without pulling in
  # Apache; dbconfig-no-thanks spares phpMyAdmin a database client and set-up
  mariadb-server-core mariadb-client-core php-cli php-cgi php-mysql php-mbstring php-xml
  dbconfig-no-thanks phpmyadmin libcap2-bin
  # tests and benchmarks (locales: the system's own Chinese error texts; lintian and
  # appstream check the package)
  curl lsof python3 locales lintian appstream
  # the window's embedded faces are cut from the Noto CJK ones at build time
  python3-fonttools
)

installed=$(dpkg-query -W -f='${Status}\n' "${packages[@]}" 2>/dev/null | grep -c '^install ok installed$' || true)
if [ "$installed" -eq "${#packages[@]}" ]; then
  echo "setup: all packages already installed"
else
  export DEBIAN_FRONTEND=noninteractive
  # Package scripts must not start system services (a system MariaDB would hold
  # port 3306 that the panel's own stack needs). policy-rc.d tells invoke-rc.d so.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
    as_root chmod 755 "$policy"
    trap 'as_root rm -f "$policy"' EXIT
  fi
  # phpMyAdmin asks for a web server and a database set-up; the demo stack needs neither.
  as_root debconf-set-selections <<'SEL'
phpmyadmin phpmyadmin/dbconfig-install boolean false
phpmyadmin phpmyadmin/reconfigure-webserver multiselect
SEL
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}"
fi

# Tests check that decisions do not depend on the language of the system's error texts.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  as_root sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi

# An ordinary user's phpMyAdmin binds port 900: the group "tavex" may run a PHP copy with that
# right, as the Debian package sets it up. An earlier set-up made a copy for every user; it goes.
old=/usr/local/lib/tavex-demo
if [ -e "$old/php" ]; then
  as_root rm -f "$old/php"
  as_root rmdir --ignore-fail-on-non-empty "$old"
fi
if ! bash "$here/setup-php-bind900.sh" check; then
  as_root bash "$here/setup-php-bind900.sh" install
fi
if [ "$(id -u)" -ne 0 ] && ! id -nG | tr ' ' '\n' | grep -qx tavex; then
  echo "setup: to serve phpMyAdmin on port 900 as $(id -un), join the group: sudo adduser $(id -un) tavex (then log in again)"
fi
