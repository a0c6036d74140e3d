#!/usr/bin/env bash
# Installs what building and testing need, then builds and runs every test:
# a plain build, one with AddressSanitizer+UndefinedBehaviorSanitizer, one
# with ThreadSanitizer, the plain build's tests again inside a Debian 13 root,
# and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

jobs=$(nproc)
status=0
run_suite() {
  local name=$1; shift
  echo "=== $name build ==="
  cmake -S . -B "build/$name" "$@" >/dev/null
  cmake --build "build/$name" -j"$jobs"
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" --timeout 900) || status=1
}

run_suite default -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan -DCMAKE_BUILD_TYPE=Debug -DTARSEL_SANITIZER=address
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARSEL_SANITIZER=thread

echo "=== Debian 13 root ==="
scripts/debian13-root.sh || status=1

echo "=== fuzzing ==="
scripts/fuzz.sh || status=1

exit $status
