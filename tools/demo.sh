#!/usr/bin/env bash
# The main job in one command: sets up and builds (quick when done before), then
# publishes a sample release, serves it over HTTPS with nginx on 127.0.0.1 (a throwaway
# authority trusted in the build's Wine prefix for the demo only), runs update.exe on a
# sample installation under Wine and prints what changed. Everything it starts and
# writes is gone when it ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
"$top/tools/build.sh"
build=${QV_BUILD_DIR:-$top/build}
export QV_BUILD_DIR=$build QV_SOURCE_DIR=$top WINEPREFIX=$build/wineprefix PYTHONDONTWRITEBYTECODE=1
. "$top/cmake/wine-env.sh"
qv_wine_prefix_ready

# Inside one X display: Wine's server for this prefix lives for the demo only.
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    . "$1/cmake/wine-env.sh"
    qv_wineserver_start
    python3 "$1/tools/demo.py"
' demo "$top"
