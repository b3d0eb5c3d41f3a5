#!/usr/bin/env bash
# A whole update through a latency proxy in front of nginx (20 and 80 ms round trips,
# 100 Mbit/s) against curl over one keep-alive connection and curl with 6 transfers
# at once (tools/bench.sh network). The proxy's own check runs first (a few seconds).
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready
here="$QV_SOURCE_DIR/bench/network"
PYTHONDONTWRITEBYTECODE=1 python3 -m unittest discover -s "$here" -p 'test_latency_proxy.py' \
    >"$QV_BUILD_DIR/bench-network-proxy-check.log" 2>&1 || {
    cat "$QV_BUILD_DIR/bench-network-proxy-check.log" >&2
    echo "bench: the latency proxy failed its own check" >&2
    exit 1
}
echo "latency proxy: its own check passed (round trips, shared rate, bounded queue, time limits)"
rm -f "$QV_BUILD_DIR/bench-network-proxy-check.log"
# Every process starts against a warm, persistent server, as in the tests.
qv_wineserver_start
PYTHONDONTWRITEBYTECODE=1 python3 "$here/bench_network.py"
