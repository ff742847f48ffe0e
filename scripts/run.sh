#!/usr/bin/env bash
# Builds the Windows program and runs kestrune.exe under wine with the given
# options, for example:  scripts/run.sh --duration 10 --output ~/takes
# Uses this machine's display and sound server when they are reachable, and
# otherwise a private virtual display and sound server for the run.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_LOG="$(mktemp /tmp/kestrune-run-build.XXXXXX)"
if ! "$ROOT/scripts/build.sh" windows >"$BUILD_LOG" 2>&1; then
    cat "$BUILD_LOG" >&2
    rm -f "$BUILD_LOG"
    echo "run.sh: the build failed" >&2
    exit 1
fi
rm -f "$BUILD_LOG"

export WINEPREFIX="${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"

# shellcheck source=lib/services.sh
. "$ROOT/scripts/lib/services.sh"
trap kestrune_stop_services EXIT
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    echo "run.sh: no display reachable; starting a virtual one" >&2
    kestrune_start_display
fi
if ! pactl info >/dev/null 2>&1; then
    echo "run.sh: no sound server reachable; starting a private one" >&2
    kestrune_start_sound_server
fi

# Wine reads a Unix absolute path as a path on the current drive; the Windows
# form of it names the same folder from any drive. Values are found as the
# program's parser finds them: the argument after a value-taking option.
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        -o | --output)
            args+=("$1")
            shift
            [ $# -gt 0 ] || break
            if [[ "$1" == /* ]]; then
                args+=("$("$ROOT/scripts/wine-root.sh" winepath -w "$1" 2>/dev/null)")
            else
                args+=("$1")
            fi
            ;;
        -d | --duration | --format)
            args+=("$1")
            shift
            [ $# -gt 0 ] || break
            args+=("$1")
            ;;
        *)
            args+=("$1")
            ;;
    esac
    shift
done

set +e
"$ROOT/scripts/wine-run.sh" "$ROOT/build/windows/bin/kestrune.exe" "${args[@]}"
status=$?
set -e
# Let wine's helper processes leave the private display before it goes.
if [ -n "$KESTRUNE_XVFB_PID" ]; then
    timeout 20 "$ROOT/scripts/wine-root.sh" wineserver -w 2>/dev/null || true
fi
exit $status
