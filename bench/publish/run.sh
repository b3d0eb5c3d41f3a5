#!/usr/bin/env bash
# Publishing speed: plain and zipped at several levels, against copying the same files.
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$QV_WINE" "$QV_BUILD_DIR/bench/publish/bench_publish.exe" </dev/null >"$out" 2>&1
cat "$out"
