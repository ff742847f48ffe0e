#!/usr/bin/env bash
# Runs the main-window test under wine on two virtual screens (1920x1080 and
# 3840x2160, both 96 DPI) with the private sound server, and keeps a
# screenshot of the window from the first as an artifact.
#   run_gui_window_test.sh GUI_WINDOW_TEST_EXE ARTIFACT_DIR
set -euo pipefail
EXE="$1"
ARTIFACTS="$2"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
export WINEPREFIX="${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG=-all
mkdir -p "$ARTIFACTS"

# shellcheck source=../../../scripts/lib/services.sh
. "$ROOT/scripts/lib/services.sh"
cleanup() {
    "$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
    kestrune_stop_services
}
trap cleanup EXIT
# A wine session left from a run without this display cannot open windows here.
"$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
"$ROOT/scripts/wine-root.sh" wineserver -w >/dev/null 2>&1 || true
kestrune_start_sound_server

status=0
run_on() {
    local size="$1" scale="$2" shot="$3"
    kestrune_start_display "$size"
    local shots
    shots="$(mktemp -d /tmp/kestrune-shot.XXXXXX)"
    KESTRUNE_EXPECT_SCALE="$scale" KESTRUNE_SHOT_DIR="$shots" WINEDEBUG=-all \
        "$ROOT/scripts/wine-run.sh" "$EXE" &
    local pid=$!
    if [ -n "$shot" ]; then
        for _ in $(seq 1 300); do
            [ -f "$shots/ready" ] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.2
        done
        if [ -f "$shots/ready" ]; then
            local id
            id="$(xdotool search --onlyvisible --name '^Kestrune$' | head -n 1 || true)"
            if [ -n "$id" ]; then
                import -window "$id" "$shot" || import -window root "$shot"
            else
                import -window root "$shot"
            fi
            echo "screenshot: $shot"
        fi
    fi
    touch "$shots/done"
    wait "$pid" || status=1
    rm -rf "$shots"
    "$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
    # A fresh display for the next size.
    kill "$KESTRUNE_XVFB_PID" 2>/dev/null || true
    wait "$KESTRUNE_XVFB_PID" 2>/dev/null || true
    KESTRUNE_XVFB_PID=""
}

run_on 1920x1080x24 1.0 "$ARTIFACTS/window.png"
# 3800 / 1920 and 2060 / 1080: the screen, not the DPI, sets the scale here.
run_on 3840x2160x24 1.9074 ""
exit "$status"
