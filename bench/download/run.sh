#!/usr/bin/env bash
# DownloadToFile against curl, both fetching 64, 256 and 512 MiB files from nginx on
# 127.0.0.1 in the same run; prints the time ratio (ours / curl, best of three each)
# and our peak working set against the body size (the largest body shows whether the
# download holds the whole body in memory).
# Goals: time ratio <= 1.2; peak working set <= 32 MiB whatever the size (bodies stream).
# Then over TLS: the 256 MiB file (QV_BENCH_TLS_SIZES) from the same nginx over HTTPS on
# "localhost", with a certificate from a throwaway authority trusted in the build's Wine
# prefix for the run, against curl over TLS. Goal: time ratio <= 1.3.
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready

exe="$QV_BUILD_DIR/bench/download/bench_download.exe"
work="$QV_BUILD_DIR/bench/download/work"
rounds=${QV_BENCH_ROUNDS:-3}
sizes=${QV_BENCH_SIZES:-64 256 512}  # MiB
tls_sizes=${QV_BENCH_TLS_SIZES:-256}  # MiB, over TLS
mkdir -p "$work/www" "$work/nginx/logs" "$work/nginx/temp"

# The bodies: random bytes, made once and kept in the build tree.
# Times `rounds` downloads of $url by curl (with the options after the URL) and by our
# client, each checked against the served file; sets best_curl, best_ours, and peak and
# base (working set after and before ours). A failed download sets status and counts
# no time.
time_rounds() {
    local label=$1 url=$2 t line seconds
    shift 2
    best_curl=""
    best_ours=""
    peak=0
    base=0
    for _ in $(seq "$rounds"); do
        t=$(curl -s "$@" -o "$work/curl.out" -w '%{time_total}' "$url")
        best_curl=$(python3 -c "print(min(float('$t'), float('${best_curl:-1e9}')))")
        # Output through a file: Wine's background processes would hold a pipe open.
        "$QV_WINE" "$exe" "$url" "$target_windows" </dev/null >"$work/ours.log" 2>&1 || true
        line=$(grep '^ok=' "$work/ours.log" || true)
        if [[ "$line" != ok=1* ]] || ! cmp -s "$work/ours.out" "$work/www/${url##*/}"; then
            echo "download of $label MiB failed or differs: $(cat "$work/ours.log")"
            status=1
            continue
        fi
        seconds=$(sed 's/.*seconds=\([0-9.]*\).*/\1/' <<<"$line")
        best_ours=$(python3 -c "print(min(float('$seconds'), float('${best_ours:-1e9}')))")
        peak=$(sed 's/.*peak_after=\([0-9]*\).*/\1/' <<<"$line")
        base=$(sed 's/.*peak_before=\([0-9]*\).*/\1/' <<<"$line")
    done
}

for mib in $sizes $tls_sizes; do
    file="$work/www/f$mib.bin"
    if [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -ne $((mib << 20)) ]; then
        head -c $((mib << 20)) /dev/urandom >"$file"
    fi
done

# nginx on a free loopback port with its own configuration, logs and temporary folders;
# a second port serves the same files over TLS.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
tls_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/tls"
python3 - "$work/tls" <<'EOF'
import os, sys
sys.path.insert(0, os.path.join(os.environ["QV_SOURCE_DIR"], "tests", "e2e"))
import e2e_lib as e2e
from cryptography.hazmat.primitives import serialization
authority = e2e.TestAuthority(sys.argv[1], name="qvupdate bench authority")
authority.issue("localhost")
(authority.dir / "authority.pem").write_bytes(
    authority.cert.public_bytes(serialization.Encoding.PEM))
EOF
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work/nginx/temp/body;
    proxy_temp_path $work/nginx/temp/proxy;
    fastcgi_temp_path $work/nginx/temp/fastcgi;
    uwsgi_temp_path $work/nginx/temp/uwsgi;
    scgi_temp_path $work/nginx/temp/scgi;
    types { application/octet-stream bin; }
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
    server {
        listen 127.0.0.1:$tls_port ssl;
        ssl_certificate $work/tls/localhost.pem;
        ssl_certificate_key $work/tls/localhost.key;
        root $work/www;
    }
}
EOF
nginx -p "$work/nginx" -e "$work/nginx/logs/error.log" -c "$work/nginx/nginx.conf" \
    </dev/null >"$work/nginx/logs/stdout.log" 2>&1 &
nginx_pid=$!
# One wineserver for all runs, ended with the benchmark.
qv_wineserver_start
helper="$QV_BUILD_DIR/tests/e2e/e2e_helper.exe"
ca_windows="Z:$(echo "$work/tls/authority.der" | tr / '\\')"
"$QV_WINE" "$helper" trust "$ca_windows" </dev/null >/dev/null 2>&1
cleanup() {
    "$QV_WINE" "$helper" untrust "$ca_windows" </dev/null >/dev/null 2>&1 || true
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    qv_wineserver_stop
    rm -f "$work/curl.out" "$work/ours.out"
}
trap cleanup EXIT
for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/f64.bin" && break
    sleep 0.1
done

# Wine sees the build tree under Z:.
target_windows="Z:$(echo "$work/ours.out" | tr / '\\')"
status=0
for mib in $sizes; do
    url="http://127.0.0.1:$port/f$mib.bin"
    body=$((mib << 20))
    time_rounds "$mib" "$url"
    [ -n "$best_ours" ] || continue
    python3 - "$mib" "$best_ours" "$best_curl" "$peak" "$base" "$body" <<'EOF'
import sys
mib, ours, curl, peak, base, body = sys.argv[1], *map(float, sys.argv[2:])
# Bodies stream to disk: memory must not grow with the file (32 MiB even for 1 GiB).
limit = 32 * 2**20
print("%3s MiB: ours %.3f s, curl %.3f s, time ratio %.2f (goal <= 1.2); "
      "peak working set %.0f MiB = %.2f x body (%.0f MiB before the download; "
      "goal <= %.0f MiB: %s)"
      % (mib, ours, curl, ours / curl, peak / 2**20, peak / body, base / 2**20,
         limit / 2**20, "met" if peak <= limit else "MISSED"))
EOF
    if [ "$mib" = 64 ]; then
        # For comparison: the client with the 4096-byte receives of a default record.
        "$QV_WINE" "$exe" "$url" "$target_windows" 4096 </dev/null >"$work/block.log" 2>&1 || true
        seconds=$(grep -o 'seconds=[0-9.]*' "$work/block.log" | cut -d= -f2)
        echo "        (the same through the client with 4096-byte receives: ${seconds:-failed} s)"
    fi
done

# Over TLS: the same client and curl, from the same nginx.
for mib in $tls_sizes; do
    url="https://localhost:$tls_port/f$mib.bin"
    time_rounds "$mib over TLS" "$url" --cacert "$work/tls/authority.pem"
    [ -n "$best_ours" ] || continue
    python3 -c "
ours, curl = $best_ours, $best_curl
print('%3s MiB over TLS: ours %.3f s, curl %.3f s, time ratio %.2f (goal <= 1.3: %s)'
      % ('$mib', ours, curl, ours / curl, 'met' if ours / curl <= 1.3 else 'MISSED'))"
done
exit "$status"
