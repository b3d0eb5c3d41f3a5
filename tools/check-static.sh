#!/usr/bin/env bash
# Fails when a shipped binary imports a DLL that is not part of Windows (a MinGW
# runtime, zlib, ...): update.exe must run alone beside qvreader.exe.
#   check-static.sh [--known-only] file.exe... [--any-windows file.exe...]
# After --known-only, a binary may import the system's known DLLs only: those the
# loader always takes from the system folder. Any other import is resolved by the
# ordinary search order, the program's own folder first, before the program's code
# runs; update.exe runs beside other programs' files and from its download folder,
# so it loads every other DLL itself, from the system folder.
set -euo pipefail
system_dlls=' advapi32.dll bcrypt.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll psapi.dll shell32.dll shlwapi.dll urlmon.dll user32.dll version.dll ws2_32.dll '
# The KnownDLLs list (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs)
# that Windows 7 and Windows 10 both have.
known_dlls=' advapi32.dll clbcatq.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll setupapi.dll shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll '
status=0
allowed=$system_dlls
checked=()
for argument in "$@"; do
    case "$argument" in
        --known-only) allowed=$known_dlls; continue ;;
        --any-windows) allowed=$system_dlls; continue ;;
    esac
    binary=$argument
    checked+=("$binary")
    while read -r dll; do
        if [[ "$allowed" != *" ${dll,,} "* ]]; then
            if [ "$allowed" = "$known_dlls" ]; then
                echo "$binary imports $dll, which is not a known DLL" >&2
            else
                echo "$binary imports $dll, which is not a Windows DLL" >&2
            fi
            status=1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$binary" | awk '/DLL Name:/ {print $3}')
done
[ "$status" -eq 0 ] && echo "static: ${checked[*]} import only the DLLs allowed"
exit "$status"
