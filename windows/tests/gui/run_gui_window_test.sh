#!/usr/bin/env bash
# Runs the main-window test under wine on two virtual screens (1920x1080 and
# 3840x2160, both 96 DPI) with the private sound server, plays a tone into the
# default output while the test asks for it, and keeps a screenshot of the
# window recording from the first as an artifact.
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
    rm -f "${TONE:-}"
}
trap cleanup EXIT
# A wine session left from a run without this display cannot open windows here.
"$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
"$ROOT/scripts/wine-root.sh" wineserver -w >/dev/null 2>&1 || true
kestrune_start_sound_server

# A 440 Hz tone at a quarter of full scale: -12.04 dBFS.
TONE="$(mktemp /tmp/kestrune-tone.XXXXXX.wav)"
sox -n -r 48000 -c 2 -b 16 "$TONE" synth 120 sine 440 vol 0.25
TONE_DBFS=-12.04

status=0
run_on() {
    local size="$1" scale="$2" shot="$3"
    kestrune_start_display "$size"
    local shots
    shots="$(mktemp -d /tmp/kestrune-shot.XXXXXX)"
    KESTRUNE_EXPECT_SCALE="$scale" KESTRUNE_SHOT_DIR="$shots" KESTRUNE_TONE_DBFS="$TONE_DBFS" \
        WINEDEBUG=-all "$ROOT/scripts/wine-run.sh" "$EXE" &
    local pid=$!
    local player="" shot_taken=""
    # The test asks through marker files; this answers until it ends.
    while kill -0 "$pid" 2>/dev/null; do
        if [ -f "$shots/tone-on" ] && [ ! -f "$shots/tone-off" ] && [ -z "$player" ]; then
            paplay -d spk "$TONE" 2>/dev/null &
            player=$!
        fi
        if [ -f "$shots/tone-off" ] && [ -n "$player" ]; then
            kill "$player" 2>/dev/null || true
            wait "$player" 2>/dev/null || true
            player=""
        fi
        if [ -f "$shots/ready" ] && [ -z "$shot_taken" ]; then
            shot_taken=1
            if [ -n "$shot" ]; then
                local id
                id="$(xdotool search --onlyvisible --name '^Kestrune$' | head -n 1 || true)"
                if [ -n "$id" ]; then
                    import -window "$id" "$shot" || import -window root "$shot"
                else
                    import -window root "$shot"
                fi
                echo "screenshot: $shot"
            fi
            touch "$shots/done"
        fi
        sleep 0.1
    done
    if [ -n "$player" ]; then
        kill "$player" 2>/dev/null || true
        wait "$player" 2>/dev/null || true
    fi
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
