#!/usr/bin/env bash
# Set-up if needed, both builds, then every test: native, under wine, the
# end-to-end scripts, and a short run of the file-format fuzz target.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/build.sh"
JOBS="${KESTRUNE_JOBS:-$(nproc)}"
status=0
ctest --test-dir "$ROOT/build/native" --output-on-failure -j "$JOBS" || status=1
ctest --test-dir "$ROOT/build/windows" --output-on-failure || status=1
for t in "$ROOT"/tests/*.sh; do
    [ -e "$t" ] || continue
    echo "== $(basename "$t")"
    if ! "$t"; then
        echo "FAILED: $(basename "$t")"
        status=1
    fi
done
echo "== fuzz (60 s)"
if ! "$ROOT/fuzz/run.sh" 60 >"$ROOT/build/fuzz.log" 2>&1; then
    tail -n 40 "$ROOT/build/fuzz.log"
    echo "FAILED: fuzz (see build/fuzz.log and build/fuzz/artifacts)"
    status=1
fi
exit $status
