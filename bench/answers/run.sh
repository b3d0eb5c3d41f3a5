#!/usr/bin/env bash
# The peak working set of update.exe against a server whose ver.dat answer announces
# 1 GiB, next to a run against a normal ver.dat (tools/bench.sh answers).
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready
# Every process starts against a warm, persistent server, as in the tests.
qv_wineserver_start
PYTHONDONTWRITEBYTECODE=1 python3 "$QV_SOURCE_DIR/bench/answers/bench_answers.py"
