#!/usr/bin/env bash
# Runs one Windows program of the build under Wine, in the build tree's private prefix.
#
#   wine-run.sh [--gtest] program.exe [arguments...]
#
# WINEPREFIX must be set (CTest sets it for every test). With --gtest the run only
# passes when the program exits 0 *and* GoogleTest reports at least one passed test
# and no failure, so a Wine start-up failure can never pass silently.
set -u

expect_gtest=0
if [ "${1:-}" = "--gtest" ]; then
    expect_gtest=1
    shift
fi
if [ $# -lt 1 ]; then
    echo "usage: wine-run.sh [--gtest] program.exe [arguments...]" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
qv_wine_prefix_ready || exit 1

if [ "$expect_gtest" -eq 0 ]; then
    exec "$QV_WINE" "$@"
fi

# Through a file, not a pipe: Wine's background processes would hold a pipe open.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$QV_WINE" "$@" </dev/null >"$log" 2>&1
rc=$?
cat "$log"
if [ "$rc" -ne 0 ]; then
    echo "wine-run: $1 exited with $rc" >&2
    exit "$rc"
fi
if ! grep -Eq '^\[  PASSED  \] [1-9][0-9]* test' "$log"; then
    echo "wine-run: $1 ran no test under Wine (start-up failure?)" >&2
    exit 1
fi
if grep -q '^\[  FAILED  \]' "$log"; then
    echo "wine-run: $1 reported failed tests" >&2
    exit 1
fi
exit 0
