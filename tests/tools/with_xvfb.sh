#!/usr/bin/env bash
# Runs a command on an X server of its own. Xvfb picks a free display itself
# (-displayfd), so tests running side by side never race for a number; with
# -noreset it never refuses a client that connects as the last one leaves.
set -euo pipefail
fifo=$(mktemp -u) && mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$fifo"' EXIT
read -r -t 30 display <"$fifo"
DISPLAY=":$display" "$@"
