#!/usr/bin/env bash
# Runs the Win32 platform suite under Wine, headless: run-under-wine.sh SUITE.exe PREFIX [CASE-FILTER]
# The Wine prefix lives in the build folder and is made on first use (about 20 s); its windows go
# to Wine's virtual desktop on a private Xvfb display, so no window manager is involved.
set -euo pipefail
exe="$(realpath "$1")"
prefix="$(realpath -m "$2")"
shift 2

wine=""
for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then wine="$w"; break; fi
done
[ -n "$wine" ] || { echo "run-under-wine: no wine64 found" >&2; exit 1; }
wineserver="$(dirname "$wine")/wineserver64"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installers: the suite needs neither, and they would try the network.
export WINEDLLOVERRIDES="mscoree=;mshtml="

# A private X server on a free display number (Xvfb picks it and says which: no race with the
# other tests' servers); it and this prefix's Wine processes end with the run, however it ends.
work="$(mktemp -d)"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 1 600); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "run-under-wine: Xvfb did not start" >&2; exit 1; }
    sleep 0.05
done
[ -s "$work/display" ] || { echo "run-under-wine: Xvfb gave no display" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

if [ ! -f "$prefix/.orx-ready" ]; then
    mkdir -p "$prefix"
    "$wine" wineboot --init >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    "$wineserver" -w
    touch "$prefix/.orx-ready"
fi

"$wine" "$exe" "$@"
