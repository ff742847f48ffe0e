# Private services for tests and for running without a desktop: a virtual X
# display and a PulseAudio server with virtual devices. Source this file, call
# the start functions, and have kestrune_stop_services run on exit:
#
#   . scripts/lib/services.sh
#   trap kestrune_stop_services EXIT
#   kestrune_start_display              # exports DISPLAY
#   kestrune_start_sound_server         # exports XDG_RUNTIME_DIR (wine finds the server there)
#
# The sound server has two output devices, "Speakers" (sink spk, the default)
# and "Headphones" (spk2), and one input device "Line In" (source linein). The
# default input device is the monitor of spk, so whatever is played into spk
# can be recorded as the microphone.

KESTRUNE_SERVICES_DIR=""
KESTRUNE_XVFB_PID=""
KESTRUNE_PULSE_STARTED=""

kestrune__services_dir() {
    if [ -z "$KESTRUNE_SERVICES_DIR" ]; then
        KESTRUNE_SERVICES_DIR="$(mktemp -d /tmp/kestrune-services.XXXXXX)"
    fi
}

# Starts Xvfb on a free display; SIZE defaults to 1920x1080x24.
kestrune_start_display() {
    local size="${1:-1920x1080x24}"
    kestrune__services_dir
    local fifo="$KESTRUNE_SERVICES_DIR/displayfd"
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp -dpi 96 3>"$fifo" >/dev/null 2>&1 &
    KESTRUNE_XVFB_PID=$!
    local num
    if ! read -r -t 20 num <"$fifo"; then
        echo "services: Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$num"
}

# Starts a private PulseAudio server reachable through XDG_RUNTIME_DIR.
kestrune_start_sound_server() {
    kestrune__services_dir
    export XDG_RUNTIME_DIR="$KESTRUNE_SERVICES_DIR/runtime"
    mkdir -p "$XDG_RUNTIME_DIR" "$KESTRUNE_SERVICES_DIR/home"
    chmod 700 "$XDG_RUNTIME_DIR"
    HOME="$KESTRUNE_SERVICES_DIR/home" pulseaudio --daemonize=yes --exit-idle-time=-1 -n \
        --load="module-null-sink sink_name=spk sink_properties=device.description=Speakers" \
        --load="module-null-sink sink_name=spk2 sink_properties=device.description=Headphones" \
        --load="module-null-source source_name=linein description=Line_In" \
        --load="module-native-protocol-unix" >/dev/null 2>&1
    local i
    for i in $(seq 1 50); do
        pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! pactl info >/dev/null 2>&1; then
        echo "services: PulseAudio did not start" >&2
        return 1
    fi
    KESTRUNE_PULSE_STARTED=1
    pactl set-default-sink spk
    pactl set-default-source spk.monitor
}

kestrune_stop_services() {
    if [ -n "$KESTRUNE_PULSE_STARTED" ]; then
        pactl exit >/dev/null 2>&1 || true
        KESTRUNE_PULSE_STARTED=""
    fi
    if [ -n "$KESTRUNE_XVFB_PID" ]; then
        kill "$KESTRUNE_XVFB_PID" 2>/dev/null || true
        wait "$KESTRUNE_XVFB_PID" 2>/dev/null || true
        KESTRUNE_XVFB_PID=""
    fi
    if [ -n "$KESTRUNE_SERVICES_DIR" ]; then
        # The sound server leaves its runtime folder a moment after it was told to.
        local i
        for i in $(seq 1 50); do
            rm -rf "$KESTRUNE_SERVICES_DIR" 2>/dev/null && break
            sleep 0.1
        done
        KESTRUNE_SERVICES_DIR=""
    fi
}
