#!/usr/bin/env bash
# Builds the Debian package tavex-panel_<version>_<arch>.deb with CPack's DEB generator.
#
#   scripts/package.sh                  sets the machine up, builds into build-package/
#                                       (prefix /usr, demo runtime on, tests off), packages there
#   scripts/package.sh BUILD [OUT]      packages an existing build folder BUILD (configured with
#                                       the demo runtime) into OUT (default: BUILD), building
#                                       nothing new; the package test uses its own build so
#
# The package's paths do not depend on the build's prefix (CPack installs it under /usr), and
# the program finds its runtime relative to itself. The last line of the output is the path of
# the package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=${here%/scripts}
prog=${0##*/}
die() { printf '%s: %s\n' "$prog" "$*" >&2; exit 1; }

if [ $# -eq 0 ]; then
  bash "$here/setup-debian.sh" >&2
  build=$top/build-package
  out=$build
  # Debian's hardening flags, as a package built by its own tools would have them. Warnings
  # stay warnings here: the fortified C library marks more results as not to be ignored, and a
  # package build is no place to stop on them (the tests' build treats them as errors).
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DTAVEX_DEMO_RUNTIME=ON -DTAVEX_BUILD_TESTS=OFF \
    -DTAVEX_WARNINGS_AS_ERRORS=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >&2
  cmake --build "$build" --parallel >&2
else
  build=$(cd "$1" && pwd)
  out=${2:-$build}
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
fi

[ -f "$build/CPackConfig.cmake" ] || die "$build is not a configured build folder"
grep -qx 'TAVEX_DEMO_RUNTIME:BOOL=ON' "$build/CMakeCache.txt" \
  || die "$build was configured without the demo runtime (-DTAVEX_DEMO_RUNTIME=ON)"

# The package ships the runtime as the build assembled it: a build whose runtime was used as a
# panel root (a database, PID files, a written phpMyAdmin configuration) is not packaged.
runtime=$build/tavex/share/tavex-panel/runtime
[ -f "$runtime/.tavex-demo-runtime" ] || die "no demo runtime at $runtime"
used=$(find "$runtime/mysql/data" "$runtime/config" -mindepth 1 -print -quit 2>/dev/null || true)
[ -e "$runtime/phpmyadmin/config.inc.php" ] && used=$runtime/phpmyadmin/config.inc.php
[ -z "$used" ] || die "the shipped runtime has been used as a panel root ($used); rebuild it: cmake --build $build --target demo-runtime after deleting $build/demo-runtime.stamp"

rm -f "$out"/tavex-panel_*.deb
(cd "$build" && cpack -G DEB -B "$out" >&2) || die "cpack failed"
rm -rf "$out/_CPack_Packages"
deb=$(ls "$out"/tavex-panel_*.deb)
echo "$deb"
