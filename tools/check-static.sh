#!/usr/bin/env bash
# Fails when a shipped binary imports a DLL that is not part of Windows (a MinGW
# runtime, zlib, ...): update.exe must run alone beside qvreader.exe.
#   check-static.sh file.exe...
set -euo pipefail
system_dlls=' advapi32.dll bcrypt.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll psapi.dll shell32.dll shlwapi.dll urlmon.dll user32.dll version.dll ws2_32.dll '
status=0
for binary in "$@"; do
    while read -r dll; do
        if [[ "$system_dlls" != *" ${dll,,} "* ]]; then
            echo "$binary imports $dll, which is not a Windows DLL" >&2
            status=1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$binary" | awk '/DLL Name:/ {print $3}')
done
[ "$status" -eq 0 ] && echo "static: $* import only Windows DLLs"
exit "$status"
