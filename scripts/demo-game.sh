#!/usr/bin/env bash
# Prepares the demo game: writes the demo release (orx-x360 make-demo), puts the demo build script
# into the game folder when it has none, then builds the game from the release the way the Build
# game page does (check, extract, put in place, compile). Afterwards the launcher can start it.
#   scripts/demo-game.sh BIN_DIR GAME_DIR
# BIN_DIR holds orx-x360, orx-build and orx-testgame (ORX_TESTGAME names another stand-in game, as
# the Windows one for scripts/windows.sh). Nothing is done when the game is built already.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 BIN_DIR GAME_DIR" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$1" && pwd)
mkdir -p "$2"
game=$(cd "$2" && pwd)

if [ ! -f "$game/build-game.sh" ]; then
    cp "$source_dir/resources/demo-game/build-game.sh" "$game/build-game.sh"
    chmod 755 "$game/build-game.sh"
fi
if [ ! -f "$game/project/VERSION" ]; then
    mkdir -p "$game/project"
    cp "$source_dir/resources/demo-game/project/VERSION" "$game/project/VERSION"
fi

if [ -x "$game/orx.exe" ] && [ -f "$game/built.txt" ] && cmp -s "$game/built.txt" "$game/project/VERSION"; then
    echo "demo-game: the game in $game is built already."
    exit 0
fi

release="$game/demo-release"
if [ ! -f "$release/TU_ORX_0003O2" ]; then
    "$bin/orx-x360" make-demo "$release" >/dev/null
fi
ORX_TESTGAME="${ORX_TESTGAME:-$bin/orx-testgame}" "$bin/orx-build" --game-folder "$game" \
    --image "$release/Ironmere IV (World).iso" --update "$release/TU_ORX_0003O2" --dlc "$release/ORX_DLC_0013"
