#!/usr/bin/env bash
# The run command: set-up, build, the local Firebird server, then the tool.
#   run.sh            opens the demo database (created once in <repo>/demo)
#   run.sh DATABASE   opens DATABASE (e.g. 127.0.0.1:/data/office/KORVEX.FDB),
#                     from the current directory, where backups are written
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
(
    cd "$repo"
    bash scripts/build.sh
    bash scripts/fbserver.sh start
)
if [[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-} ]]; then
    echo "run: no display found (DISPLAY is not set); the window needs one" >&2
fi
if [[ $# -eq 0 ]]; then
    bash "$repo/scripts/demo.sh" "$repo/demo"
    cd "$repo/demo"
fi
exec "$repo/build/bin/korvex" "$@"
