#!/usr/bin/env bash
# Installs every build and run-time dependency of the panel on Debian 12 (bookworm).
# Safe to run again; needs root (or sudo).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

export DEBIAN_FRONTEND=noninteractive

# Package scripts must not start system services (a system MariaDB would hold
# port 3306 that the panel's own stack needs). policy-rc.d tells invoke-rc.d so.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi

# phpMyAdmin asks for a web server and a database set-up; the demo stack needs neither.
$SUDO debconf-set-selections <<'SEL'
phpmyadmin phpmyadmin/dbconfig-install boolean false
phpmyadmin phpmyadmin/reconfigure-webserver multiselect
SEL

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-translations-l10n libgl-dev qt6-svg-dev
  # run time: host tools the panel calls
  libarchive-tools rsync procps util-linux
  # the window: fonts and a headless display for tests and screenshots
  qt6-qpa-plugins libqt6svg6 fonts-noto-cjk xvfb xauth desktop-file-utils
  # the demo stack (php-cgi satisfies php's SAPI choice without pulling in Apache)
  mariadb-server mariadb-client php-cli php-cgi php-mysql php-mbstring php-xml phpmyadmin
  libcap2-bin
  # tests and benchmarks (locales: the system's own Chinese error texts)
  curl lsof python3 locales
)

installed=$(dpkg-query -W -f='${Status}\n' "${packages[@]}" 2>/dev/null | grep -c '^install ok installed$' || true)
if [ "$installed" -eq "${#packages[@]}" ]; then
  echo "setup: all packages already installed"
else
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"
fi

# Tests check that decisions do not depend on the language of the system's error texts.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  $SUDO sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

# An ordinary user's PHP needs the right to bind port 900 (phpMyAdmin's port).
if [ ! -x /usr/local/lib/tavex-demo/php ]; then
  $SUDO bash "$(dirname "$0")/setup-demo-php-capability.sh"
fi
