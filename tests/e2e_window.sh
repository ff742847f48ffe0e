#!/usr/bin/env bash
# End to end under wine, on a virtual display and the private sound server: a
# tone plays into the default output "Speakers" while the default input is its
# monitor. Timed recordings from the command line must end by themselves and
# hold that tone (two sources mixed at 1/2), the stem modes must give their
# files, and a recording killed hard must be repairable. A message box fails
# the run with its text instead of blocking it.
# Assumes the Windows build exists (scripts/test.sh builds it first).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="$ROOT/build/windows/bin"
EXE="$BIN/kestrune.exe"
WATCH="$BIN/dialog_watch.exe"
export WINEPREFIX="${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG=-all
WORK="$(mktemp -d /tmp/kestrune-e2e.XXXXXX)"
failures=0
TONE_PID=""
WATCH_PID=""

# shellcheck source=../scripts/lib/services.sh
. "$ROOT/scripts/lib/services.sh"
cleanup() {
    [ -n "$TONE_PID" ] && kill "$TONE_PID" 2>/dev/null || true
    "$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
    kestrune_stop_services
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for tool in "$EXE" "$WATCH"; do
    [ -f "$tool" ] || { echo "e2e_window: $tool is missing; build the Windows tree" >&2; exit 1; }
done
# A wine session left from a run without this display cannot open windows here.
"$ROOT/scripts/wine-root.sh" wineserver -k >/dev/null 2>&1 || true
"$ROOT/scripts/wine-root.sh" wineserver -w >/dev/null 2>&1 || true
kestrune_start_display
kestrune_start_sound_server

# 440 Hz at half scale, long enough for every run below; played in a loop.
sox -n -r 44100 -c 2 -b 16 "$WORK/tone.wav" synth 60 sine 440 vol 0.5
( while true; do paplay -d spk "$WORK/tone.wav" 2>/dev/null || sleep 1; done ) &
TONE_PID=$!

"$ROOT/scripts/wine-run.sh" "$WATCH" >"$WORK/boxes.txt" 2>/dev/null &
WATCH_PID=$!

# Fails the current check with the text of any message box that appeared.
check_boxes() {
    if [ -s "$WORK/boxes.txt" ]; then
        fail "$1: a message box appeared: $(cat "$WORK/boxes.txt")"
        : >"$WORK/boxes.txt"
    fi
}

win_path() { "$ROOT/scripts/wine-root.sh" winepath -w "$1" 2>/dev/null; }

# analyse WAV: prints "seconds peak frequency" of the first channel. The
# frequency comes from the median spacing of rising zero crossings, so that
# a late start of an input device or a gap the loaded sound server leaves
# does not skew it.
analyse() {
    sox "$1" -t f32 -r 44100 - remix 1 2>/dev/null | python3 -c '
import sys, array
a = array.array("f"); a.frombytes(sys.stdin.buffer.read())
n = len(a); rate = 44100
peak = max((abs(x) for x in a), default=0.0)
loud = [i for i in range(n) if abs(a[i]) > 0.02]
lo, hi = (loud[0], loud[-1]) if loud else (0, 0)
ups = [i - 1 + a[i - 1] / (a[i - 1] - a[i]) for i in range(lo + 1, hi) if a[i - 1] < 0 <= a[i]]
gaps = sorted(y - x for x, y in zip(ups, ups[1:]))
freq = rate / gaps[len(gaps) // 2] if gaps else 0.0
print("%.3f %.4f %.1f" % (n / rate, peak, freq))'
}

# expect_tone NAME WAV MIN_SECONDS MAX_SECONDS PEAK: the tone at PEAK (within 0.05).
expect_tone() {
    local got secs peak freq
    got="$(analyse "$2")"
    read -r secs peak freq <<<"$got"
    echo "$1: $got (seconds peak Hz)"
    python3 -c "import sys; sys.exit(0 if $3 <= $secs <= $4 else 1)" || fail "$1: length $secs s"
    python3 -c "import sys; sys.exit(0 if abs($peak - $5) <= 0.05 else 1)" || fail "$1: peak $peak, wanted $5"
    python3 -c "import sys; sys.exit(0 if 435 <= $freq <= 445 else 1)" || fail "$1: frequency $freq Hz"
}

# record NAME ARGS...: a timed run; it must exit 0 by itself.
record() {
    local name="$1"
    shift
    mkdir -p "$WORK/$name"
    set +e
    timeout 120 "$ROOT/scripts/wine-run.sh" "$EXE" "$@" --output "$(win_path "$WORK/$name")" \
        >"$WORK/$name.out" 2>"$WORK/$name.err"
    local rc=$?
    set -e
    [ "$rc" = 0 ] || fail "$name: exit code $rc; stderr: $(cat "$WORK/$name.err")"
    check_boxes "$name"
}

# 1. One mixed file of about three seconds.
record mixed --mic --duration 3
mapfile -t wavs < <(find "$WORK/mixed" -maxdepth 1 -name 'recording_*.wav')
if [ "${#wavs[@]}" = 1 ]; then
    # Both sources hear the same tone (the input is the output's monitor),
    # mixed at 1/2 each; on one timeline the two copies are in phase, so the
    # played 0.5 comes back at 0.5.
    expect_tone mixed "${wavs[0]}" 2.5 4.6 0.5
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
    if [ -f "$session/mic.wav" ]; then
        # A stem is not mixed: the tone arrives at the level played. It starts
        # when the device first delivers, which under wine can be a second or
        # two into the recording.
        expect_tone "$name mic" "$session/mic.wav" 1.0 4.6 0.5
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

# 3. Killed hard two seconds into the recording, then repaired.
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
sleep 2
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
        # Two seconds were recorded; a crash may cost the last few hundred ms.
        expect_tone crash "${wavs[0]}" 1.6 3.0 0.5
    else
        fail "crash: ${#wavs[@]} .wav files after repair"
    fi
else
    fail "crash: ${#parts[@]} .recpart files: $(ls "$WORK/crash")"
fi

if [ "$failures" -gt 0 ]; then
    echo "e2e_window: $failures failure(s)" >&2
    exit 1
fi
echo "e2e_window: all checks passed"
