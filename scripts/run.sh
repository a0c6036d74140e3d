#!/usr/bin/env bash
# Installs what the program needs, builds it and starts the dialog.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTARSEL_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target tarsel-translator

if [ -z "${DISPLAY:-}" ]; then
  echo "tarsel-translator: no graphical session (DISPLAY is not set); start it from a desktop session." >&2
  exit 1
fi
exec build/release/tarsel-translator
