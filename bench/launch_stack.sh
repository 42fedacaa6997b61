#!/usr/bin/env bash
# The launches of start-all as a plain shell script, for comparison: the same directories, kills,
# option file, initialisation and the three detached servers with their PID files and logs.
#   launch_stack.sh ROOT
set -u
R=$1
mkdir -p "$R/runtime" "$R/runtime/config" "$R/runtime/mysql/data"
pkill -f "php -S 0.0.0.0:"
pkill -f "mysqld.*$R/runtime/mysql"
cnf=$R/runtime/mysql/my_runtime.cnf
printf '%s\n' "[client]" "default-character-set=utf8" "port=3306" "" "[mysql]" \
  "default-character-set=utf8" "" "[mysqld]" "basedir=$R/runtime/mysql/" \
  "datadir=$R/runtime/mysql/data/" "port=3306" "character-set-server=utf8" > "$cnf"
printf '%s' "collation-server=utf8_unicode_ci" >> "$cnf"
[ -e "$R/runtime/mysql/data/mysql" ] || "$R/runtime/mysql/bin/mysql_install_db" "--defaults-file=$cnf" --initialize-insecure
setsid "$R/runtime/mysql/bin/mysqld" "--defaults-file=$cnf" --daemonize </dev/null >/dev/null 2>&1 &
php=$R/runtime/php/PHP8.2/bin/php
cd "$R"
setsid "$php" -S 0.0.0.0:8000 -t "$R/runtime/www" </dev/null >>"$R/runtime/config/php-web.log" 2>&1 &
echo $! > "$R/runtime/config/php-web.pid"
setsid "$php" -S 0.0.0.0:900 -t "$R/runtime/phpmyadmin" </dev/null >>"$R/runtime/config/phpmyadmin.log" 2>&1 &
echo $! > "$R/runtime/config/phpmyadmin.pid"
