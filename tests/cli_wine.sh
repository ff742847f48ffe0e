#!/usr/bin/env bash
# The console paths of kestrune.exe under wine: help, an argument error, and
# the repair of a recording cut off mid-frame, checked with sox and libsndfile;
# then the same through the console companion kestrune.com, which must wait
# for the program, pass its output on and return its exit code.
# Assumes the Windows build exists (scripts/test.sh builds it first).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
EXE="$ROOT/build/windows/bin/kestrune.exe"
COM="$ROOT/build/windows/bin/kestrune.com"
export WINEPREFIX="${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG=-all
# Console paths need no display; keep wine away from whatever display there is.
unset DISPLAY

WORK="$(mktemp -d /tmp/kestrune-cli-wine.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
# Without a display wine tries Wayland, whose client library complains on
# standard error when XDG_RUNTIME_DIR is unset; an empty private one keeps the
# program's own output alone there.
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run NAME ARGS...: runs the program, keeping stdout, stderr and the exit code.
run() {
    run_program "$EXE" "$@"
}

# run_companion NAME ARGS...: the same through kestrune.com.
run_companion() {
    run_program "$COM" "$@"
}

run_program() {
    local program="$1" name="$2"
    shift 2
    set +e
    "$ROOT/scripts/wine-run.sh" "$program" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"
    echo $? >"$WORK/$name.rc"
    set -e
}

expect_rc() { [ "$(cat "$WORK/$1.rc")" = "$2" ] || fail "$1: exit code $(cat "$WORK/$1.rc"), wanted $2"; }

# expect_file NAME STREAM EXPECTED_FILE
expect_file() {
    if ! cmp -s "$WORK/$1.$2" "$3"; then
        fail "$1: standard $2 differs"
        diff <(od -c "$3") <(od -c "$WORK/$1.$2") | head -20 >&2 || true
    fi
}

cat >"$WORK/usage.txt" <<'USAGE'
Usage: kestrune [OPTIONS]

Options:
  --duration <secs>     Start recording immediately, stop after <secs> seconds
  --mic                 Include microphone input
  --output <dir>        Output directory
  --repair              Repair incomplete .recpart files and exit
  --stems               Record one file per source (instructed mode)
  --stems-silence       Record one file per source, inserting silence for gaps
  --format <preset>     Output quality (default: auto)
    auto                  Match native device format
    cd                    CD quality  —  44.1 kHz / 16-bit
    studio                Studio  —  48 kHz / 24-bit
    hires                 High-res  —  96 kHz / 24-bit
    hires-float           High-res float  —  96 kHz / 32-bit float

  Note: Fixed presets always produce stereo output. Use --format auto
  to preserve mono sources when recording stems.
  --help                Show this message
USAGE
: >"$WORK/empty.txt"

# Help: exactly the usage text on standard error, nothing else.
run help --help
expect_rc help 0
expect_file help err "$WORK/usage.txt"
expect_file help out "$WORK/empty.txt"

# An argument error: its line, then the usage.
run bad_format --format CD
expect_rc bad_format 1
{
    echo "Unknown format preset 'CD'. Valid options: auto, cd, studio, hires, hires-float"
    cat "$WORK/usage.txt"
} >"$WORK/bad_format.expected"
expect_file bad_format err "$WORK/bad_format.expected"
expect_file bad_format out "$WORK/empty.txt"

# Repair: a 16-bit stereo recording cut off after 44,101 sample bytes (not a
# whole frame), its header still announcing no audio.
REC="$WORK/rec"
mkdir "$REC"
le32() { printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $((($1 >> 8) & 255)))\\$(printf %03o $((($1 >> 16) & 255)))\\$(printf %03o $((($1 >> 24) & 255)))"; }
le16() { printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $((($1 >> 8) & 255)))"; }
{
    printf 'RIFF'; le32 36; printf 'WAVEfmt '; le32 16; le16 1; le16 2; le32 44100; le32 176400
    le16 4; le16 16; printf 'data'; le32 0
} >"$REC/take.recpart"
head -c 44101 /dev/urandom >"$WORK/samples.raw"
cat "$WORK/samples.raw" >>"$REC/take.recpart"
[ "$(stat -c %s "$REC/take.recpart")" = 44145 ] || fail "fixture has the wrong length"

WINREC="$("$ROOT/scripts/wine-root.sh" winepath -w "$REC" 2>/dev/null)"
run repair --repair --output "$WINREC"
expect_rc repair 0
printf 'Repaired: %s\\take.recpart -> %s\\take.wav\n' "$WINREC" "$WINREC" >"$WORK/repair.expected"
expect_file repair out "$WORK/repair.expected"
expect_file repair err "$WORK/empty.txt"

WAV="$REC/take.wav"
if [ ! -f "$WAV" ] || [ -e "$REC/take.recpart" ]; then
    fail "repair did not move take.recpart to take.wav"
else
    field() { od -An -tu4 -j "$1" -N4 "$WAV" | tr -d ' '; }
    [ "$(field 4)" = 44136 ] || fail "RIFF size $(field 4), wanted 44136"
    [ "$(field 40)" = 44100 ] || fail "data size $(field 40), wanted 44100 (whole frames)"
    tail -c +45 "$WAV" | cmp -s - "$WORK/samples.raw" || fail "sample bytes changed"

    # sox: whole frames only.
    [ "$(soxi -c "$WAV")" = 2 ] || fail "soxi channels"
    [ "$(soxi -r "$WAV")" = 44100 ] || fail "soxi rate"
    [ "$(soxi -b "$WAV")" = 16 ] || fail "soxi bits"
    [ "$(soxi -s "$WAV")" = 11025 ] || fail "soxi frames $(soxi -s "$WAV")"
    [ "$(sox "$WAV" -t raw - 2>/dev/null | wc -c)" = 44100 ] || fail "sox did not read 44100 bytes"

    # libsndfile, through a small reader built here.
    cat >"$WORK/sfread.c" <<'C'
#include <sndfile.h>
#include <stdio.h>
int main(int argc, char** argv) {
    SF_INFO info = {0};
    SNDFILE* f = sf_open(argv[1], SFM_READ, &info);
    if (!f) { fprintf(stderr, "%s\n", sf_strerror(NULL)); return 1; }
    short buf[4096];
    sf_count_t total = 0, n;
    while ((n = sf_readf_short(f, buf, 4096 / info.channels)) > 0) total += n;
    printf("%d %d %lld %lld\n", info.channels, info.samplerate, (long long)info.frames, (long long)total);
    sf_close(f);
    return 0;
}
C
    if cc -o "$WORK/sfread" "$WORK/sfread.c" $(pkg-config --cflags --libs sndfile) 2>"$WORK/cc.log"; then
        got="$("$WORK/sfread" "$WAV" 2>&1 || true)"
        [ "$got" = "2 44100 11025 11025" ] || fail "libsndfile read: $got"
    else
        cat "$WORK/cc.log" >&2
        fail "could not build the libsndfile reader"
    fi
fi

# Nothing to repair: said so, still exit code 0.
mkdir "$WORK/none"
WINNONE="$("$ROOT/scripts/wine-root.sh" winepath -w "$WORK/none" 2>/dev/null)"
run nothing --repair -o "$WINNONE" --duration 5
expect_rc nothing 0
printf 'No incomplete recordings found in %s\n' "$WINNONE" >"$WORK/nothing.expected"
expect_file nothing out "$WORK/nothing.expected"

# The console companion: an unknown argument gives its line and the usage on
# standard error and exit code 1, as the program itself does.
run_companion com_bogus --bogus
expect_rc com_bogus 1
{
    echo "Unknown argument: --bogus"
    cat "$WORK/usage.txt"
} >"$WORK/com_bogus.expected"
expect_file com_bogus err "$WORK/com_bogus.expected"
expect_file com_bogus out "$WORK/empty.txt"

# Repair through the companion: the program's lines and its exit code; the
# work is done by the time the companion returns.
COMREC="$WORK/comrec"
mkdir "$COMREC"
cp "$REC/take.wav" "$COMREC/first.recpart"
cp "$REC/take.wav" "$COMREC/second.recpart"
WINCOMREC="$("$ROOT/scripts/wine-root.sh" winepath -w "$COMREC" 2>/dev/null)"
run_companion com_repair --repair --output "$WINCOMREC"
expect_rc com_repair 0
# The folder is listed in no particular order; each line whole, both present.
printf 'Repaired: %s\\%s.recpart -> %s\\%s.wav\n' \
    "$WINCOMREC" first "$WINCOMREC" first "$WINCOMREC" second "$WINCOMREC" second |
    sort >"$WORK/com_repair.expected"
sort "$WORK/com_repair.out" | cmp -s - "$WORK/com_repair.expected" || {
    fail "com_repair: standard out differs"
    cat "$WORK/com_repair.out" >&2
}
expect_file com_repair err "$WORK/empty.txt"
[ -f "$COMREC/first.wav" ] && [ -f "$COMREC/second.wav" ] && [ ! -e "$COMREC/first.recpart" ] ||
    fail "com_repair: the files were not repaired when the companion returned"

if [ "$failures" -ne 0 ]; then
    echo "cli_wine: $failures check(s) failed" >&2
    exit 1
fi
echo "cli_wine: all checks passed"
