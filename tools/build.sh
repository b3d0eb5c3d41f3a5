#!/usr/bin/env bash
# Configures and builds the Windows binaries.
#
#   tools/build.sh         GCC, the build that ships: into build/ (or $QV_BUILD_DIR)
#   tools/build.sh clang   clang, every target again: into build-clang/ (or
#                          $QV_CLANG_BUILD_DIR); its tests share the GCC tree's Wine prefix
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
case "${1:-gcc}" in
    gcc)
        toolchain=$top/cmake/mingw-w64-x86_64.cmake
        extra=()
        ;;
    clang)
        toolchain=$top/cmake/mingw-w64-x86_64-clang.cmake
        extra=(-DQV_WINEPREFIX="$build/wineprefix")
        build=${QV_CLANG_BUILD_DIR:-$top/build-clang}
        ;;
    *)
        echo "usage: tools/build.sh [gcc|clang]" >&2
        exit 2
        ;;
esac
# Configure every time: a configured tree makes this quick. Its output is shown only
# when it fails, and then in full.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release "${extra[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    echo "build: configuring $build failed" >&2
    exit 1
fi
cmake --build "$build" -- -j"$(nproc)"
