#!/usr/bin/env bash
# Builds in Release mode (build/bench) and runs every benchmark on loopback:
# prints one table and writes it to bench/results/<date>.md. Needs root (a
# private mount and network namespace) and takes a few minutes.
# Usage: scripts/bench.sh [--short] [--prebuilt BUILD_DIR]
#   --short      a few repetitions of each, to check that everything runs
#   --prebuilt   use the programs of an existing build instead of building
set -euo pipefail
cd "$(dirname "$0")/.."

short=
build=
while [ $# -gt 0 ]; do
  case $1 in
    --short) short=--short ;;
    --prebuilt) build=$2; shift ;;
    *) echo "usage: $0 [--short] [--prebuilt BUILD_DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$build" ]; then
  scripts/install-deps.sh test
  build=build/bench
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc)" --target bench_programs
fi

results=bench/results
[ "$build" = build/bench ] || results=$build/bench/results
out=$results/$(date +%Y-%m-%d-%H%M%S)${short:+-short}.md
exec /usr/bin/python3 bench/bench.py --bin-dir "$build" $short --out "$out"
