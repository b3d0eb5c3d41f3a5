#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"

packages=(
    mingw-w64 g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    wine wine64 xvfb xauth
    libgnutls30  # Wine's bcrypt loads it for ECDSA keys: without it release signatures cannot be checked
    googletest cmake ninja-build
    nginx-light curl unzip python3
    openssl  # checks release signatures independently of Windows in the tests
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

# minizip has no MinGW package: its unzip module is compiled by our CMake from the
# sources in Debian's zlib source package.
if ! ls -d "$deps"/zlib-*/contrib/minizip >/dev/null 2>&1; then
    src_list=/etc/apt/sources.list.d/qvupdate-deb-src.sources
    if [ ! -f "$src_list" ]; then
        # The same registry and suite as the binary packages come from.
        uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
        suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
        uri=${uri:-http://deb.debian.org/debian}
        printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$uri" "$suite" | "${sudo_cmd[@]}" tee "$src_list" >/dev/null
        apt_updated=0
    fi
    apt_update
    mkdir -p "$deps"
    (cd "$deps" && apt-get source -qq --download-only zlib >/dev/null 2>&1 && dpkg-source -x zlib_*.dsc >/dev/null 2>&1)
    if ! ls -d "$deps"/zlib-*/contrib/minizip >/dev/null 2>&1; then
        echo "setup: the zlib source package has no contrib/minizip" >&2
        exit 1
    fi
fi
echo "setup: ready"
