#!/usr/bin/env bash
# Configures and builds both trees: build/native (core, tests, benchmarks) and
# build/windows (kestrune.exe and the Windows tests, cross-compiled).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/setup.sh"
JOBS="${KESTRUNE_JOBS:-$(nproc)}"
if [ ! -f "$ROOT/build/native/build.ninja" ]; then
    cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja >/dev/null
fi
cmake --build "$ROOT/build/native" -j "$JOBS"
if [ ! -f "$ROOT/build/windows/build.ninja" ]; then
    cmake -S "$ROOT" -B "$ROOT/build/windows" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$ROOT/build/windows" -j "$JOBS"
