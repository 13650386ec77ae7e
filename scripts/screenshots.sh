#!/usr/bin/env bash
# Pictures of every page, dialog and box state of the launcher, for people to look at: runs
# orx-snapshots (its own orx-server, orx-testgame as the game) on a private Xvfb display without a
# window manager, then puts the pictures and the art on contact sheets.
#   scripts/screenshots.sh [BUILD_DIR]     (default build/test; pictures in build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
build="${1:-build/test}"
out=build/screenshots
bin="$build/bin"
[ -x "$bin/orx-snapshots" ] || cmake --build "$build" --target orx-snapshots >/dev/null
rm -rf "$out"
mkdir -p "$out"

# A free display number: no lock file and no socket.
display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1600x1000x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

runtime=$(mktemp -d)
chmod 700 "$runtime"
DISPLAY=":$display" XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb ORX_BIN_DIR="$PWD/$bin" \
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" ORX_AUTO_CLOSE_MS=60000 \
    "$bin/orx-snapshots" --out "$out" | tee "$out/snapshots.log"

montage -background '#05080E' -fill '#E8E6DF' -label '%t' -geometry 590x+8+8 -tile 3x \
    "$out"/page-*.png "$out"/play-*.png "$out"/banner-*.png "$out/contact-sheet.png"
montage -background '#05080E' -fill '#E8E6DF' -label '%t' -geometry +8+8 -tile 4x \
    "$out"/dialog-*.png "$out"/box-*.png "$out/contact-sheet-dialogs.png"
art=resources/art
montage -background '#0E1524' -fill '#E8E6DF' -label '%t' -geometry 96x96+6+6 -tile 8x \
    "$art"/logo/orx-logo.png "$art"/logo/icon-256.png "$art"/pictures/default.png \
    "$art"/ranks/{wood,stone,copper,bronze,iron,steel,silver,gold,platinum,cobalt,mithril,adamant,diamond,master,grandmaster,legend}.png \
    "$out/contact-sheet-art.png"
echo "screenshots: $(ls "$out"/*.png | wc -l) pictures in $out"
