#!/usr/bin/env bash
# Cross-compiles the Windows platform files (code-page conversions, Win32
# clipboard, Tolk loader and SAPI fallback, log) and their tests with MinGW, then runs them under
# Wine on a private Xvfb display, in a Wine prefix made afresh under the build
# directory. Ends only its own Wine processes and its own display.
# Usage: scripts/test-windows.sh [build-dir [test-program-options...]]
#        (build-dir defaults to build/windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/windows}")
[ $# -gt 0 ] && shift
started=$SECONDS

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null ||
   ! command -v xclip >/dev/null || ! command -v Xvfb >/dev/null; then
  "$root/scripts/install-deps.sh" test
fi

cmake -S "$root/tests/windows/cross" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/cross/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
built=$SECONDS

export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINESERVER WINELOADER
run="$build/run"
rm -rf "$WINEPREFIX" "$run"
mkdir -p "$run"

xvfb_pid=
cleanup() {
  wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# -displayfd picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$run/display" >"$run/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$run/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$run/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$run/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$run/display")"

timeout 300 wineboot --init >/dev/null 2>&1
"$root/tests/windows/register-sapi-stand-in.sh" "$build/sapi-stub/sapi_voice_stub.dll"
prefixed=$SECONDS

status=0
(cd "$run" && timeout 600 wine "$build/tarsel_windows_test.exe" "$@") || status=$?
echo "Windows step: $((SECONDS - started)) s in all (build $((built - started)) s," \
  "Wine prefix $((prefixed - built)) s, tests under Wine $((SECONDS - prefixed)) s)"
exit $status
