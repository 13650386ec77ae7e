#!/usr/bin/env bash
# Builds Qt and SDL2 for 64-bit Windows (MinGW-w64) from Debian's own source packages, the same
# versions as the host's, into a cache outside the checkout, and prints the two prefixes:
#   QT_PREFIX=...
#   SDL_PREFIX=...
# A prefix counts as cached only once its build installed completely (a ".complete" stamp written
# last, after the prefix was moved into place whole); a failed or interrupted build leaves only
# its work folder, which the next run removes and starts again.
#   --check   only says whether both are cached (exit 0) or not (exit 1); builds nothing
# The cache: $ORX_WINDOWS_CACHE, else ${XDG_CACHE_HOME:-~/.cache}/orx-rovivi/windows.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

CACHE=${ORX_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orx-rovivi/windows}
QT_VERSION_DEB=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
SDL_VERSION_DEB=$(dpkg-query -W -f='${Version}' libsdl2-dev 2>/dev/null || true)
if [ -z "$QT_VERSION_DEB" ] || [ -z "$SDL_VERSION_DEB" ]; then
    ./scripts/deps.sh --windows
    QT_VERSION_DEB=$(dpkg-query -W -f='${Version}' qt6-base-dev)
    SDL_VERSION_DEB=$(dpkg-query -W -f='${Version}' libsdl2-dev)
fi

# Qt's options: everything the launcher, its tools and its test programs load; Windows' own TLS
# (Schannel) instead of OpenSSL. Debian's source lacks src/3rdparty/wintab, so tablet events go;
# the Windows platform plugin needs OpenGL, so dynamic OpenGL (the default) stays.
QT_OPTIONS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=ON
    -DFEATURE_tabletevent=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_sql_sqlite=OFF -DFEATURE_zstd=OFF -DFEATURE_system_zlib=OFF
    -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
    -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_doubleconversion=OFF
)
SDL_OPTIONS=(-DCMAKE_BUILD_TYPE=Release -DSDL_SHARED=ON -DSDL_STATIC=OFF -DSDL_TEST=OFF)

key() { # version + options + toolchain file + compiler version: any change is a new cache entry
    { echo "$1"; shift; printf '%s\n' "$@"; cat "$ROOT/cmake/mingw-w64.cmake"
      x86_64-w64-mingw32-g++-posix --version | head -1; } | sha256sum | cut -c1-12
}
QT_PREFIX="$CACHE/qt-${QT_VERSION_DEB%%+*}-$(key "$QT_VERSION_DEB" "${QT_OPTIONS[@]}")"
SDL_PREFIX="$CACHE/sdl2-${SDL_VERSION_DEB%%+*}-$(key "$SDL_VERSION_DEB" "${SDL_OPTIONS[@]}")"

if [ "${1:-}" = "--check" ]; then
    [ -f "$QT_PREFIX/.complete" ] && [ -f "$SDL_PREFIX/.complete" ]
    exit
fi

say() { echo "windows-deps: $*" >&2; }
SUDO=()
[ "$(id -u)" -ne 0 ] && SUDO=(sudo)

# A deb-src entry for each archive and suite the machine already uses (apt-get source needs it).
ensure_deb_src() {
    if apt-get source --print-uris -qq qt6-base >/dev/null 2>&1; then return; fi
    local list=/etc/apt/sources.list.d/orx-deb-src.sources
    say "adding deb-src entries ($list) and updating the package lists"
    local tmp
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ "$f" = "$list" ] && continue
        # deb822: each stanza whose Types has "deb" gets a twin of "deb-src".
        awk 'BEGIN{RS=""; ORS="\n\n"} /(^|\n)Types:[^\n]*(^| )deb( |\n|$)/ {
                 gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f" >>"$tmp"
    done
    if [ -f /etc/apt/sources.list ]; then
        grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
            >"${tmp}.list" || true
        [ -s "${tmp}.list" ] && "${SUDO[@]}" cp "${tmp}.list" /etc/apt/sources.list.d/orx-deb-src.list
    fi
    [ -s "$tmp" ] && "${SUDO[@]}" cp "$tmp" "$list"
    rm -f "$tmp" "${tmp}.list"
    "${SUDO[@]}" apt-get update -qq
}

# Unpacks Debian's source package $1 at version $2 into $3 (dpkg-source applies Debian's patches).
fetch_source() {
    local pkg=$1 version=$2 dest=$3
    command -v dpkg-source >/dev/null || {
        say "installing dpkg-dev (apt-get source unpacks with it)"
        DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends \
            dpkg-dev >/dev/null
    }
    ensure_deb_src
    mkdir -p "$dest"
    say "fetching the source of $pkg $version"
    (cd "$dest" && apt-get source -qq "$pkg=$version" >/dev/null)
}

# finish_prefix NAME WORK PREFIX VERSION START: moves the installed WORK/prefix into place whole,
# and only then marks it complete.
finish_prefix() {
    local name=$1 work=$2 prefix=$3 version=$4 start=$5
    mv "$work/prefix" "$prefix"
    # CMake files (and Qt's qt.toolchain.cmake) name the prefix they were installed to.
    grep -rlF "$work/prefix" "$prefix" 2>/dev/null | while read -r f; do
        sed -i "s|$work/prefix|$prefix|g" "$f"; done
    echo "$version built in $((SECONDS - start)) s" >"$prefix/.complete"
    rm -rf "$work"
    say "$name built and cached in $prefix ($((SECONDS - start)) s)"
}

build_qt() {
    [ -f "$QT_PREFIX/.complete" ] && return
    local work="$QT_PREFIX.work" start=$SECONDS
    rm -rf "$work" "$QT_PREFIX"
    fetch_source qt6-base "$QT_VERSION_DEB" "$work/src"
    local src
    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -1)
    say "configuring Qt ${QT_VERSION_DEB%%+*} for Windows"
    cmake -G Ninja -S "$src" -B "$work/build" -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_INSTALL_PREFIX="$work/prefix" "${QT_OPTIONS[@]}" >"$work/configure.log" 2>&1 || {
        tail -30 "$work/configure.log" >&2; say "Qt's configure failed: $work/configure.log"; exit 1; }
    say "building Qt (about half an hour on two cores the first time; progress every 500 steps)"
    # Ninja's status line, one in 500, so a long build shows that it moves without flooding.
    NINJA_STATUS='[%f/%t %es] ' cmake --build "$work/build" 2>&1 | tee "$work/build.log" \
        | awk '/^\[[0-9]+\/[0-9]+ / { n++; if (n % 500 == 1) { print "windows-deps: qt " $1 " " $2; fflush() } }' >&2
    [ "${PIPESTATUS[0]}" -eq 0 ] || { grep -m20 -B2 -A10 'error' "$work/build.log" >&2 || true
        say "Qt's build failed: $work/build.log"; exit 1; }
    cmake --install "$work/build" >"$work/install.log" 2>&1 || {
        tail -20 "$work/install.log" >&2; say "Qt's install failed"; exit 1; }
    finish_prefix Qt "$work" "$QT_PREFIX" "$QT_VERSION_DEB" "$start"
}

build_sdl() {
    [ -f "$SDL_PREFIX/.complete" ] && return
    local work="$SDL_PREFIX.work" start=$SECONDS
    rm -rf "$work" "$SDL_PREFIX"
    fetch_source libsdl2 "$SDL_VERSION_DEB" "$work/src"
    local src
    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'libsdl2-*' | head -1)
    say "building SDL2 ${SDL_VERSION_DEB%%+*} for Windows"
    { cmake -G Ninja -S "$src" -B "$work/build" -Wno-dev \
          -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
          -DCMAKE_INSTALL_PREFIX="$work/prefix" "${SDL_OPTIONS[@]}" &&
      cmake --build "$work/build" && cmake --install "$work/build"; } >"$work/build.log" 2>&1 || {
        tail -30 "$work/build.log" >&2; say "SDL2's build failed: $work/build.log"; exit 1; }
    finish_prefix SDL2 "$work" "$SDL_PREFIX" "$SDL_VERSION_DEB" "$start"
}

mkdir -p "$CACHE"
build_sdl
build_qt
echo "QT_PREFIX=$QT_PREFIX"
echo "SDL_PREFIX=$SDL_PREFIX"
