#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh   (env: FUZZ_SECONDS per target, default 30;
#                           FUZZ_BUILD_DIR, default build-fuzz)
# Exits non-zero on a crash or a sanitizer report; the input that caused it
# is kept in the build directory under fuzz-artifacts/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}

# Only the core library and the fuzzers get built; the rest is merely configured.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTARSEL_TESTS=OFF -DTARSEL_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target extraction_fuzzer conversion_fuzzer >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$build/fuzz-artifacts"
status=0
for name in extraction conversion; do
  corpus=$work/$name
  mkdir -p "$corpus"
  cp "$root/tests/translate/fuzz/seeds/$name"/* "$corpus"/
  log=$work/$name.log
  if (cd "$work" && "$build/tests/translate/fuzz/${name}_fuzzer" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$name-" "$corpus") >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$name: $runs executions in ${seconds} s ($rate/s), no crash"
  else
    tail -n 40 "$log"
    echo "$name: FAILED (see $build/fuzz-artifacts)"
    status=1
  fi
done
exit "$status"
