#!/usr/bin/env bash
# Fails when a tracked C++ file includes a folder of ours that its own folder may not
# include. The table is the layout the README describes: each folder may include
# itself and what its line names (a folder, or one header by its path). tests/ and
# bench/ may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
    [win]=""
    [http]="win"
    [archive]="win"
    [trust]="win"
    [delta]="win"
    # The configuration reader lives with the shell; the engine reads its settings.
    [update]="win http archive trust delta app/config.h"
    [app]="win http archive trust update res"
    [res]=""
    # The publisher shares the updater's names, lists and version reading, its URL
    # rules (to check the base URL as a fetch would parse it) and the default URL.
    [tools/publish]="win archive trust delta update/file_names.h update/file_list.h
                     update/text_line_file.h update/version_check.h update/delta_manifest.h
                     http/url.h app/config.h"
)
# Folders of ours: an include that starts with one of these names one of them.
ours='^(win|http|archive|trust|delta|update|app|res|tools|tests|bench)/'

# The folder whose rule applies to a file, or nothing for an unchecked file.
rule_folder() {
    case "$1" in
        tools/publish/*) echo tools/publish ;;
        tests/* | bench/* | tools/*) ;;
        */*) echo "${1%%/*}" ;;
    esac
}

violations=0
checked=0
while IFS= read -r file; do
    folder=$(rule_folder "$file")
    [[ -n "$folder" ]] || continue
    checked=$((checked + 1))
    while IFS=: read -r line target; do
        [[ "$target" =~ $ours ]] || continue
        [[ "$target" == "$folder"/* ]] && continue
        ok=0
        for entry in ${allowed[$folder]-}; do
            if [[ "$target" == "$entry" || "$target" == "$entry"/* ]]; then
                ok=1
                break
            fi
        done
        if ((ok == 0)); then
            echo "$file:$line: $folder/ may not include \"$target\""
            violations=$((violations + 1))
        fi
    done < <(awk '/^[[:space:]]*#[[:space:]]*include[[:space:]]+"/ {
                     target = $0; sub(/^[^"]*"/, "", target); sub(/".*/, "", target)
                     print FNR ":" target }' "$file")
done < <(git ls-files '*.cpp' '*.h' '*.rc')

if ((violations > 0)); then
    echo "includes: $violations include(s) break the layout ($checked files checked)"
    exit 1
fi
echo "includes: $checked files follow the layout"
