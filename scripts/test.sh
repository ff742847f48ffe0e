#!/usr/bin/env bash
# Set-up if needed, both builds, then every test: native, under wine, and the
# end-to-end scripts.
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
exit $status
