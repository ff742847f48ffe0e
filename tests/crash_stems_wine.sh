#!/usr/bin/env bash
# A stem recording killed hard, under wine, in each stems mode: right after the
# kill instructions.txt already holds its lines, and --repair (given the output
# folder, not the session folder) turns every stem into a .wav holding all but
# the last moments of the recording. A tone plays into the default output
# "Speakers", whose monitor is the default input.
# Assumes the Windows build exists (scripts/test.sh builds it first).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/wine_e2e.sh
. "$ROOT/tests/lib/wine_e2e.sh"
e2e_begin crash_stems_wine "$EXE"

sox -n -r 44100 -c 2 -b 16 "$WORK/tone.wav" synth 60 sine 440 vol 0.5
( while true; do paplay -d spk "$WORK/tone.wav" 2>/dev/null || sleep 1; done ) &
E2E_BACKGROUND+=($!)

# crash NAME MODE_FLAG: records for RECORD_SECONDS after the first stem file
# appears, then kills every process of the private prefix.
RECORD_SECONDS=4
crash() {
    local name="$1" flag="$2"
    mkdir -p "$WORK/$name"
    (
        "$ROOT/scripts/wine-run.sh" "$EXE" --mic "$flag" --duration 60 \
            --output "$(win_path "$WORK/$name")" >"$WORK/$name.out" 2>"$WORK/$name.err"
    ) 2>/dev/null &
    local pid=$!
    for _ in $(seq 1 300); do
        [ -n "$(find "$WORK/$name" -mindepth 2 -name '*.recpart' 2>/dev/null)" ] && break
        sleep 0.1
    done
    sleep "$RECORD_SECONDS"
    "$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
    wait "$pid" 2>/dev/null || true
}

seconds() { soxi -D "$1" 2>/dev/null || echo 0; }

for mode in stems stems-silence; do
    crash "$mode" "--$mode"
    session="$(find "$WORK/$mode" -mindepth 1 -maxdepth 1 -type d -name 'recording_*' | head -n 1)"
    if [ -z "$session" ]; then
        fail "$mode: no session folder: $(ls -R "$WORK/$mode")"
        continue
    fi
    mapfile -t parts < <(find "$session" -maxdepth 1 -name '*.recpart' | sort)
    [ "${#parts[@]}" -ge 2 ] || fail "$mode: ${#parts[@]} .recpart files after the kill: $(ls "$session")"

    if [ "$mode" = stems ]; then
        # Read before anything else touches the folder: what the kill left.
        instructions="$session/instructions.txt"
        if [ -f "$instructions" ]; then
            grep -q '^# sample_offset file$' "$instructions" || fail "$mode: instructions.txt has no header"
            # Each segment's offset is where its first frame lies on the
            # recording's timeline, which a device reaches a moment in.
            for stem in loopback mic; do
                grep -qE "^[0-9]+ $stem\$" "$instructions" ||
                    fail "$mode: no line for $stem: $(cat "$instructions")"
            done
        else
            fail "$mode: instructions.txt missing"
        fi
    fi

    set +e
    "$ROOT/scripts/wine-run.sh" "$EXE" --repair --output "$(win_path "$WORK/$mode")" \
        >"$WORK/$mode.repair.out" 2>"$WORK/$mode.repair.err"
    rc=$?
    set -e
    [ "$rc" = 0 ] || fail "$mode repair: exit code $rc"
    [ -s "$WORK/$mode.repair.err" ] && fail "$mode repair: $(cat "$WORK/$mode.repair.err")"
    [ "$(grep -c '^Repaired: ' "$WORK/$mode.repair.out")" = "${#parts[@]}" ] ||
        fail "$mode repair: $(cat "$WORK/$mode.repair.out")"
    [ -z "$(find "$session" -name '*.recpart')" ] || fail "$mode: .recpart files left: $(ls "$session")"

    for part in "${parts[@]}"; do
        wav="${part%.recpart}.wav"
        if [ ! -f "$wav" ]; then
            fail "$mode: $(basename "$wav") missing"
            continue
        fi
        secs="$(seconds "$wav")"
        echo "$mode $(basename "$wav"): $secs s"
        # The stem was recorded for RECORD_SECONDS; under wine a device may
        # deliver a second late, and the kill may cost the last moments.
        python3 -c "import sys; sys.exit(0 if $RECORD_SECONDS - 2.5 <= $secs <= $RECORD_SECONDS + 1.5 else 1)" ||
            fail "$mode: $(basename "$wav") holds $secs s"
        if [ "$(basename "$wav")" = mic.wav ]; then
            peak="$(sox "$wav" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')"
            python3 -c "import sys; sys.exit(0 if abs(${peak:-0} - 0.5) <= 0.05 else 1)" ||
                fail "$mode: mic.wav peaks at $peak, not the tone's 0.5"
        fi
    done
done

e2e_end
