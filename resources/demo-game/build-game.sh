#!/bin/sh
# The demo game's build script. The launcher runs it in the game folder after it has put the disc,
# the title update and the downloadable content in place, with ORX_GAME_DIR (the extracted disc),
# ORX_UPDATE_DIR (the update's other files) and ORX_GAME_EXE (the executable to produce) set.
# A real game compiles its code here; the demo installs the stand-in game, orx-testgame, as the
# executable. It is looked for in ORX_TESTGAME, ORX_BIN_DIR, beside the launcher, then on PATH.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
: "${ORX_GAME_DIR:?the launcher sets ORX_GAME_DIR}"
: "${ORX_GAME_EXE:?the launcher sets ORX_GAME_EXE}"

echo "Demo build of the game in $here"
for needed in default.xex default.xexp; do
    if [ ! -f "$ORX_GAME_DIR/$needed" ]; then
        echo "error: $needed is not in $ORX_GAME_DIR: extract the disc and its title update first."
        exit 2
    fi
done
if [ -n "${ORX_UPDATE_DIR:-}" ] && [ ! -f "$ORX_UPDATE_DIR/patch.cpk" ]; then
    echo "error: patch.cpk is not in $ORX_UPDATE_DIR: put the title update in place first."
    exit 2
fi
dlc_count=0
if [ -d "$here/dlc" ]; then
    for header in "$here"/dlc/*.header; do
        [ -f "$header" ] && dlc_count=$((dlc_count + 1))
    done
fi
echo "Disc and title update found; $dlc_count downloadable content package(s)."

game=""
for candidate in "${ORX_TESTGAME:-}" "${ORX_BIN_DIR:+$ORX_BIN_DIR/orx-testgame}" \
    "${ORX_LAUNCHER_DIR:+$ORX_LAUNCHER_DIR/orx-testgame}"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        game=$candidate
        break
    fi
done
if [ -z "$game" ]; then
    game=$(command -v orx-testgame || true)
fi
if [ -z "$game" ]; then
    echo "error: orx-testgame not found (set ORX_TESTGAME, or put it beside the launcher)."
    exit 3
fi

# The library first, then the executable: a library no newer than its executable tells the launcher
# that the new build must prepare its code once ("--prepare"). build/march.ninja names the target.
exe_dir=$(dirname "$ORX_GAME_EXE")
exe_name=$(basename "$ORX_GAME_EXE")
exe_name=${exe_name%.*}
mkdir -p "$exe_dir" "$here/build"
printf 'demo game code library for %s\n' "$exe_name" >"$exe_dir/$exe_name.dll"
printf 'march = %s\n' "$(uname -m)" >"$here/build/march.ninja"

echo "Installing $game as $ORX_GAME_EXE"
cp "$game" "$ORX_GAME_EXE.tmp"
chmod 755 "$ORX_GAME_EXE.tmp"
mv -f "$ORX_GAME_EXE.tmp" "$ORX_GAME_EXE"

# The launcher compares built.txt with project/VERSION to know whether this build is current.
if [ -f "$here/project/VERSION" ]; then
    cp "$here/project/VERSION" "$here/built.txt.tmp"
    mv -f "$here/built.txt.tmp" "$here/built.txt"
fi
echo "Built $ORX_GAME_EXE"
