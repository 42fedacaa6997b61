#!/usr/bin/env bash
# Assembles the demo runtime at DEST from Debian's own MariaDB, PHP and
# phpMyAdmin:
#
#   DEST/mysql/bin/mysql_install_db   initialises a data directory, root password "kelp"
#   DEST/mysql/bin/mysqld             starts mariadbd detached, returns once it answers
#   DEST/mysql/bin/mysqladmin         ping and shutdown over TCP 127.0.0.1:3306
#   DEST/php/PHP8.2/bin/php           Debian's PHP under the runtime's name
#   DEST/phpmyadmin/                  a copy of Debian's phpMyAdmin reading its own config.inc.php
#   DEST/www/index.php                a demo site that connects to the database
#   DEST/config/, DEST/mysql/data/    empty: the panel keeps PID files, logs and the database there
#
# DEST is the "runtime" folder itself (the panel root is its parent). The panel
# calls these programs with fixed arguments written for another platform; the
# wrappers translate them for Debian. They find everything relative to their own
# location at run time, so the tree may be copied or moved after it is built.
# phpmyadmin/config.inc.php is left out on purpose: the panel writes it.
#
# The runtime needs only MariaDB's -core packages (mariadbd, its SQL scripts and
# messages; the mariadb client), never mariadb-server or mariadb-client, whose
# installation would start and enable a system MariaDB on port 3306.
#
# DEST is a build artifact: running the script again replaces it completely.
set -euo pipefail

prog=${0##*/}
die() { printf '%s: %s\n' "$prog" "$*" >&2; exit 1; }

[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $prog DEST   (DEST is the runtime folder, e.g. .../Tavex-panel/runtime)" >&2; exit 2; }

# Debian's programs, by absolute path: /usr/sbin is not on an ordinary user's PATH.
MARIADBD=/usr/sbin/mariadbd
MARIADB_CLIENT=/usr/bin/mariadb
MY_PRINT_DEFAULTS=/usr/bin/my_print_defaults
PHP=/usr/bin/php
PMA_SRC=/usr/share/phpmyadmin
MARIADB_SHARE=/usr/share/mysql

# --- what the runtime needs from the system ---------------------------------
missing=()
need() { # need PATH PACKAGE
  [ -e "$1" ] || missing+=("$1 (Debian package $2)")
}
need "$MARIADBD" mariadb-server-core
need "$MARIADB_CLIENT" mariadb-client-core
need "$MY_PRINT_DEFAULTS" mariadb-client-core
need "$MARIADB_SHARE/english/errmsg.sys" mariadb-server-core
need "$MARIADB_SHARE/charsets" mariadb-server-core
for sql in mysql_system_tables mysql_performance_tables mysql_system_tables_data \
           fill_help_tables maria_add_gis_sp_bootstrap mysql_sys_schema; do
  need "$MARIADB_SHARE/$sql.sql" mariadb-server-core
done
need "$PHP" php-cli
need "$PMA_SRC/index.php" phpmyadmin
need /usr/bin/setsid util-linux
need /usr/bin/sha1sum coreutils
if [ -x "$PHP" ]; then
  php_modules=$("$PHP" -m 2>/dev/null | tr '[:upper:]' '[:lower:]')
  for m in pdo_mysql:php-mysql mysqli:php-mysql mbstring:php-mbstring xml:php-xml session:php-common; do
    grep -qx "${m%%:*}" <<<"$php_modules" || missing+=("PHP extension ${m%%:*} (Debian package ${m#*:})")
  done
fi
if [ ${#missing[@]} -gt 0 ]; then
  printf '%s: missing:\n' "$prog" >&2
  printf '  %s\n' "${missing[@]}" >&2
  die "install the packages above (scripts/setup-debian.sh does) and run again"
fi

# --- where ------------------------------------------------------------------
DEST=$1
case $DEST in /*) ;; *) DEST=$PWD/$DEST ;; esac
while [ "${DEST%/}" != "$DEST" ] && [ "$DEST" != / ]; do DEST=${DEST%/}; done
[ "$DEST" != / ] || die "refusing to use / as DEST"
parent=${DEST%/*}
[ -n "$parent" ] || parent=/
marker=.tavex-demo-runtime

# Replacing DEST deletes it, so only ever delete a tree this script built.
if [ -e "$DEST" ] || [ -L "$DEST" ]; then
  [ -d "$DEST" ] && [ ! -L "$DEST" ] || die "$DEST exists and is not a directory"
  if [ ! -e "$DEST/$marker" ] && [ -n "$(ls -A "$DEST")" ]; then
    die "$DEST is not empty and was not built by this script; refusing to replace it"
  fi
  # Rebuilding under a running server would leave it running on deleted files.
  busy=()
  for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    [ "$pid" = "$$" ] && continue
    mapfile -d '' argv <"$p/cmdline" 2>/dev/null || continue
    for a in "${argv[@]}"; do
      case $a in *"$DEST/"*) busy+=("$pid"); break ;; esac
    done
  done
  if [ ${#busy[@]} -gt 0 ]; then
    die "processes still run from $DEST (pid ${busy[*]}); stop the stack first"
  fi
fi

mkdir -p -- "$parent"
build=$(mktemp -d "$parent/.runtime-build.XXXXXX")
trap 'rm -rf -- "$build"' EXIT
chmod 755 "$build"

# --- mysql ------------------------------------------------------------------
mkdir -p "$build/mysql/bin"

# Shared by the wrappers: locate the runtime and read the option file with the
# server's own parser, so quoting and !include work as they do in mariadbd.
read -r -d '' WRAPPER_COMMON <<'EOF' || true
here=$(CDPATH='' cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
mysql_dir=${here%/bin}
self=${0##*/}
fail() { printf '%s: %s\n' "$self" "$*" >&2; exit 1; }

# option_datadir FILE: the datadir that FILE gives the server, without trailing "/".
option_datadir() {
  local out d
  out=$(/usr/bin/my_print_defaults --defaults-file="$1" mysqld) || return 1
  d=$(printf '%s\n' "$out" | sed -n 's/^--datadir=//p' | tail -n 1)
  [ -n "$d" ] || d=$mysql_dir/data
  while [ "${d%/}" != "$d" ] && [ "$d" != / ]; do d=${d%/}; done
  printf '%s\n' "$d"
}

# datadir_from FILE: the data directory for FILE, which must be a readable regular file. Without
# it the wrappers refuse to run: MariaDB's own defaults point at the system's database.
datadir_from() {
  [ -n "$1" ] || fail "no --defaults-file given; refusing to run on a default data directory"
  [ -f "$1" ] && [ ! -L "$1" ] && [ -r "$1" ] || fail "option file $1 is not a readable regular file; refusing to run"
  option_datadir "$1" || fail "cannot read option file $1"
}

# answers ARGS...: the server that the mariadb client reaches with ARGS answers. A refused
# login counts: an error number below 2000 comes from the server, so it is up.
answers() {
  local out
  out=$(/usr/bin/mariadb --no-defaults --connect-timeout=1 "$@" -Nse 'SELECT 1' 2>&1) && return 0
  [[ $out =~ ^ERROR\ ([0-9]+) ]] && [ "${BASH_REMATCH[1]}" -lt 2000 ]
}
EOF

cat >"$build/mysql/bin/mysql_install_db" <<EOF
#!/bin/bash
# Called as:  mysql_install_db --defaults-file=<my_runtime.cnf> --initialize-insecure
# Does what mariadb-install-db does (that script comes with mariadb-server, and it
# mishandles paths with spaces): feeds the system tables' SQL of mariadb-server-core
# to "mariadbd --bootstrap" with --no-defaults and an explicit datadir, checks the
# result, and gives every root account the password "kelp" that the stack expects.
set -u
$WRAPPER_COMMON
EOF
cat >>"$build/mysql/bin/mysql_install_db" <<'EOF'

defaults_file=
for a in "$@"; do
  case $a in
    --defaults-file=*) defaults_file=${a#--defaults-file=} ;;
    *) ;; # --initialize-insecure: root gets its password below
  esac
done

datadir=$(datadir_from "$defaults_file") || exit 1

if [ -d "$datadir/mysql" ]; then
  echo "$self: $datadir is already initialised, nothing to do"
  exit 0
fi
mkdir -p -- "$datadir" || fail "cannot create $datadir"

# If we start from an empty folder, a failure empties it again so that the next
# attempt starts over instead of finding a half-built "mysql" folder.
was_empty=0
[ -z "$(ls -A -- "$datadir")" ] && was_empty=1
log=$(mktemp) || fail "cannot create a temporary file"
trap 'rm -f -- "$log"' EXIT
give_up() {
  # The server's own [ERROR] lines say why; the installer's advice around them does not.
  if grep -q '\[ERROR\]' "$log" 2>/dev/null; then
    grep '\[ERROR\]' "$log" | head -n 8 >&2
  elif [ -s "$log" ]; then
    tail -n 8 -- "$log" >&2
  fi
  [ "$was_empty" = 1 ] && find "$datadir" -mindepth 1 -delete 2>/dev/null
  fail "$*"
}

start=$(date +%s%N)
# As mariadb-install-db: root accounts without a socket login (@auth_root_socket NULL), no test
# database. The bootstrap server runs with grant tables off: FLUSH PRIVILEGES loads the tables
# just made so that ALTER USER works. Every root account (localhost, 127.0.0.1, ::1, the host
# name) gets the password, so that TCP logins to 127.0.0.1 need it too. (The bootstrap reader
# ends a statement at a line ending in ";", so the block stays on one line.)
sql=/usr/share/mysql
{
  printf '%s\n' "CREATE DATABASE IF NOT EXISTS mysql;" "USE mysql;" "SET @auth_root_socket=NULL;"
  cat -- "$sql/mysql_system_tables.sql" "$sql/mysql_performance_tables.sql" \
    "$sql/mysql_system_tables_data.sql" "$sql/fill_help_tables.sql" \
    "$sql/maria_add_gis_sp_bootstrap.sql" "$sql/mysql_sys_schema.sql"
  printf '%s\n' "FLUSH PRIVILEGES;" \
    "BEGIN NOT ATOMIC FOR r IN (SELECT Host FROM mysql.global_priv WHERE User = 'root') DO EXECUTE IMMEDIATE CONCAT('ALTER USER ''root''@', QUOTE(r.Host), ' IDENTIFIED BY ''kelp'''); END FOR; END;"
} | /usr/sbin/mariadbd --no-defaults --bootstrap --datadir="$datadir" --skip-networking \
      --lc-messages-dir=/usr/share/mysql --character-sets-dir=/usr/share/mysql/charsets \
      --log-warnings=0 --enforce-storage-engine="" --max-allowed-packet=8M \
      --net-buffer-length=16K >"$log" 2>&1 \
  || give_up "initialising the system tables failed"
# A bootstrap that stops early may still exit 0: the grant table must be there.
[ -f "$datadir/mysql/global_priv.frm" ] || give_up "no system tables were created in $datadir"

ms=$(( ($(date +%s%N) - start) / 1000000 ))
printf '%s: initialised %s in %d.%d s; root password is "kelp"\n' \
  "$self" "$datadir" $((ms / 1000)) $((ms % 1000 / 100))
EOF

cat >"$build/mysql/bin/mysqld" <<EOF
#!/bin/bash
# Called as:  mysqld --defaults-file=<my_runtime.cnf> --daemonize
# mariadbd has no --daemonize and refuses to run as root without --user=root.
# This wrapper starts the real server in a session of its own under this
# wrapper's name (exec -a), so its command line still reads
# "<runtime>/mysql/bin/mysqld --defaults-file=..." for pgrep/pkill, and returns
# once the server answers.
set -u
$WRAPPER_COMMON
EOF
cat >>"$build/mysql/bin/mysqld" <<'EOF'

# "mysqld --version" only reports the version; it starts nothing.
if [ "$#" -eq 1 ] && [ "$1" = --version ]; then
  exec /usr/sbin/mariadbd --version
fi

defaults_file=
args=()
for a in "$@"; do
  case $a in
    --daemonize) ;; # detaching is done here
    --defaults-file=*) defaults_file=${a#--defaults-file=} ;;
    *) args+=("$a") ;;
  esac
done

datadir=$(datadir_from "$defaults_file") || exit 1
# mariadbd wants the option file first. The data directory is passed again explicitly, so the
# server never falls back to a default of the system's.
server=("--defaults-file=$defaults_file" "--datadir=$datadir")
[ -d "$datadir/mysql" ] || fail "$datadir is not initialised (run mysql_install_db first)"
[ "$(id -u)" = 0 ] && server+=(--user=root)

# A socket of its own: the default /run/mysqld/mysqld.sock belongs to a system
# MariaDB. Unix socket paths hold at most 107 bytes; a deep root falls back to /tmp.
socket=$mysql_dir/mysqld.sock
if [ "$(printf '%s' "$socket" | wc -c)" -gt 107 ]; then
  socket=/tmp/tavex-mysqld-$(id -u)-$(printf '%s' "$mysql_dir" | sha1sum | cut -c1-12).sock
fi
errlog=$datadir/mysqld.err
pidfile=$datadir/mysqld.pid

# basedir points into the runtime, which has no share files: use Debian's.
server+=(
  "--socket=$socket"
  "--pid-file=$pidfile"
  "--log-error=$errlog"
  --lc-messages-dir=/usr/share/mysql
  --character-sets-dir=/usr/share/mysql/charsets
  "${args[@]}"
)

# A second server would only wait on the first one's InnoDB lock and then give up.
if answers --socket="$socket" -uroot -pkelp; then
  fail "a server already runs from this runtime (pid $(cat -- "$pidfile" 2>/dev/null || echo "?"))"
fi

# setsid: the server must outlive the caller and its terminal. In a script
# without job control the background child is no group leader, so setsid does
# not fork again and $! is the server itself.
setsid /bin/bash -c 'exec -a "$0" /usr/sbin/mariadbd "$@"' "$0" "${server[@]}" \
  </dev/null >/dev/null 2>&1 &
pid=$!

running() { # alive and not a zombie
  local s
  s=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  s=${s##*) }
  [ "${s%% *}" != Z ]
}
ours() { # the pid file names the process started above
  [ "$(cat -- "$pidfile" 2>/dev/null)" = "$pid" ]
}

for _ in $(seq 200); do # up to 20 s
  if ours && answers --socket="$socket" -uroot -pkelp; then
    echo "$self: MariaDB answers (pid $pid, socket $socket)"
    exit 0
  fi
  if ! running; then
    [ -f "$errlog" ] && tail -n 15 -- "$errlog" >&2
    fail "the server stopped during start-up; see $errlog"
  fi
  sleep 0.1
done
fail "the server (pid $pid) did not answer within 20 s; it is left running, see $errlog"
EOF

cat >"$build/mysql/bin/mysqladmin" <<EOF
#!/bin/bash
# Called as:  mysqladmin -u root -pkelp shutdown   (also: ... ping)
# mariadb-admin comes with mariadb-client, which the runtime does without: the
# mariadb client of mariadb-client-core sends the SHUTDOWN statement, and "ping"
# is a query that any answer of the server counts for, a refused login too.
# Without --no-defaults the client would read the system's option files and use
# the system socket /run/mysqld/mysqld.sock; the runtime's server is reached
# over TCP at 127.0.0.1:3306.
# The server confirms SHUTDOWN before it has stopped, so this wrapper waits
# itself until the process that listened on port 3306 has gone.
set -u
$WRAPPER_COMMON
EOF
cat >>"$build/mysql/bin/mysqladmin" <<'EOF'

client=(--protocol=TCP -h 127.0.0.1 -P 3306)
command=
while [ $# -gt 0 ]; do
  case $1 in
    -u) [ $# -ge 2 ] || fail "-u needs a user name"; client+=("--user=$2"); shift ;;
    -u*) client+=("--user=${1#-u}") ;;
    --user=*) client+=("$1") ;;
    -p?*) client+=("--password=${1#-p}") ;;
    --password=*) client+=("$1") ;;
    ping | shutdown) [ -z "$command" ] || fail "one command at a time"; command=$1 ;;
    *) fail "unsupported argument: $1 (this runtime's mysqladmin knows ping and shutdown)" ;;
  esac
  shift
done

case $command in
  ping)
    answers "${client[@]}" || fail "no server answers on 127.0.0.1:3306"
    echo "mysqld is alive"
    exit 0 ;;
  shutdown) ;;
  *) fail "no command given (ping or shutdown)" ;;
esac

# listener_pid PORT: the process listening on TCP PORT (only our own processes
# are visible to an ordinary user, which is all we need).
listener_pid() {
  local hex inode pid
  hex=$(printf '%04X' "$1")
  for inode in $(awk -v p=":$hex" 'FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == p { print $10 }' \
                   /proc/net/tcp /proc/net/tcp6 2>/dev/null); do
    pid=$(find /proc/[0-9]*/fd -maxdepth 1 -lname "socket:\[$inode\]" 2>/dev/null | head -n 1 | cut -d/ -f3)
    [ -n "$pid" ] && { echo "$pid"; return 0; }
  done
  return 1
}
running() { # alive and not a zombie waiting for a parent that does not reap
  local s
  s=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  s=${s##*) }
  [ "${s%% *}" != Z ]
}

pid=$(listener_pid 3306)
/usr/bin/mariadb --no-defaults --connect-timeout=5 "${client[@]}" -e SHUTDOWN || exit
[ -n "$pid" ] || exit 0
for _ in $(seq 500); do # up to 50 s (the panel gives the tool 60): InnoDB may have a lot to flush
  running "$pid" || exit 0
  sleep 0.1
done
echo "mysqladmin: the server (pid $pid) is still shutting down after 50 s" >&2
exit 1
EOF

# --- php --------------------------------------------------------------------
mkdir -p "$build/php/PHP8.2/bin"
cat >"$build/php/PHP8.2/bin/php" <<'EOF'
#!/bin/bash
# Called as:  php -S 0.0.0.0:<port> -t <folder>
# exec keeps the PID the panel recorded; exec -a keeps this path as argv[0], so
# the command line reads "<runtime>/php/PHP8.2/bin/php -S 0.0.0.0:<port> ...".
# The package (or scripts/setup-debian.sh) installs a copy of PHP allowed to bind
# ports below 1024 (phpMyAdmin listens on 900) that only the group "tavex" may
# run; prefer it when this user may.
php=/usr/bin/php
[ -x /usr/lib/tavex-panel/php-bind900 ] && php=/usr/lib/tavex-panel/php-bind900
exec -a "$0" "$php" "$@"
EOF

chmod 755 "$build"/mysql/bin/* "$build/php/PHP8.2/bin/php"

# --- phpmyadmin -------------------------------------------------------------
# Debian's tree holds relative symlinks into /usr/share/javascript and
# /usr/share/doc: -L copies what they point to, so the copy stands alone.
cp -rL -- "$PMA_SRC" "$build/phpmyadmin"
links=$(find "$build/phpmyadmin" -type l | head -n 3)
[ -z "$links" ] || die "phpMyAdmin copy still holds symbolic links: $links"
rm -f -- "$build/phpmyadmin/config.inc.php"
mkdir -p "$build/phpmyadmin/tmp"
chmod -R u+w "$build/phpmyadmin"

# Debian points the config file at /etc/phpmyadmin and the temp dir at
# /var/lib/phpmyadmin; the runtime's copy uses its own folder for both.
vendor=$build/phpmyadmin/libraries/vendor_config.php
sed -i \
  -e "s|^\([[:space:]]*'configFile' => \).*,|\1ROOT_PATH . 'config.inc.php',|" \
  -e "s|^\([[:space:]]*'tempDir' => \).*,|\1ROOT_PATH . 'tmp' . DIRECTORY_SEPARATOR,|" \
  "$vendor"
check=$("$PHP" -r '
  define("PHPMYADMIN", true); define("ROOT_PATH", "/ROOT/");
  $c = require $argv[1];
  echo $c["configFile"], "|", $c["tempDir"];' "$vendor") || die "cannot evaluate $vendor"
[ "$check" = "/ROOT/config.inc.php|/ROOT/tmp/" ] || die "could not redirect phpMyAdmin's paths in $vendor (got: $check)"
if grep -rlE --include='*.php' '/etc/phpmyadmin|/var/lib/phpmyadmin' "$build/phpmyadmin" >/dev/null; then
  die "phpMyAdmin copy still refers to /etc/phpmyadmin or /var/lib/phpmyadmin: $(grep -rlE --include='*.php' '/etc/phpmyadmin|/var/lib/phpmyadmin' "$build/phpmyadmin" | head -3)"
fi

# --- demo site --------------------------------------------------------------
mkdir -p "$build/www"
cat >"$build/www/index.php" <<'EOF'
<?php
// TAVEX 演示站点：像真实网站一样，通过 PDO 以 root/kelp 连接 127.0.0.1:3306 上的 MariaDB。
declare(strict_types=1);
header('Content-Type: text/html; charset=utf-8');

function h(string $s): string
{
    return htmlspecialchars($s, ENT_NOQUOTES | ENT_SUBSTITUTE, 'UTF-8');
}

try {
    $pdo = new PDO('mysql:host=127.0.0.1;port=3306;charset=utf8mb4', 'root', 'kelp', [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_TIMEOUT => 5,
    ]);
    $version = (string) $pdo->query('SELECT VERSION()')->fetchColumn();
    $line = '数据库连接成功: ' . $version;
    $ok = true;
} catch (Throwable $e) {
    http_response_code(500);
    $line = '数据库连接失败: ' . $e->getMessage();
    $ok = false;
}
?>
<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>TAVEX 演示站点</title>
<style>
body { font-family: "Noto Sans CJK SC", sans-serif; margin: 3em; color: #222; }
.ok { color: #17803d; } .fail { color: #b42318; }
</style>
</head>
<body>
<h1>TAVEX 演示站点</h1>
<p class="<?= $ok ? 'ok' : 'fail' ?>"><?= h($line) ?></p>
<?php $host = preg_replace('/:\d+$/', '', $_SERVER['HTTP_HOST'] ?? '127.0.0.1'); ?>
<p>PHP <?= h(PHP_VERSION) ?> · <a href="http://<?= htmlspecialchars($host, ENT_QUOTES, 'UTF-8') ?>:900/">phpMyAdmin</a></p>
</body>
</html>
EOF

# --- the panel's own folders ------------------------------------------------
# Shipped empty, so that a fresh copy passes the panel's permission check before
# the first start has made them.
mkdir -p "$build/config" "$build/mysql/data"

# --- done -------------------------------------------------------------------
echo "built by scripts/make-demo-runtime.sh; rebuilt (deleted) on every run" >"$build/$marker"
if [ -e "$DEST" ]; then
  rm -rf -- "$DEST"
fi
mv -T -- "$build" "$DEST"
trap - EXIT
echo "$prog: demo runtime ready at $DEST"
