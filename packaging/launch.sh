#!/bin/sh
# Started from a menu, the working directory is often / or $HOME, while the
# program writes log.log into its working directory: give it its own folder.
dir="${XDG_STATE_HOME:-$HOME/.local/state}/tarsel-translator"
mkdir -p "$dir" && cd "$dir"
exec "$(dirname "$0")/../../bin/tarsel-translator" "$@"
