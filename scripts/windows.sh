#!/usr/bin/env bash
# The Windows release, built here: Qt and SDL2 for MinGW-w64 from Debian's sources (once, cached
# outside the checkout: scripts/windows-deps.sh), then the launcher with the `windows` preset, and
# leaves in build/windows:
#   ORX-Rovivi/                        the release folder as an update installs it (with games/orx,
#                                      the demo game's build script and project)
#   ORX-Rovivi-<version>-windows-x64.zip   that folder zipped, as an update offer points to
#   demo-game/                         the demo game, with the Windows stand-in game as orx.exe
#   tools/                             orx-testgame.exe and orx-x360.exe with their libraries
# Options:
#   --e2e     then runs scripts/windows-e2e.sh: the Windows launcher under Wine against Linux ones
#   --tests   then builds the test programs for Windows (windows-test preset) and runs them under
#             Wine through CTest
# Idempotent: a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
say() { echo "windows: $*"; }

run_e2e=0 run_tests=0
for a in "$@"; do
    case "$a" in
    --e2e) run_e2e=1 ;;
    --tests) run_tests=1 ;;
    *) echo "usage: $0 [--e2e] [--tests]" >&2; exit 2 ;;
    esac
done

./scripts/deps.sh --windows
prefixes=$(./scripts/windows-deps.sh)
ORX_WINDOWS_QT=$(sed -n 's/^QT_PREFIX=//p' <<<"$prefixes")
ORX_WINDOWS_SDL=$(sed -n 's/^SDL_PREFIX=//p' <<<"$prefixes")
export ORX_WINDOWS_QT ORX_WINDOWS_SDL

# The Linux tools that prepare the demo game (orx-x360, orx-build), and for --e2e the Linux side.
say "building the Linux release (tools for the demo game)"
./scripts/build.sh release

out=$ROOT/build/windows
mkdir -p "$out"
build_preset() {
    local preset=$1 log=$out/$1-build.log
    cmake --preset "$preset" >"$log" 2>&1 || { tail -40 "$log" >&2; say "configuring $preset failed ($log)"; exit 1; }
    if ! cmake --build --preset "$preset" -- -j"$(nproc)" >>"$log" 2>&1; then
        grep -E -B2 -A6 'error|undefined reference' "$log" | head -80 >&2 || tail -80 "$log" >&2
        say "the $preset build failed (whole log in $log)"
        exit 1
    fi
}
say "building the launcher for Windows"
build_preset windows
bin=$out/cmake/bin

version=$(sed -n 's/^project(OrvexRovivi VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
objdump=x86_64-w64-mingw32-objdump
strip=x86_64-w64-mingw32-strip
# Where the libraries a program imports are looked for; anything found nowhere here is Windows' own.
lib_dirs=("$ORX_WINDOWS_QT/bin" "$ORX_WINDOWS_SDL/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix
          /usr/x86_64-w64-mingw32/lib)
find_lib() {
    local d
    for d in "${lib_dirs[@]}"; do
        [ -f "$d/$1" ] && { echo "$d/$1"; return 0; }
    done
    return 0
}
# Copies into folder $1 every library the files $2... import, and the libraries those import.
copy_imports() {
    local dest=$1 f name lib
    shift
    local queue=("$@") seen=" "
    while [ ${#queue[@]} -gt 0 ]; do
        f=${queue[0]}
        queue=("${queue[@]:1}")
        while read -r name; do
            case "$seen" in *" ${name,,} "*) continue ;; esac
            seen="$seen${name,,} "
            lib=$(find_lib "$name")
            [ -n "$lib" ] || continue
            # Without their symbols: a third of Qt's size and most of the C++ runtime's.
            "$strip" --strip-unneeded -o "$dest/$name" "$lib"
            queue+=("$lib")
        done < <("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p')
    done
}

# The release folder, made beside the old one and swapped in whole.
say "assembling the release folder"
release=$out/ORX-Rovivi
stage=$out/ORX-Rovivi.new
rm -rf "$stage"
mkdir -p "$stage"
"$strip" -o "$stage/ORXLauncher.exe" "$bin/ORXLauncher.exe"
stamp=$(git log -1 --format=%cd --date=format-local:'%Y-%m-%d %H:%M' 2>/dev/null || date -u '+%Y-%m-%d %H:%M')
printf 'ORX-Rovivi %s, packaged %s\r\n' "$version" "$stamp" >"$stage/VERSION.txt"
# The plugins the launcher loads: the window system, the native look, Windows' own TLS and the
# JPEG reader and writer (pictures); PNG is built into Qt Gui.
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll tls/qschannelbackend.dll imageformats/qjpeg.dll)
for p in "${plugins[@]}"; do
    mkdir -p "$stage/$(dirname "$p")"
    "$strip" --strip-unneeded -o "$stage/$p" "$ORX_WINDOWS_QT/plugins/$p"
done
copy_imports "$stage" "$stage/ORXLauncher.exe" "${plugins[@]/#/$stage/}"
# The game's folder makes it a released package (a launcher without one is a source build, which
# takes no update offers): the build script and the project it builds from. The demo's project is
# the stand-in game, which loads only libraries the launcher has too.
mkdir -p "$stage/games/orx/project"
cp resources/demo-game/build-game.cmd "$stage/games/orx/build-game.cmd"
cp resources/demo-game/project/VERSION "$stage/games/orx/project/VERSION"
"$strip" -o "$stage/games/orx/project/orx-testgame.exe" "$bin/orx-testgame.exe"
rm -rf "$release"
mv "$stage" "$release"

zip=$out/ORX-Rovivi-$version-windows-x64.zip
say "zipping it into $(basename "$zip")"
rm -f "$zip.part"
(cd "$out" && bsdtar --format zip -cf "$zip.part" ORX-Rovivi)
mv -f "$zip.part" "$zip"

# The Windows tools: the stand-in game and the disc tool, each with its libraries beside it.
tools=$out/tools
rm -rf "$tools"
mkdir -p "$tools"
for t in orx-testgame orx-x360; do
    "$strip" -o "$tools/$t.exe" "$bin/$t.exe"
done
copy_imports "$tools" "$tools"/*.exe

# The demo game as scripts/demo-game.sh prepares it, with the Windows stand-in as the game and its
# libraries beside it; build-game.cmd is the build script the Windows launcher runs.
say "preparing the demo game"
demo=$out/demo-game
mkdir -p "$demo"
cp resources/demo-game/build-game.cmd "$demo/build-game.cmd"
# A game built before from an older stand-in is built again.
cmp -s "$demo/orx.exe" "$tools/orx-testgame.exe" || rm -f "$demo/built.txt"
ORX_TESTGAME=$tools/orx-testgame.exe scripts/demo-game.sh "$ROOT/build/release/bin" "$demo" >"$out/demo-game.log" 2>&1 || {
    cat "$out/demo-game.log" >&2; say "the demo game could not be prepared"; exit 1; }
cp "$tools"/*.dll "$demo/"

size=$(du -k "$zip" | cut -f1)
say "done: $release ($(find "$release" -type f | wc -l) files), $zip ($((size / 1024)) MiB), $demo"

if [ "$run_tests" = 1 ]; then
    say "building the test programs for Windows"
    build_preset windows-test
    ctest --preset windows-test
fi
if [ "$run_e2e" = 1 ]; then
    exec scripts/windows-e2e.sh
fi
