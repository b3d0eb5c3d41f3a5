#!/usr/bin/env bash
# Configures and builds the Windows binaries into build/ (or $QV_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
# Configure every time: folders are picked up when they appear, and a configured
# tree makes this quick.
cmake -S "$top" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -- -j"$(nproc)"
