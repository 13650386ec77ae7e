#!/usr/bin/env bash
# Runs one Windows program under Wine, headless: scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
# The emulator of the windows-test preset (CTest runs each Windows-built test program through it)
# and the runner of scripts/windows-e2e.sh.
#   ORX_WINE_PREFIX   the Wine prefix (default build/windows/wine-prefix), made on first use
#   ORX_WINE_DISPLAY  an X display to use; without it a private Xvfb serves this one run, and the
#                     prefix's Wine processes end with the run
#   ORX_WINE_DESKTOP  the size of Wine's virtual desktop in a new prefix (default 1280x1024)
#   ORX_WINE_PATH     folders (Unix paths, ':' between them) added to the program's PATH, so that
#                     it finds its libraries; the cross-built Qt, SDL2 and the MinGW runtime are
#                     added when ORX_WINDOWS_QT / ORX_WINDOWS_SDL name them
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "$1")
shift

wine=""
for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then wine="$w"; break; fi
done
[ -n "$wine" ] || { echo "wine-run: no wine64 found (scripts/deps.sh --windows installs it)" >&2; exit 1; }
wineserver="$(dirname "$wine")/wineserver64"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"

prefix=$(realpath -m "${ORX_WINE_PREFIX:-$here/build/windows/wine-prefix}")
export WINEPREFIX="$prefix" WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: nothing here needs them, and they would try the network.
export WINEDLLOVERRIDES="mscoree=;mshtml="

# Wine shows the Unix root as drive Z:.
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

path=""
add_path() { [ -d "$1" ] && path="${path:+$path;}$(winpath "$1")"; return 0; }
IFS=: read -r -a extra <<<"${ORX_WINE_PATH:-}"
for d in "${extra[@]}"; do [ -n "$d" ] && add_path "$d"; done
[ -n "${ORX_WINDOWS_QT:-}" ] && add_path "$ORX_WINDOWS_QT/bin"
[ -n "${ORX_WINDOWS_SDL:-}" ] && add_path "$ORX_WINDOWS_SDL/bin"
for d in /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib; do add_path "$d"; done
export WINEPATH="$path"
# Qt's plugins (the offscreen platform of the test programs, the TLS backends) from the cross build.
[ -n "${ORX_WINDOWS_QT:-}" ] && export QT_PLUGIN_PATH="$ORX_WINDOWS_QT/plugins"

work=$(mktemp -d)
xvfb=""
cleanup() {
    if [ -n "$xvfb" ]; then
        "$wineserver" -k 2>/dev/null || true
        kill "$xvfb" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
if [ -n "${ORX_WINE_DISPLAY:-}" ]; then
    export DISPLAY="$ORX_WINE_DISPLAY"
else
    # A private X server on a free display number (Xvfb picks it and says which).
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
    xvfb=$!
    for _ in $(seq 1 600); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb" 2>/dev/null || { echo "wine-run: Xvfb did not start" >&2; exit 1; }
        sleep 0.05
    done
    [ -s "$work/display" ] || { echo "wine-run: Xvfb gave no display" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$work/display")"
fi

# The prefix, once: made under a lock (test programs may start together), as Windows 10, its windows
# on Wine's virtual desktop so that no window manager is needed.
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/.orx-ready" ]; then
        rm -rf "$prefix"
        "$wine" wineboot --init >/dev/null 2>&1 || true
        # Qt 6 runs on Windows 10 and later: the prefix says it is one (Wine's default is older).
        "$wine" winecfg /v win10 >/dev/null 2>&1 || true
        "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
        "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "${ORX_WINE_DESKTOP:-1280x1024}" /f \
            >/dev/null 2>&1
        "$wineserver" -w
        touch "$prefix/.orx-ready"
    fi
) 9>"$prefix.lock"

status=0
"$wine" "$exe" "$@" || status=$?
exit "$status"
