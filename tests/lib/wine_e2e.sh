# Shared start-up and clean-up of the end-to-end scripts that run the program
# under wine against a private display and sound server. Source it after
# setting ROOT, then call e2e_begin.
# shellcheck shell=bash

# shellcheck source=../../scripts/lib/services.sh
. "$ROOT/scripts/lib/services.sh"

# shellcheck disable=SC2034  # for the scripts that source this
BIN="$ROOT/build/windows/bin"
EXE="$BIN/kestrune.exe"
# shellcheck disable=SC2034
WATCH="$BIN/dialog_watch.exe"
export WINEPREFIX="${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG=-all
failures=0
E2E_NAME=""
# Background loops (tone players, feeders) stopped at the end, with what they started.
E2E_BACKGROUND=()

e2e_stop_background() {
    for p in "${E2E_BACKGROUND[@]}"; do
        kill "$p" 2>/dev/null || true
        pkill -P "$p" 2>/dev/null || true
    done
    E2E_BACKGROUND=()
}

e2e_cleanup() {
    e2e_stop_background
    "$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
    kestrune_stop_services
    [ -n "${KESTRUNE_KEEP_WORK:-}" ] || rm -rf "$WORK"
}

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

win_path() { "$ROOT/scripts/wine-root.sh" winepath -w "$1" 2>/dev/null; }

# e2e_begin NAME TOOL...: checks the Windows build's tools are there, makes
# WORK, and starts a fresh wine session (one left from a run without this
# display cannot open windows here) with the display and the sound server.
e2e_begin() {
    E2E_NAME="$1"
    shift
    for tool in "$@"; do
        [ -f "$tool" ] || { echo "$E2E_NAME: $tool is missing; build the Windows tree" >&2; exit 1; }
    done
    WORK="$(mktemp -d "/tmp/kestrune-$E2E_NAME.XXXXXX")"
    trap e2e_cleanup EXIT
    "$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
    "$ROOT/scripts/wine-root.sh" wineserver -w >/dev/null 2>&1 || true
    kestrune_start_display
    kestrune_start_sound_server
}

# e2e_watch_boxes: records in WORK/boxes.txt the text of every message box
# the program shows, for check_boxes and record.
e2e_watch_boxes() {
    "$ROOT/scripts/wine-run.sh" "$WATCH" >"$WORK/boxes.txt" 2>/dev/null &
    WATCH_PID=$!
    E2E_BACKGROUND+=("$WATCH_PID")
}

# check_boxes NAME: fails NAME with the text of any message box that appeared.
check_boxes() {
    if [ -s "$WORK/boxes.txt" ]; then
        fail "$1: a message box appeared: $(cat "$WORK/boxes.txt")"
        : >"$WORK/boxes.txt"
    fi
}

# record NAME ARGS...: a timed run into WORK/NAME that must end by itself,
# with exit code 0 and without a message box.
record() {
    local name="$1"
    shift
    mkdir -p "$WORK/$name"
    set +e
    timeout 180 "$ROOT/scripts/wine-run.sh" "$EXE" "$@" --output "$(win_path "$WORK/$name")" \
        >"$WORK/$name.out" 2>"$WORK/$name.err"
    local rc=$?
    set -e
    [ "$rc" = 0 ] || fail "$name: exit code $rc; stderr: $(cat "$WORK/$name.err")"
    check_boxes "$name"
}

# e2e_end: the verdict, as the exit status.
e2e_end() {
    if [ "$failures" -gt 0 ]; then
        echo "$E2E_NAME: $failures check(s) failed" >&2
        exit 1
    fi
    echo "$E2E_NAME: all checks passed"
}
