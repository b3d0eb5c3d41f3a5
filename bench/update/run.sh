#!/usr/bin/env bash
# A whole update of a 200-file, 100 MiB release from nginx against curl fetching the
# same files, and a no-op update against a bare Wine start (tools/bench.sh update).
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready
# Every process starts against a warm, persistent server, as in the tests.
qv_wineserver_start
PYTHONDONTWRITEBYTECODE=1 python3 "$QV_SOURCE_DIR/bench/update/bench_update.py"
