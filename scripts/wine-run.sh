#!/usr/bin/env bash
# Runs a Windows executable under wine 10 in the project's private prefix,
# inside the wine root; CTest uses it as the emulator of the cross build.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec "$ROOT/scripts/wine-root.sh" wine "$@"
