#!/usr/bin/env bash
# Builds, then runs every benchmark (bench/*/run.sh) under Wine and Xvfb. Each prints
# its figures as ratios against a baseline measured in the same run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
"$top/tools/build.sh"
build=${QV_BUILD_DIR:-$top/build}
export QV_BUILD_DIR=$build QV_SOURCE_DIR=$top WINEPREFIX=$build/wineprefix
for script in "$top"/bench/*/run.sh; do
    [ -n "${1:-}" ] && [ "$script" != "$top/bench/$1/run.sh" ] && continue
    echo "== $(basename "$(dirname "$script")")"
    xvfb-run -a bash "$script"
done
