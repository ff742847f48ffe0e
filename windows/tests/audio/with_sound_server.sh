#!/usr/bin/env bash
# Runs a command with the private sound server of scripts/lib/services.sh,
# stopping the server afterwards whatever the command does.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
. "$ROOT/scripts/lib/services.sh"
trap kestrune_stop_services EXIT
kestrune_start_sound_server
# Wine's sound driver finds the server through XDG_RUNTIME_DIR; no display is needed.
unset DISPLAY
status=0
"$@" || status=$?
exit $status
