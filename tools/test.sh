#!/usr/bin/env bash
# The test command: set-up, both builds (GCC, which ships, and clang), every test of
# the GCC build and the GoogleTest binaries of the clang build, under Wine and Xvfb.
# Arguments go to ctest, e.g. tools/test.sh -R update_tests
set -euo pipefail
trap 'echo "$(basename "$0"): failed at line $LINENO: $BASH_COMMAND" >&2' ERR
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
"$top/tools/build.sh"
"$top/tools/build.sh" clang
build=${QV_BUILD_DIR:-$top/build}
export QV_CLANG_BUILD_DIR=${QV_CLANG_BUILD_DIR:-$top/build-clang}
exec xvfb-run -a -s "-screen 0 1024x768x24" "$top/tools/run-tests.sh" "$build" "$@"
