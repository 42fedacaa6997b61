#!/usr/bin/env bash
# Builds, then prints the table of the longest time the window's thread is kept from its event
# loop (target: at most 16 ms) during a first start that copies the runtime, start-all, stop-all,
# an update from a package file and opening phpMyAdmin, beside an idle baseline and a status
# refresh: the largest gap over RUNS runs and the median run's, in wall time and in the thread's
# CPU time (a loaded machine stretches the wall gaps; a wait on a lock or a program shows there
# alone). Starts and stops PHP servers on the fixed ports 8000 and 900 (stop-all ends every PHP
# server on the machine): run it with nothing else on them.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${NO_BUILD:-}" ] || bash scripts/build.sh >/dev/null
BUILD=${BUILD_DIR:-build}
runs=${RUNS:-5}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for _ in $(seq "$runs"); do
  QT_QPA_PLATFORM=offscreen "$BUILD/bench/gui_busy_bench" "${RUNTIME_FILES:-3000}" \
    "${PACKAGE_FILES:-1000}" >>"$out" 2>/dev/null
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -F'\t' -v runs="$runs" '
  function sorted(list, into,   m, a, b, t) {
    m = split(substr(list, 2), into, " ")
    for (a = 1; a <= m; a++) for (b = a + 1; b <= m; b++) if (into[b] + 0 < into[a] + 0) { t = into[a]; into[a] = into[b]; into[b] = t }
    return m
  }
  { if (!($1 in seen)) { order[++n] = $1; seen[$1] = 1 }
    wall[$1] = wall[$1] " " $2; cpu[$1] = cpu[$1] " " $3; took[$1] += $4; count[$1]++ }
  END {
    printf "%-30s %10s %10s %10s %10s %10s\n", "phase (" runs " runs)", "wall max", "wall med",
      "cpu max", "cpu med", "phase ms"
    for (i = 1; i <= n; i++) {
      p = order[i]; m = sorted(wall[p], w); sorted(cpu[p], c)
      printf "%-30s %10.1f %10.1f %10.1f %10.1f %10d%s\n", p, w[m], w[int((m + 1) / 2)], c[m],
        c[int((m + 1) / 2)], took[p] / count[p], (c[m] > 16 ? "  cpu over 16 ms" : "")
    }
  }' "$out"
