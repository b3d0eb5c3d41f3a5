#!/usr/bin/env bash
# Runs the release publisher (qvpublish.exe) under Wine with Linux paths:
#
#   tools/publish.sh publish RELEASE SERVER [options] [--sign PRIVATE_FILE ...
#                                                     [--delta-from OLD_RELEASE ...]]
#   tools/publish.sh check SERVER [--installed FOLDER] [--key PUBLIC_FILE]
#                                 [--delta-from OLD_RELEASE ...] [options]
#   tools/publish.sh keygen --private FILE --public FILE
#   tools/publish.sh --help
#
# Path arguments (RELEASE, SERVER, --installed, --delta-from, and the key files of
# --sign, --key, --private and --public) are Linux paths and are converted to the Windows paths Wine
# sees; every other argument passes unchanged (--install-dir names a folder on the
# users' Windows machines, not here). The exit code is the
# publisher's. Uses the build in build/ (or $QV_BUILD_DIR) and its Wine prefix.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
exe=$build/tools/publish/qvpublish.exe
if [ ! -f "$exe" ]; then
    echo "publish.sh: $exe is not built; run tools/setup.sh && tools/build.sh" >&2
    exit 1
fi
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
# shellcheck source=../cmake/wine-env.sh
. "$top/cmake/wine-env.sh"
qv_wine_prefix_ready

# Wine's drive Z: is the Linux root in every prefix it creates; check rather than assume.
if [ "$(readlink "$WINEPREFIX/dosdevices/z:" || true)" != "/" ]; then
    echo "publish.sh: drive Z: of $WINEPREFIX is not /; cannot convert paths" >&2
    exit 1
fi
to_windows() {
    local full
    full=$(realpath -m -- "$1")
    printf 'Z:%s' "${full//\//\\}"
}

args=()
positional=0
expect_path=0
for arg in "$@"; do
    if [ "$expect_path" -eq 1 ]; then
        args+=("$(to_windows "$arg")")
        expect_path=0
        continue
    fi
    case "$arg" in
        --installed|--sign|--key|--private|--public|--delta-from) args+=("$arg"); expect_path=1 ;;
        --installed=*|--sign=*|--key=*|--private=*|--public=*|--delta-from=*)
            args+=("${arg%%=*}=$(to_windows "${arg#*=}")") ;;
        --*|-h|/\?) args+=("$arg") ;;
        *)
            # The first word is the command; the rest of the words are folders, except
            # the values of options that take one.
            if [[ "${prev:-}" =~ ^--(version|zip|zip-above|level|install-dir|base-url|sequence|expires)$ ]]; then
                args+=("$arg")
            elif [ "$positional" -eq 0 ]; then
                args+=("$arg")
                positional=1
            else
                [ "$positional" -eq 1 ] && release=$arg
                args+=("$(to_windows "$arg")")
                positional=$((positional + 1))
            fi
            ;;
    esac
    prev=$arg
done

# Wine cannot show a Linux file whose name holds a backslash: it would be left out.
if [ "${1:-}" = publish ] && [ -n "${release:-}" ]; then
    odd=$(find "$release" -name '*\\*' -print 2>/dev/null | head -5)
    if [ -n "$odd" ]; then
        echo "error: names with a backslash cannot be published (Windows has no such names):" >&2
        echo "$odd" >&2
        exit 2
    fi
fi

# On a terminal the progress line shows live. Otherwise the output goes through files:
# Wine's background processes would hold a pipe open after the program has ended.
if [ -t 1 ] && [ -t 2 ]; then
    exec "$QV_WINE" "$exe" "${args[@]}"
fi
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
rc=0
if [ "$(readlink /proc/self/fd/1)" = "$(readlink /proc/self/fd/2)" ]; then
    # One destination for both: keep the messages in their order.
    "$QV_WINE" "$exe" "${args[@]}" </dev/null >"$out" 2>&1 || rc=$?
    cat "$out"
else
    "$QV_WINE" "$exe" "${args[@]}" </dev/null >"$out" 2>"$err" || rc=$?
    cat "$out"
    cat "$err" >&2
fi
exit "$rc"
