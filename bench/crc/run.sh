#!/usr/bin/env bash
# FileCrc32 against zlib's crc32 in memory; Sha256File against FileCrc32; download-list
# build time.
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready
"$QV_WINE" "$QV_BUILD_DIR/bench/crc/bench_crc.exe" </dev/null 2>&1 | cat
