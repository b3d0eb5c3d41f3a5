#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"

packages=(
    mingw-w64 g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    clang lld  # the second compiler of the same target (cmake/mingw-w64-x86_64-clang.cmake)
    wine wine64 xvfb xauth
    libgnutls30  # Wine's bcrypt loads it for ECDSA keys: without it release signatures cannot be checked
    googletest cmake ninja-build
    nginx-light curl unzip python3
    openssl  # checks release signatures independently of Windows in the tests
    python3-cryptography  # the throwaway certificate authority of the TLS tests
    tinyproxy  # the real proxy of the proxy tests (started by them on 127.0.0.1)
    dpkg-dev clang-format git
    fonts-wqy-microhei  # Chinese texts in screenshots of the tray (tools/tray_screenshot.sh)
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

apt_updated=0
apt_update() {
    if [ "$apt_updated" -eq 0 ]; then
        "${sudo_cmd[@]}" apt-get update -qq
        apt_updated=1
    fi
}

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

# The registry this machine installs from: the first apt source of type $1 ("deb" or
# "deb-src") for suite $2 with the main component, as "URI<TAB>Signed-By" (Signed-By may
# be empty). Reads deb822 .sources files and one-line .list entries; prints nothing
# when there is none.
apt_source() {
    local type=$1 suite=$2 file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v type="$type" -v suite="$suite" '
            BEGIN { RS = ""; FS = "\n" }
            {
                types = ""; uris = ""; suites = ""; comps = ""; signed = ""; enabled = "yes"
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^[ \t]*#/ || index($i, ":") == 0) continue
                    key = tolower(substr($i, 1, index($i, ":") - 1))
                    value = substr($i, index($i, ":") + 1)
                    gsub(/^[ \t]+|[ \t]+$/, "", value)
                    if (key == "types") types = value
                    else if (key == "uris") uris = value
                    else if (key == "suites") suites = value
                    else if (key == "components") comps = value
                    else if (key == "signed-by") signed = value
                    else if (key == "enabled") enabled = tolower(value)
                }
                if (enabled == "no" || (" " types " ") !~ (" " type " ")) next
                if ((" " suites " ") !~ (" " suite " ") || (" " comps " ") !~ / main /) next
                split(uris, uri, /[ \t]+/)
                print uri[1] "\t" signed
                exit
            }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v type="$type" -v suite="$suite" '
            $1 != type { next }
            {
                signed = ""; i = 2
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /^\[?signed-by=/) { signed = $i; sub(/^\[?signed-by=/, "", signed); sub(/\]$/, "", signed) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                if ($(i + 1) != suite) next
                for (c = i + 2; c <= NF; c++) if ($c == "main") { print $i "\t" signed; exit }
            }' "$file"
    done
}

# The deb-src entry for the registry and suite the binary packages come from, written
# once when the machine has none.
deb_src_ready=0
ensure_deb_src() {
    [ "$deb_src_ready" -eq 0 ] || return 0
    local suite source uri signed
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if [ -z "$(apt_source deb-src "$suite" | head -n 1)" ]; then
        source=$(apt_source deb "$suite" | head -n 1)
        if [ -z "$source" ]; then
            echo "setup: no apt source for Debian $suite (main) in /etc/apt; cannot add the" \
                "deb-src entry for Debian's source packages. Configure the registry this" \
                "machine installs from and run again." >&2
            exit 1
        fi
        uri=${source%%$'\t'*}
        signed=${source#*$'\t'}
        case $signed in /*) ;; *) signed= ;; esac  # a key file, not an inline key block
        {
            printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$uri" "$suite"
            if [ -n "$signed" ]; then printf 'Signed-By: %s\n' "$signed"; fi
        } | "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/qvupdate-deb-src.sources >/dev/null
        apt_updated=0
    fi
    apt_update
    deb_src_ready=1
}

# Unpacks Debian's source package $1 into .deps/ unless $2 (a glob under .deps/)
# already exists, then checks that it does.
unpack_source() {
    local package=$1 marker=$2
    if ls -d "$deps"/$marker >/dev/null 2>&1; then return 0; fi
    ensure_deb_src
    mkdir -p "$deps"
    (cd "$deps" && apt-get source -qq --download-only "$package" >/dev/null 2>&1 &&
        dpkg-source -x "$package"_*.dsc >/dev/null 2>&1)
    if ! ls -d "$deps"/$marker >/dev/null 2>&1; then
        echo "setup: Debian's $package source package has no $marker" >&2
        exit 1
    fi
}

# minizip has no MinGW package: its unzip module is compiled by our CMake from the
# sources in Debian's zlib source package.
unpack_source zlib 'zlib-*/contrib/minizip'
# Neither has zstd: its library (lib/) is compiled by our CMake from Debian's zstd
# source package, the compressor and decompressor that delta patches use.
unpack_source libzstd 'libzstd-*/lib/zstd.h'
echo "setup: ready"
