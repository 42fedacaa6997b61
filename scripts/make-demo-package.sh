#!/usr/bin/env bash
# Builds an update package from the demo site with a visible change and serves it on loopback,
# so that an update can be tried without a server of one's own:
#
#   scripts/make-demo-package.sh [PORT]        (PORT defaults to 8765; Ctrl-C stops serving)
#   build/tavex/bin/tavex-panel update --url http://127.0.0.1:PORT/tavex-update.zip
#
# The package holds tavex-site/www/ with index.php (which now says that it came from the
# package), include/ and Data/demo-package.txt. Data files are only added where missing.
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8765}
site=${BUILD_DIR:-build}/tavex/share/tavex-panel/runtime/www
[ -f "$site/index.php" ] || { echo "no demo site at $site: run scripts/build.sh first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
www=$work/pkg/tavex-site/www
mkdir -p "$www/include" "$www/Data" "$work/serve"
cp -a "$site/." "$www/"
stamp=$(date '+%Y-%m-%d %H:%M:%S')
sed -i "s|<h1>TAVEX 演示站点</h1>|<h1>TAVEX 演示站点</h1>\n<p class=\"ok\">本页来自演示更新包（生成于 $stamp）</p>|" "$www/index.php"
grep -q '本页来自演示更新包' "$www/index.php" || { echo "could not mark the demo page" >&2; exit 1; }
echo "<?php // 演示更新包带来的 include 目录" >"$www/include/demo.php"
echo "演示更新包放入的数据文件；站点已有的 Data 文件不会被覆盖。" >"$www/Data/demo-package.txt"
bsdtar -a -cf "$work/serve/tavex-update.zip" -C "$work/pkg" tavex-site

echo "更新包: http://127.0.0.1:$port/tavex-update.zip"
echo "试一试: ${BUILD_DIR:-build}/tavex/bin/tavex-panel update --url http://127.0.0.1:$port/tavex-update.zip"
echo "撤销:   ${BUILD_DIR:-build}/tavex/bin/tavex-panel rollback"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/serve"
