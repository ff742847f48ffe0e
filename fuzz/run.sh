#!/usr/bin/env bash
# Builds the file-format fuzz target in build/fuzz and runs it for the given
# number of seconds (default 60), seeded with the test fixtures. The corpus it
# grows stays in build/fuzz/corpus for the next run; a crashing input lands in
# build/fuzz/artifacts and fails the run.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_TO_RUN="${1:-60}"
BUILD="$ROOT/build/fuzz"
RUNTIME="$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | sort -V | tail -n 1)"
if [ -z "$RUNTIME" ]; then
    echo "fuzz: libclang_rt.fuzzer-x86_64.a not found (libclang-rt-dev)" >&2
    exit 1
fi
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT/fuzz" -B "$BUILD" -G Ninja -DKESTRUNE_FUZZER_RUNTIME="$RUNTIME" >/dev/null
fi
cmake --build "$BUILD" -j "${KESTRUNE_JOBS:-$(nproc)}"
rm -rf "$BUILD/seeds"
"$BUILD/make_seeds" "$BUILD/seeds"
mkdir -p "$BUILD/corpus" "$BUILD/artifacts"
# detect_leaks: libsndfile keeps a few process-wide allocations.
ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}" \
    "$BUILD/fuzz_file_tools" -max_total_time="$SECONDS_TO_RUN" -max_len=16384 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/" \
    "$BUILD/corpus" "$BUILD/seeds"
