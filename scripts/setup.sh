#!/usr/bin/env bash
# Installs everything the build, the tests and the run need; idempotent and
# silent when nothing is missing. Leaves no process running.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="${KESTRUNE_DEPS_DIR:-$ROOT/.deps}"
PREFIX="$DEPS/mingw64"
WINEPREFIX_DIR="${KESTRUNE_WINEPREFIX:-$ROOT/build/wineprefix}"
WINE_ROOT="${KESTRUNE_WINE_ROOT:-$ROOT/build/wine-root}"

PACKAGES=(
    cmake ninja-build g++ pkg-config dpkg-dev
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    debootstrap util-linux clang libclang-rt-14-dev
    xvfb xauth x11-utils imagemagick xdotool
    pulseaudio pulseaudio-utils sox
    libsoxr-dev libsndfile1-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
    procps psmisc
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

log() { echo "setup: $*" >&2; }

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# apt-get source needs deb-src entries; derive them from the machine's own deb
# entries so that no archive address is written down anywhere.
ensure_deb_src() {
    if apt-get indextargets 2>/dev/null | grep -q '^Identifier: Sources'; then
        return 0
    fi
    local out=/etc/apt/sources.list.d/kestrune-deb-src.sources
    log "adding source-package entries derived from the apt configuration"
    local tmp
    tmp="$(mktemp)"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        [ "$f" = "$out" ] && continue
        # Keep whole stanzas whose Types include deb, with Types rewritten.
        awk 'BEGIN { RS=""; ORS="\n\n" }
             /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ {
                 gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f" >>"$tmp"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$f" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" | while read -r line; do
            echo "$line" | awk '{ printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $2, $3;
                                  for (i = 4; i <= NF; i++) printf " %s", $i; printf "\n\n" }'
        done >>"$tmp"
    done
    as_root install -m 644 "$tmp" "$out"
    rm -f "$tmp"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
}

# Builds one Debian source package for 64-bit Windows as a DLL into $PREFIX.
build_windows_dep() {
    local pkg="$1" stamp="$PREFIX/.$1.done"
    shift
    [ -f "$stamp" ] && return 0
    ensure_deb_src
    log "building $pkg for Windows"
    mkdir -p "$DEPS/src"
    local logfile="$DEPS/src/$pkg.log"
    if ! (
        set -e
        cd "$DEPS/src"
        rm -rf "$pkg"-*/ build-"$pkg"
        apt-get source "$pkg"
        srcdir="$(find . -maxdepth 1 -type d -name "$pkg-*" | head -n1)"
        cmake -S "$srcdir" -B build-"$pkg" -G Ninja -Wno-dev \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
            -DBUILD_SHARED_LIBS=ON "$@"
        cmake --build build-"$pkg"
        cmake --install build-"$pkg"
    ) >"$logfile" 2>&1; then
        cat "$logfile" >&2
        log "building $pkg for Windows failed"
        exit 1
    fi
    touch "$stamp"
}

# The first deb archive of the machine's own apt configuration that carries
# its release (not the security archive), so that no address is written down.
apt_mirror() {
    local codename
    codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -e "$f" ] || continue
            awk -v c="$codename" 'BEGIN { RS=""; FS="\n" }
                 { types=""; uris=""; suites=""
                   for (i = 1; i <= NF; i++) {
                       if ($i ~ /^Types:/) types=$i
                       if ($i ~ /^URIs:/) { uris=$i; sub(/^URIs:[ \t]*/, "", uris); sub(/[ \t].*/, "", uris) }
                       if ($i ~ /^Suites:/) suites=$i }
                   if (types ~ /[ \t]deb([ \t]|$)/ && (" " suites " ") ~ ("[ \t]" c "[ \t]")) print uris }' "$f"
        done
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -e "$f" ] || continue
            awk -v c="$codename" '$1 == "deb" && $0 !~ /\[/ && $3 == c { print $2 }
                                  $1 == "deb" && $2 ~ /^\[/ { for (i = 3; i < NF; i++) if ($i ~ /^[a-z]+:/) { if ($(i+1) == c) print $i; break } }' "$f"
        done
    } | head -n 1
}

# Debian 12's wine has no loopback capture; a Debian 13 root holds wine 10,
# entered through scripts/wine-root.sh. Rebuilt whole when a run broke off.
make_wine_root() {
    [ -f "$WINE_ROOT/.kestrune-ready" ] && return 0
    local mirror
    mirror="$(apt_mirror)"
    if [ -z "$mirror" ]; then
        log "no deb archive found in the apt configuration for the wine root"
        exit 1
    fi
    log "making a Debian 13 root with wine 10 in $WINE_ROOT"
    as_root rm -rf "$WINE_ROOT"
    mkdir -p "$(dirname "$WINE_ROOT")"
    mkdir -p "$ROOT/build"
    local logfile="$ROOT/build/wine-root.log"
    if ! (
        set -e
        as_root debootstrap --variant=minbase trixie "$WINE_ROOT" "$mirror"
        as_root unshare --mount --propagation private -- sh -c '
            set -e
            mount -t proc proc "$1/proc"
            mount --rbind /dev "$1/dev"
            chroot "$1" env DEBIAN_FRONTEND=noninteractive sh -c "apt-get update -qq &&
                apt-get install -y -qq --no-install-recommends wine wine64 libwine \
                    pulseaudio-utils libpulse0 fonts-wine libx11-6 libxext6 libxrender1 \
                    libxrandr2 libxi6 libxcursor1 libxfixes3 libxinerama1 libxcomposite1 \
                    libfreetype6 libfontconfig1 libdbus-1-3 libgnutls30t64 && apt-get clean"
        ' sh "$WINE_ROOT"
    ) >"$logfile" 2>&1; then
        cat "$logfile" >&2
        log "making the wine root failed"
        exit 1
    fi
    touch "$WINE_ROOT/.kestrune-ready"
}

# Wine 10 falls back to its Wayland driver without a display, which complains
# on standard error about XDG_RUNTIME_DIR; console runs must print only their own.
init_wine_prefix() {
    [ -f "$WINEPREFIX_DIR/.kestrune-ready-x11" ] && return 0
    log "initialising wine prefix in $WINEPREFIX_DIR"
    mkdir -p "$WINEPREFIX_DIR"
    WINEPREFIX="$WINEPREFIX_DIR" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= \
        "$ROOT/scripts/wine-root.sh" sh -c 'wineboot -i
            wine reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d x11 /f
            wineserver -w' >/dev/null 2>&1 || true
    touch "$WINEPREFIX_DIR/.kestrune-ready-x11"
}

install_packages
build_windows_dep libsoxr -DBUILD_TESTS=OFF -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF \
    -DBUILD_EXAMPLES=OFF
build_windows_dep libsndfile -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DBUILD_PROGRAMS=OFF \
    -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_CPACK=OFF -DINSTALL_MANPAGES=OFF
make_wine_root
init_wine_prefix
