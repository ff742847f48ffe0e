#!/usr/bin/env bash
# Set-up if needed, both builds, then every test: native, under wine, the
# end-to-end scripts, and a short run of the file-format fuzz target. Says how
# long each part took.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${KESTRUNE_JOBS:-$(nproc)}"
status=0
timings=()
# timed LABEL COMMAND...: runs the command, notes its time, keeps going on failure.
timed() {
    local label="$1" start=$SECONDS
    shift
    echo "== $label"
    if ! "$@"; then
        echo "FAILED: $label"
        status=1
    fi
    timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$label")")
}
timed "set-up" "$ROOT/scripts/setup.sh"
timed "native build" "$ROOT/scripts/build.sh" native
timed "windows build" "$ROOT/scripts/build.sh" windows
timed "native tests" ctest --test-dir "$ROOT/build/native" --output-on-failure -j "$JOBS"
timed "windows tests" ctest --test-dir "$ROOT/build/windows" --output-on-failure
for t in "$ROOT"/tests/*.sh; do
    [ -e "$t" ] || continue
    timed "$(basename "$t")" "$t"
done
fuzz_smoke() {
    if ! "$ROOT/fuzz/run.sh" 60 >"$ROOT/build/fuzz.log" 2>&1; then
        tail -n 40 "$ROOT/build/fuzz.log"
        echo "see build/fuzz.log and build/fuzz/artifacts"
        return 1
    fi
}
timed "fuzz (60 s)" fuzz_smoke
echo "== times"
printf '%s\n' "${timings[@]}"
exit $status
