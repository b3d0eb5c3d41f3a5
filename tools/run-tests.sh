#!/usr/bin/env bash
# Runs ctest in a built tree with one persistent wineserver for the whole run; with
# QV_CLANG_BUILD_DIR set, then also the GoogleTest binaries of that tree, which shares
# the prefix. Needs an X display (tools/test.sh starts Xvfb).
set -euo pipefail
trap 'echo "$(basename "$0"): failed at line $LINENO: $BASH_COMMAND" >&2' ERR
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
export WINEPREFIX="$build/wineprefix"
. "$top/cmake/wine-env.sh"
qv_wine_prefix_ready

# One wineserver for the whole run.
qv_wineserver_start
# A Wine that cannot start must fail the run loudly, before any test.
qv_wine_smoke_test
status=0
(cd "$build" && ctest --output-on-failure "$@") || status=$?
if [ -n "${QV_CLANG_BUILD_DIR:-}" ]; then
    echo "== the clang build's GoogleTest binaries"
    (cd "$QV_CLANG_BUILD_DIR" && ctest --output-on-failure -L gtest "$@") || status=$?
fi
exit "$status"
