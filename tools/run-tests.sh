#!/usr/bin/env bash
# Runs ctest in a built tree with one persistent wineserver for the whole run.
# Needs an X display (tools/test.sh starts Xvfb).
set -euo pipefail
trap 'echo "$(basename "$0"): failed at line $LINENO: $BASH_COMMAND" >&2' ERR
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
export WINEPREFIX="$build/wineprefix"
. "$top/cmake/wine-env.sh"
qv_wine_prefix_ready

# One wineserver for the whole run, ended for this prefix only. A server that the
# prefix creation left behind is waited out first, or -p would find it running.
"$QV_WINESERVER" -w </dev/null >/dev/null 2>&1 || true
"$QV_WINESERVER" -p </dev/null >/dev/null 2>&1
trap '"$QV_WINESERVER" -k >/dev/null 2>&1 || true' EXIT
# A Wine that cannot start must fail the run loudly, before any test.
qv_wine_smoke_test
cd "$build"
ctest --output-on-failure "$@"
