#!/usr/bin/env bash
# The Windows launcher as players get it (the release zip made by scripts/windows.sh, unpacked),
# run under Wine with a real window on a private Xvfb display and a fresh Wine prefix, against
# Linux programs:
#  1. its Build game page extracts the demo release with the launcher's own readers and runs the
#     release's games/orx/build-game.cmd through Wine's cmd.exe, which builds the game;
#  2. it signs in to a Linux orx-server over TLS with the pinned fingerprint (Schannel under Wine)
#     and plays a casual match with that game against a Linux launcher with a demo game of its
#     own; both log the acknowledged result and the server's database holds the agreed match.
# A screenshot of its window goes to build/screenshots/windows-launcher.png. Everything it starts
# ends with it; its files stay in build/windows/e2e (the logs are printed when a step fails).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/windows/e2e
rm -rf "$WORK"
mkdir -p "$WORK" "$ROOT/build/screenshots"
source scripts/windows-lib.sh
trap stop_all EXIT
say() { echo "windows-e2e: $*"; }
[ -x "$release/ORXLauncher.exe" ] || failed "no Windows release: run scripts/windows.sh first"
[ -x "$linux_bin/orx-server" ] || failed "no Linux release build: run scripts/windows.sh first"
start_display_and_prefix
say "Xvfb on $ORX_WINE_DISPLAY, a fresh Wine prefix made in $prefix_seconds s"
start_server
say "orx-server on 127.0.0.1:$server_port over TLS, fingerprint $fingerprint"

# The release as a player unpacks it.
zip=$(ls "$ROOT"/build/windows/ORX-Rovivi-*-windows-x64.zip)
mkdir -p "$WORK/installed"
bsdtar -xf "$zip" -C "$WORK/installed"
release=$WORK/installed/ORX-Rovivi
installed_game=$release/games/orx

# 1. The Build game page of the unpacked release: the launcher's own readers extract the demo
# release, the title update is put in place, and the game's build-game.cmd runs through Wine's
# cmd.exe, which installs the stand-in game from the release's project folder.
say "Build game page: extracting the demo release and running build-game.cmd"
demo_release=$ROOT/build/windows/demo-game/demo-release
settings "$WORK/build/orx-launcher.ini" "" "orx\\update_package=$(winpath "$demo_release/TU_ORX_0003O2")"
begin=$SECONDS
start_windows_launcher "$WORK/build" --page build --extract "$(winpath "$demo_release/Ironmere IV (World).iso")"
build_pid=$launcher_pid
wait_for 180 "extraction by the Windows launcher" has_log "$WORK/build" "build orx: files in place ("
wait_for 120 "end of the build script" has_log "$WORK/build" "build orx: build script exited with code"
has_log "$WORK/build" "build orx: build script exited with code 0" || failed "build-game.cmd failed"
grep -F "build orx: running" "$WORK/build/orx-launcher.log" | grep -qiF 'games\orx\build-game.cmd' ||
    failed "the launcher did not run the release's build-game.cmd"
[ -f "$installed_game/disc/default.xex" ] || failed "no default.xex extracted"
cmp -s "$installed_game/orx.exe" "$installed_game/project/orx-testgame.exe" || failed "orx.exe is not the stand-in game"
cmp -s "$installed_game/built.txt" "$installed_game/project/VERSION" || failed "build-game.cmd wrote no built.txt"
say "Build game page: extracted, build-game.cmd ran through cmd.exe, the game built ($((SECONDS - begin)) s)"
kill "$build_pid" 2>/dev/null || true
"$wineserver" -k 2>/dev/null || true

# 2. A casual match: the Windows launcher with the game it has just built against a Linux launcher
# with a demo game of its own.
linux_game=$WORK/linux-game
scripts/demo-game.sh "$linux_bin" "$linux_game" >"$WORK/linux-game.out" 2>&1 || failed "the Linux demo game"
settings "$WORK/windows/orx-launcher.ini" ""
settings "$WORK/linux/orx-launcher.ini" "$linux_game"
export ORX_TESTGAME_ARGS=$quick_game
match=(--server "127.0.0.1:$server_port" --fingerprint "$fingerprint" --register --queue casual --auto-accept 1)

say "starting the Windows launcher under Wine"
begin=$SECONDS
ORX_DEV_PASSWORD=windows-pw start_windows_launcher "$WORK/windows" --user winplayer "${match[@]}"
wait_for 120 "sign-in of the Windows launcher" has_log "$WORK/windows" "server: logged in as winplayer"
say "the Windows launcher signed in $((SECONDS - begin)) s after its start;" \
    "$(grep -o 'tls backend.*' "$WORK/windows/orx-launcher.log" | tail -1)"
grep -q 'tls backend schannel' "$WORK/windows/orx-launcher.log" || failed "the Windows launcher did not use Schannel"

ORX_DEV_PASSWORD=linux-pw start_linux_launcher "$WORK/linux" --user linuxplayer "${match[@]}"
acked="acknowledged by the server"
wait_for 180 "acknowledged result in the Windows launcher's log" has_log "$WORK/windows" "$acked"
wait_for 60 "acknowledged result in the Linux launcher's log" has_log "$WORK/linux" "$acked"
say "both launchers logged the acknowledged result ($((SECONDS - begin)) s after the start)"
grep -F "game orx/1: started" "$WORK/windows/orx-launcher.log" | grep -qiF 'games/orx/orx.exe' ||
    grep -F "game orx/1: started" "$WORK/windows/orx-launcher.log" | grep -qiF 'games\orx\orx.exe' ||
    failed "the Windows launcher did not play with the game it built"

# The window as Wine drew it on the display.
shot=$ROOT/build/screenshots/windows-launcher.png
if import -display "$ORX_WINE_DISPLAY" -window root "$shot" 2>/dev/null; then
    say "screenshot of the Windows launcher: $shot"
fi

# The server's record of the match: both players, agreed.
match_record() {
    python3 - "$WORK/server/orx-server.sqlite" <<'EOF'
import json, sqlite3, sys
db = sqlite3.connect("file:" + sys.argv[1] + "?mode=ro", uri=True)
for (data,) in db.execute("SELECT data FROM matches"):
    record = json.loads(data)
    if {record.get("p1_name"), record.get("p2_name")} == {"winplayer", "linuxplayer"} \
            and record.get("status") == "agreed":
        print(json.dumps(record))
        sys.exit(0)
sys.exit(1)
EOF
}
wait_for 30 "record of the match in the server's database" match_record
say "the server's database holds the match: $(match_record | cut -c1-160)..."
say "passed"
