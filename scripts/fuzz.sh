#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one (or only the named
# ones: scripts/fuzz.sh 60 zip_directory) over its seed corpus for SECONDS (default 20). Exits
# non-zero when a target crashes or breaks an invariant, and names the input that did it.
# New inputs a run finds stay in build-fuzz/corpus/<target>; the seeds in fuzz/corpus are read only.
set -euo pipefail
seconds=${1:-20}
shift || true
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-fuzz"
# Targets that read a path write each input to a scratch file: in memory when possible.
if [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DTAVEX_FUZZ=ON -DTAVEX_DEMO_RUNTIME=OFF -DTAVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz-targets --parallel 2
failed=0
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for seeds in "$here"/fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi
for name in "${targets[@]}"; do
  seeds="$here/fuzz/corpus/$name"
  [ -d "$seeds" ] || { echo "no target $name" >&2; exit 2; }
  corpus="$build/corpus/$name"
  crashes="$build/crashes/$name"
  mkdir -p "$corpus" "$crashes"
  echo "== $name: ${seconds} s"
  if ! (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$corpus" "$seeds" 2>&1 | tee "$build/$name.log" | grep -E '^#[0-9]+[[:space:]]+DONE|ERROR|invariant|^artifact_prefix|Test unit written'); then
    :
  fi
  if ! grep -qE '^#[0-9]+[[:space:]]+DONE' "$build/$name.log"; then
    echo "!! $name crashed; input: $(grep -o 'Test unit written to .*' "$build/$name.log" | sed 's/Test unit written to //')"
    failed=1
  fi
done
exit $failed
