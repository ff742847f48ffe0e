#!/usr/bin/env bash
# End to end under wine, on a virtual display and the private sound server:
# 440 Hz plays into the default output "Speakers" (system audio) and 660 Hz
# into "Headphones", whose monitor is the default input (the microphone).
# Timed recordings from the command line must end by themselves; the mix must
# hold each tone at half its level, each stem its own tone alone at full level;
# a recording killed hard must be repairable. A message box fails the run with
# its text instead of blocking it.
# Assumes the Windows build exists (scripts/test.sh builds it first).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/wine_e2e.sh
. "$ROOT/tests/lib/wine_e2e.sh"
e2e_begin e2e_window "$EXE" "$WATCH"

pactl set-default-source spk2.monitor
# Each tone at half scale, long enough for every run below; played in a loop.
SYSTEM_HZ=440
MIC_HZ=660
play_loop() {
    sox -n -r 44100 -c 2 -b 16 "$WORK/$2.wav" synth 60 sine "$2" vol 0.5
    while true; do paplay -d "$1" "$WORK/$2.wav" 2>/dev/null || sleep 1; done
}
play_loop spk "$SYSTEM_HZ" &
E2E_BACKGROUND+=($!)
play_loop spk2 "$MIC_HZ" &
E2E_BACKGROUND+=($!)

e2e_watch_boxes

# expect_tones NAME WAV MIN_SECONDS MAX_SECONDS SYSTEM_LEVEL MIC_LEVEL: the
# file's length, and each tone at its level within 0.05 (a level of 0: absent).
expect_tones() {
    local got secs sys mic
    got="$(python3 "$ROOT/tests/lib/tones.py" "$2" "$SYSTEM_HZ" "$MIC_HZ")"
    read -r secs sys mic <<<"$got"
    echo "$1: $got (seconds, $SYSTEM_HZ Hz, $MIC_HZ Hz)"
    python3 -c "import sys; sys.exit(0 if $3 <= $secs <= $4 else 1)" || fail "$1: length $secs s"
    python3 -c "import sys; sys.exit(0 if abs($sys - $5) <= 0.05 else 1)" ||
        fail "$1: system audio at $sys, wanted $5"
    python3 -c "import sys; sys.exit(0 if abs($mic - $6) <= 0.05 else 1)" ||
        fail "$1: microphone at $mic, wanted $6"
}


# 1. One mixed file of about three seconds.
record mixed --mic --duration 3
mapfile -t wavs < <(find "$WORK/mixed" -maxdepth 1 -name 'recording_*.wav')
if [ "${#wavs[@]}" = 1 ]; then
    # Two sources mixed at 1/2 each: each played 0.5 arrives at 0.25.
    expect_tones mixed "${wavs[0]}" 2.5 4.6 0.25 0.25
else
    fail "mixed: ${#wavs[@]} recording_*.wav files: $(ls -R "$WORK/mixed")"
fi
[ -z "$(find "$WORK/mixed" -name '*.recpart')" ] || fail "mixed: .recpart files left"

# 2. Stems with instructions, and silence-padded stems.
expect_stems() {
    local name="$1" session
    session="$(find "$WORK/$name" -mindepth 1 -maxdepth 1 -type d -name 'recording_*' | head -n 1)"
    if [ -z "$session" ]; then
        fail "$name: no session folder: $(ls -R "$WORK/$name")"
        return
    fi
    for stem in loopback.wav mic.wav; do
        [ -f "$session/$stem" ] || fail "$name: $stem missing: $(ls "$session")"
    done
    # A stem is not mixed: its tone arrives at the level played, and the other
    # source's tone not at all. A device starts when it first delivers, which
    # under wine can be a second or two into the recording.
    if [ -f "$session/loopback.wav" ]; then
        expect_tones "$name loopback" "$session/loopback.wav" 1.0 4.6 0.5 0
    fi
    if [ -f "$session/mic.wav" ]; then
        expect_tones "$name mic" "$session/mic.wav" 1.0 4.6 0 0.5
    fi
}
record stems --mic --stems --duration 3
expect_stems stems
session="$(find "$WORK/stems" -mindepth 1 -maxdepth 1 -type d -name 'recording_*' | head -n 1)"
if [ -n "$session" ] && [ -f "$session/instructions.txt" ]; then
    grep -q '^#' "$session/instructions.txt" || fail "stems: instructions.txt has no header"
    # Each segment's offset is where its first frame lies on the timeline.
    grep -qE '^[0-9]+ loopback$' "$session/instructions.txt" || fail "stems: no loopback line"
    grep -qE '^[0-9]+ mic$' "$session/instructions.txt" || fail "stems: no mic line"
else
    fail "stems: instructions.txt missing"
fi
record silence --mic --stems-silence --duration 3
expect_stems silence

# 3. Killed hard four seconds into the recording, then repaired. Wine may
# take up to two seconds to start a device, so two would leave a take with
# no audio in it.
mkdir -p "$WORK/crash"
# In a subshell whose own complaint about the killed program is dropped.
(
    "$ROOT/scripts/wine-run.sh" "$EXE" --mic --duration 30 --output "$(win_path "$WORK/crash")" \
        >"$WORK/crash.out" 2>"$WORK/crash.err"
) 2>/dev/null &
CRASH_PID=$!
for _ in $(seq 1 300); do
    [ -n "$(find "$WORK/crash" -name '*.recpart' 2>/dev/null)" ] && break
    sleep 0.1
done
sleep 4
# Everything in this private prefix is ours: the program and the box watcher.
"$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
wait "$CRASH_PID" 2>/dev/null || true
wait "$WATCH_PID" 2>/dev/null || true
check_boxes crash
mapfile -t parts < <(find "$WORK/crash" -maxdepth 1 -name '*.recpart')
if [ "${#parts[@]}" = 1 ]; then
    set +e
    "$ROOT/scripts/wine-run.sh" "$EXE" --repair --output "$(win_path "$WORK/crash")" \
        >"$WORK/repair.out" 2>"$WORK/repair.err"
    rc=$?
    set -e
    [ "$rc" = 0 ] || fail "repair: exit code $rc"
    grep -q '^Repaired: ' "$WORK/repair.out" || fail "repair: $(cat "$WORK/repair.out" "$WORK/repair.err")"
    mapfile -t wavs < <(find "$WORK/crash" -maxdepth 1 -name 'recording_*.wav')
    if [ "${#wavs[@]}" = 1 ]; then
        # Four seconds were recorded; a crash may cost the last few hundred ms.
        expect_tones crash "${wavs[0]}" 3.4 5.0 0.25 0.25
    else
        fail "crash: ${#wavs[@]} .wav files after repair"
    fi
else
    fail "crash: ${#parts[@]} .recpart files: $(ls "$WORK/crash")"
fi

e2e_end
