#!/usr/bin/env bash
# Delta patches against full files (tools/bench.sh delta). The real pair of binaries:
# update.exe and qvpublish.exe built from the commit 20 first-parent commits before
# HEAD (exported with git archive and built once into the build tree) against this
# tree's; then a 20 MB data set with 1% of its bytes changed, and a 1 GiB output for
# the applier's speed and memory; last, the whole update through the latency proxy at
# 80 ms, full files against patches, of the pair and of the pair with the data set
# (bench_delta_update.py).
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
back=${QV_BENCH_DELTA_BACK:-20}
old_commit=$(git -C "$QV_SOURCE_DIR" rev-parse "HEAD~$back")
old=$QV_BUILD_DIR/bench/delta/old-${old_commit:0:12}
if [ ! -f "$old/build/app/update.exe" ] || [ ! -f "$old/build/tools/publish/qvpublish.exe" ]; then
    echo "building update.exe and qvpublish.exe of ${old_commit:0:12} (HEAD~$back)"
    rm -rf "$QV_BUILD_DIR"/bench/delta/old-*  # the pair of an earlier HEAD
    mkdir -p "$old/src"
    git -C "$QV_SOURCE_DIR" archive "$old_commit" | tar -x -C "$old/src"
    ln -s "$QV_SOURCE_DIR/.deps" "$old/src/.deps"
    cmake -S "$old/src" -B "$old/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$old/src/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >"$old/configure.log" 2>&1
    cmake --build "$old/build" --target update qvpublish -- -j2 >"$old/build.log" 2>&1
fi
# Both sides as they ship, without symbol tables: trees before the link dropped them
# built theirs with one.
x86_64-w64-mingw32-strip "$old/build/app/update.exe" "$old/build/tools/publish/qvpublish.exe"
qv_wine_prefix_ready
win() { winepath -w "$1" 2>/dev/null; }
echo "pair: update.exe and qvpublish.exe of ${old_commit:0:12} (HEAD~$back) -> this tree"
out=$(mktemp)
data=$(mktemp -d)  # the data set, kept for the whole update
trap 'rm -rf "$out" "$data"' EXIT
"$QV_WINE" "$QV_BUILD_DIR/bench/delta/bench_delta.exe" --data-dir "$(win "$data")" \
    "$(win "$old/build/app/update.exe")" "$(win "$QV_BUILD_DIR/app/update.exe")" \
    "$(win "$old/build/tools/publish/qvpublish.exe")" \
    "$(win "$QV_BUILD_DIR/tools/publish/qvpublish.exe")" </dev/null >"$out" 2>&1 || status=$?
cat "$out"
# The whole update through the latency proxy, full files against patches: the pair,
# then the pair and the data set.
qv_wineserver_start
PYTHONDONTWRITEBYTECODE=1 python3 "$QV_SOURCE_DIR/bench/delta/bench_delta_update.py" \
    "$old/build/app/update.exe" "$old/build/tools/publish/qvpublish.exe" \
    "$data/data.old" "$data/data.new" || status=$?
exit "${status:-0}"
