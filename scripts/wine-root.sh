#!/usr/bin/env bash
# Runs a command inside the Debian 13 root that holds wine 10 (made by
# scripts/setup.sh), in a private mount namespace: every mount made here
# vanishes with the command. The project folder, /tmp (the X sockets, the
# private sound server's runtime folder, test folders) and XDG_RUNTIME_DIR
# appear inside at the same paths, so paths mean the same on both sides.
#   scripts/wine-root.sh wineserver -k
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WINE_ROOT="${KESTRUNE_WINE_ROOT:-$ROOT/build/wine-root}"
if [ ! -f "$WINE_ROOT/.kestrune-ready" ]; then
    echo "wine-root.sh: no wine root in $WINE_ROOT; run scripts/setup.sh" >&2
    exit 1
fi
[ $# -gt 0 ] || { echo "usage: wine-root.sh COMMAND [ARGS...]" >&2; exit 2; }

binds=("$ROOT" /tmp)
[ -n "${XDG_RUNTIME_DIR:-}" ] && [ -d "$XDG_RUNTIME_DIR" ] && binds+=("$XDG_RUNTIME_DIR")
[ -n "${KESTRUNE_DEPS_DIR:-}" ] && [ -d "$KESTRUNE_DEPS_DIR" ] && binds+=("$KESTRUNE_DEPS_DIR")
if [ -n "${KESTRUNE_WINE_BINDS:-}" ]; then
    IFS=: read -r -a extra <<<"$KESTRUNE_WINE_BINDS"
    binds+=("${extra[@]}")
fi

sudo_prefix=()
[ "$(id -u)" -eq 0 ] || sudo_prefix=(sudo --preserve-env)

# shellcheck disable=SC2016
exec "${sudo_prefix[@]}" unshare --mount --propagation private -- bash -c '
    set -e
    r="$1" here="$2"; shift 2
    binds=()
    while [ "$1" != "--" ]; do binds+=("$1"); shift; done
    shift
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount --rbind /sys "$r/sys"
    for b in "${binds[@]}"; do
        [ -d "$b" ] || continue
        mkdir -p "$r$b"
        mount --rbind "$b" "$r$b"
    done
    exec chroot "$r" /bin/sh -c "cd \"\$1\" 2>/dev/null || cd /; shift; exec \"\$@\"" sh "$here" "$@"
' wine-root "$WINE_ROOT" "$PWD" "${binds[@]}" -- "$@"
