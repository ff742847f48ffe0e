#!/usr/bin/env bash
# Devices that change under a running recording, as far as wine 10 lets them
# be seen: the sound server's default output and input move to another
# device, and the default output's device is unloaded and loaded again.
#
# What wine 10 reports, measured with PulseAudio: no endpoint notification of
# a default change, and none reaches an open stream either: the server moves the capture of the default
# input to the new default source itself, while loopback stays on the old
# output. An unloaded output mostly just stops delivering to its loopback
# stream, without an error; now and then GetBuffer returns
# AUDCLNT_E_DEVICE_INVALIDATED, and the capture then reopens on the default.
# Either way the recording must go on and end by itself with every stem. The
# paths wine never takes (notifications, a device returning under its
# identifier or name) are exercised with the fake backend and need Windows.
# Assumes the Windows build exists (scripts/test.sh builds it first).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/wine_e2e.sh
. "$ROOT/tests/lib/wine_e2e.sh"
e2e_begin devices_wine "$EXE"

sox -n -r 44100 -c 2 -b 16 "$WORK/speakers.wav" synth 30 sine 440 vol 0.5
sox -n -r 44100 -c 2 -b 16 "$WORK/headphones.wav" synth 30 sine 1000 vol 0.5

# Speakers the default output and its monitor the default input, a tone of
# its own playing into each output. The server moves every playing stream to
# a new default output, so each case starts from here afresh.
reset_devices() {
    e2e_stop_background
    pactl set-default-sink spk
    pactl set-default-source spk.monitor
    ( while true; do paplay -d spk "$WORK/speakers.wav" 2>/dev/null || sleep 0.2; done ) &
    E2E_BACKGROUND+=($!)
    ( while true; do paplay -d spk2 "$WORK/headphones.wav" 2>/dev/null || sleep 0.2; done ) &
    E2E_BACKGROUND+=($!)
}

seconds() { soxi -D "$1" 2>/dev/null || echo 0; }

# record NAME ACTION: a six-second stem recording of system audio and the
# microphone, with ACTION run two seconds in; it must end by itself.
record() {
    local name="$1" action="$2" pid rc
    reset_devices
    mkdir -p "$WORK/$name"
    set +e
    timeout 120 "$ROOT/scripts/wine-run.sh" "$EXE" --mic --stems-silence --duration 6 \
        --output "$(win_path "$WORK/$name")" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    pid=$!
    for _ in $(seq 1 300); do
        [ -n "$(find "$WORK/$name" -name '*.recpart' 2>/dev/null)" ] && break
        sleep 0.1
    done
    sleep 2
    "$action"
    wait "$pid"
    rc=$?
    set -e
    [ "$rc" = 0 ] || fail "$name: exit code $rc; stderr: $(cat "$WORK/$name.err")"
    SESSION="$(find "$WORK/$name" -mindepth 1 -maxdepth 1 -type d -name 'recording_*' | head -n 1)"
    for stem in loopback.wav mic.wav; do
        [ -f "$SESSION/$stem" ] || fail "$name: $stem missing: $(ls -R "$WORK/$name")"
    done
    local loop mic
    loop="$(seconds "$SESSION/loopback.wav")"
    mic="$(seconds "$SESSION/mic.wav")"
    echo "$name: loopback $loop s, mic $mic s"
    # Whatever the devices did, both stems span the six seconds: silence
    # stands where a device delivered nothing.
    for s in "$loop" "$mic"; do
        python3 -c "import sys; sys.exit(0 if abs($s - 6.0) <= 0.05 else 1)" ||
            fail "$name: a stem of $s s, wanted 6"
    done
    sed "s/^/$name stderr: /" "$WORK/$name.err"
}

# 1. The default output and input move to the headphones: nothing is lost.
move_defaults() {
    pactl set-default-sink spk2
    pactl set-default-source spk2.monitor
}
record moved move_defaults
grep -q 'device lost' "$WORK/moved.err" && fail "moved: a device was reported lost"

# 2. The default output's device is unloaded, then loaded again.
unload_speakers() {
    local module
    module="$(pactl list short modules | awk '/sink_name=spk /{print $1}')"
    pactl unload-module "$module"
    sleep 1.5
    pactl load-module module-null-sink sink_name=spk sink_properties=device.description=Speakers >/dev/null
    pactl set-default-sink spk
    pactl set-default-source spk.monitor
}
record unloaded unload_speakers
if grep -v '^Loopback capture error: device lost: GetBuffer: 0x88890004$' "$WORK/unloaded.err" |
    grep -q .; then
    fail "unloaded: unexpected standard error"
fi

e2e_end
