#!/usr/bin/env bash
# Configures and builds both trees: build/native (core, tests, benchmarks) and
# build/windows (kestrune.exe and the Windows tests, cross-compiled). Name a
# tree ("native" or "windows") to build only that one.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/setup.sh"
JOBS="${KESTRUNE_JOBS:-$(nproc)}"
TREES=("$@")
[ ${#TREES[@]} -eq 0 ] && TREES=(native windows)
for tree in "${TREES[@]}"; do
    case "$tree" in
        native)
            if [ ! -f "$ROOT/build/native/build.ninja" ]; then
                cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja >/dev/null
            fi
            cmake --build "$ROOT/build/native" -j "$JOBS"
            ;;
        windows)
            if [ ! -f "$ROOT/build/windows/build.ninja" ]; then
                cmake -S "$ROOT" -B "$ROOT/build/windows" -G Ninja \
                    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
            fi
            cmake --build "$ROOT/build/windows" -j "$JOBS"
            ;;
        *)
            echo "build.sh: unknown tree '$tree' (native or windows)" >&2
            exit 2
            ;;
    esac
done
