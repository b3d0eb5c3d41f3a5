#!/usr/bin/env bash
# Extraction of one large deflated item: the reader under Wine against Info-ZIP's
# "unzip -p archive > /dev/null" on the same archive in the same run (five rounds each),
# and the reader's peak working set for a 64 MiB and a 256 MiB item. The reader's time is
# measured inside its process (open, extract, close), without Wine's start-up.
set -euo pipefail
. "$QV_SOURCE_DIR/cmake/wine-env.sh"
qv_wine_prefix_ready

work=$(mktemp -d /tmp/qv_bench_extract.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Text-like bytes (words and numbers, about 3:1 under deflate), in one item each.
python3 - "$work" <<'PY'
import random, sys, zipfile
words = [b"the ", b"reader ", b"page ", b"chapter ", b"book ", b"of ", b"and ", b"update ",
         b"light ", b"night ", b"line ", b"\n", b"word ", b"story ", b"turns "]
rng = random.Random(7)
block = bytearray()
while len(block) < 4 << 20:
    block += rng.choice(words)
    if rng.random() < 0.15:
        block += str(rng.randrange(1000)).encode()
block = bytes(block[:4 << 20])
for mib in (64, 256):
    with zipfile.ZipFile(f"{sys.argv[1]}/item_{mib}.zip", "w", zipfile.ZIP_DEFLATED,
                         compresslevel=6) as archive:
        with archive.open("item.bin", "w") as item:
            for i in range(mib // 4):
                # A different rotation per block, so that no two blocks are alike.
                shift = (i * 7919) % len(block)
                item.write(block[shift:] + block[:shift])
PY

now() { date +%s.%N; }
exe="$QV_BUILD_DIR/bench/extract/bench_extract.exe"
# Prints "seconds working-set-before peak-working-set" (KiB) of one extraction.
run_reader() {
    local mib=$1 out="$work/reader.txt"
    # Output through a file: Wine's background processes would hold a pipe open.
    "$QV_WINE" "$exe" "$(winepath -w "$work/item_$mib.zip" 2>/dev/null)" \
        "$(winepath -w "$work/out_$mib.bin" 2>/dev/null)" 1 </dev/null >"$out" 2>&1
    tail -n 1 "$out" | tr -d '\r'
}
read -r _ _ peak64 <<<"$(run_reader 64)"
# The machine is shared: both extractors take turns, five rounds each.
unzip_times=() reader_times=()
for round in 1 2 3 4 5; do
    start=$(now)
    unzip -p "$work/item_256.zip" >/dev/null
    unzip_times+=("$(awk -v a="$(now)" -v b="$start" 'BEGIN { print a - b }')")
    read -r seconds ws_before peak256 <<<"$(run_reader 256)"
    reader_times+=("$seconds")
done
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
median() { printf '%s\n' "$@" | sort -g | sed -n 3p; }
cmp -s <(unzip -p "$work/item_256.zip") "$work/out_256.bin" || echo "EXTRACTED DATA DIFFERS"
compressed=$(stat -c %s "$work/item_256.zip")

printf 'archive: 256 MiB item, %d MiB compressed\n' $((compressed >> 20))
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf 'unzip -p > /dev/null: best %.3f s, median %.3f s\n' "$(best "${unzip_times[@]}")" \
    "$(median "${unzip_times[@]}")"
printf 'reader to a file under Wine: best %.3f s, median %.3f s\n' "$(best "${reader_times[@]}")" \
    "$(median "${reader_times[@]}")"
printf 'time ratio reader/unzip: %s on the best times, %s on the medians (goal <= 1.2)\n' \
    "$(ratio "$(best "${reader_times[@]}")" "$(best "${unzip_times[@]}")")" \
    "$(ratio "$(median "${reader_times[@]}")" "$(median "${unzip_times[@]}")")"
printf 'reader working set: %d KiB before the open; peak %d KiB with a 64 MiB item, %d KiB with a 256 MiB item (ratio %s)\n' \
    "$ws_before" "$peak64" "$peak256" "$(ratio "$peak256" "$peak64")"
