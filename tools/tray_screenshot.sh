#!/usr/bin/env bash
# Photographs the tray icon with its first balloon as Wine shows them under Xvfb,
# into docs/tray.png (or the path given). Runs the main window in the test binary
# with a worker that stays busy, since a real run closes before Wine's tray gets
# round to showing a balloon.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/docs/tray.png}
build=${QV_BUILD_DIR:-$top/build}
"$top/tools/build.sh" >/dev/null
if ! fc-list 2>/dev/null | grep -q "WenQuanYi Micro Hei"; then
    echo "tray_screenshot: no CJK font for the balloon texts; run tools/setup.sh" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/fb"
# A prefix of its own: the font settings below are for the picture only.
export WINEPREFIX="$build/screenshot-wineprefix"
export QV_TOP="$top" QV_BUILD="$build" QV_WORK="$work"

xvfb-run -a -s "-screen 0 800x600x24 -fbdir $work/fb" bash -c '
    set -euo pipefail
    . "$QV_TOP/cmake/wine-env.sh"
    qv_wine_prefix_ready
    qv_wineserver_start
    # Chinese texts in the balloon: link a free CJK font to the interface fonts.
    for face in Tahoma "MS Shell Dlg" "Microsoft Sans Serif"; do
        "$QV_WINE" reg add "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink" \
            /v "$face" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
    done
    export QV_SCREENSHOT_READY=$(winepath -w "$QV_WORK/ready" 2>/dev/null)
    export QV_SCREENSHOT_DONE=$(winepath -w "$QV_WORK/done" 2>/dev/null)
    "$QV_WINE" "$QV_BUILD/tests/app/app_tests.exe" --gtest_also_run_disabled_tests \
        --gtest_filter="*DISABLED_HoldsTheFirstBalloonForAScreenshot" \
        </dev/null >"$QV_WORK/test.log" 2>&1 &
    test_pid=$!
    for _ in $(seq 300); do
        [ -f "$QV_WORK/ready" ] && break
        sleep 0.1
    done
    sleep 0.5  # let the balloon finish drawing
    cp "$QV_WORK/fb/Xvfb_screen0" "$QV_WORK/screen.xwd"
    touch "$QV_WORK/done"
    wait "$test_pid" || { cat "$QV_WORK/test.log" >&2; exit 1; }
'
[ -s "$work/ready" ] || { echo "tray_screenshot: the balloon never showed" >&2; exit 1; }
read -r left top_edge right bottom <"$work/ready"
python3 "$top/tools/xwd_to_png.py" "$work/screen.xwd" "$out" "$left" "$top_edge" "$right" "$bottom"
echo "tray_screenshot: wrote $out"
