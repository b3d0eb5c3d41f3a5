# Sourced by the scripts that run Windows programs: one place for the Wine settings.
# Needs WINEPREFIX; defines QV_WINE, QV_WINESERVER, qv_wine_prefix_ready and the
# persistent server's qv_wineserver_start and qv_wineserver_stop.

: "${WINEPREFIX:?WINEPREFIX must name the private prefix of the build tree}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

if [ -x /usr/lib/wine/wine64 ]; then
    QV_WINE=/usr/lib/wine/wine64
else
    QV_WINE=$(command -v wine64 || command -v wine || true)
fi
QV_WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export QV_WINE QV_WINESERVER

# Runs a trivial Windows command; fails loudly when Wine cannot start. Output goes
# through a file, not a pipe: Wine's background processes inherit the descriptors
# and would hold a pipe open.
qv_wine_smoke_test() {
    local out
    out=$(mktemp)
    "$QV_WINE" cmd /c echo qv-wine-ok </dev/null >"$out" 2>&1
    if ! grep -q qv-wine-ok "$out"; then
        echo "wine-env: Wine does not start in $WINEPREFIX:" >&2
        cat "$out" >&2
        rm -f "$out"
        return 1
    fi
    rm -f "$out"
}

# One persistent wineserver for this prefix while the calling shell runs, so that every
# program starts against a warm server, ended (for this prefix only) when the shell
# exits. A server that the prefix creation left behind is waited out first, or -p
# would find it running. A caller with an EXIT trap of its own calls
# qv_wineserver_stop from it.
qv_wineserver_start() {
    "$QV_WINESERVER" -w </dev/null >/dev/null 2>&1 || true
    "$QV_WINESERVER" -p </dev/null >/dev/null 2>&1
    trap qv_wineserver_stop EXIT
}

qv_wineserver_stop() {
    "$QV_WINESERVER" -k </dev/null >/dev/null 2>&1 || true
}

# Creates the prefix on first use (several tests may race for it, hence the lock)
# and turns off the crash dialog so that a crash cannot hang a run.
qv_wine_prefix_ready() {
    if [ -z "$QV_WINE" ]; then
        echo "wine-env: no Wine found; run tools/setup.sh" >&2
        return 1
    fi
    if [ -f "$WINEPREFIX/.qv-ready" ]; then
        return 0
    fi
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.qv-ready" ]; then
            echo "wine-env: creating Wine prefix $WINEPREFIX" >&2
            "$QV_WINE" wineboot -i </dev/null >/dev/null 2>&1
            "$QV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
                </dev/null >/dev/null 2>&1
            qv_wine_smoke_test || exit 1
            touch "$WINEPREFIX/.qv-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
}
