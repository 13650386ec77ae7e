#!/usr/bin/env bash
# The Windows launcher as players get it (build/windows/ORX-Rovivi, made by scripts/windows.sh),
# run under Wine with a real window on a private Xvfb display and a fresh Wine prefix, against
# Linux programs:
#  1. it signs in to a Linux orx-server over TLS with the pinned fingerprint (Schannel under Wine)
#     and plays a casual match against a Linux launcher, each with its own demo game; both log the
#     acknowledged result and the server's database holds the match;
#  2. its Build game page extracts the demo release with its own readers and runs build-game.cmd
#     through Wine's cmd.exe.
# A screenshot of its window goes to build/screenshots/windows-launcher.png. Everything it starts
# ends with it; its files are in build/windows/e2e (logs printed when a step fails).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
out=$ROOT/build/windows
release=$out/ORX-Rovivi
linux_bin=$ROOT/build/release/bin
work=$out/e2e
say() { echo "windows-e2e: $*"; }
[ -x "$release/ORXLauncher.exe" ] || { echo "windows-e2e: no Windows release: run scripts/windows.sh first" >&2; exit 1; }
[ -x "$linux_bin/orx-server" ] || { echo "windows-e2e: no Linux release build: run scripts/windows.sh first" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work" "$ROOT/build/screenshots"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
# A loaded machine gets longer waits (ORX_TIME_SCALE, as the tests use).
scale=${ORX_TIME_SCALE:-1}
deadline_s() { echo $(($1 * scale)); }

pids=()
xvfb=""
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)
export WINEPREFIX=$work/wine-prefix
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    "$wineserver" -k 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    return 0
}
trap cleanup EXIT

failed() {
    echo "windows-e2e: FAILED: $*" >&2
    for f in "$work"/server.err "$work"/*/orx-launcher.log; do
        [ -f "$f" ] && { echo "==== $f" >&2; tail -n 60 "$f" >&2; }
    done
    find "$work" -name game.log -newer "$work/server.err" 2>/dev/null | while read -r g; do
        echo "==== $g" >&2; tail -n 20 "$g" >&2; done
    exit 1
}
# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND every 200 ms until it succeeds.
wait_for() {
    local limit=$(( $(date +%s) + $(deadline_s "$1") )) what=$2
    shift 2
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$limit" ] || failed "no $what within $(deadline_s "$1") s"
        sleep 0.2
    done
}
has_log() { grep -qF -- "$2" "$1/orx-launcher.log" 2>/dev/null; }
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
free_udp_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",0)); print(s.getsockname()[1])'; }

# The display: Wine draws its virtual desktop there, the window of the launcher on it.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
wait_for 10 "X display" test -s "$work/display"
export ORX_WINE_DISPLAY=":$(head -n1 "$work/display")" ORX_WINE_PREFIX=$WINEPREFIX
say "Xvfb on $ORX_WINE_DISPLAY; making a fresh Wine prefix"
start=$SECONDS
scripts/wine-run.sh /usr/lib/wine/x86_64-windows/hostname.exe >/dev/null 2>&1 ||
    scripts/wine-run.sh "$(find /usr/lib/wine -name 'hostname.exe' | head -1)" >/dev/null 2>&1 || true
[ -f "$WINEPREFIX/.orx-ready" ] || failed "the Wine prefix was not made"
say "Wine prefix ready ($((SECONDS - start)) s)"

# The Linux server, TLS, with the test pace.
port=$(free_port)
udp=$(free_udp_port)
"$linux_bin/orx-server" --data "$work/server" --port "$port" --udp-port "$udp" --no-throttle \
    --pair-interval 200 --series-wait 12 --udp-wait 3000 >"$work/server.out" 2>"$work/server.err" &
server=$!
pids+=("$server")
wait_for 30 "server start" grep -q '^orx-server: listening' "$work/server.out"
fingerprint=$(sed -n 's/^orx-server: certificate sha256 //p' "$work/server.out")
[ -n "$fingerprint" ] || failed "the server printed no fingerprint (not TLS?)"
say "orx-server on 127.0.0.1:$port (TLS, $fingerprint)"

# The two players' settings: their own game folder and game port, the router left alone.
settings() { # FILE GAME_FOLDER GAME_PORT
    mkdir -p "$(dirname "$1")"
    printf '[games]\norx\\folder=%s\n\n[online]\ngame_port=%s\nupnp=false\n' "$2" "$3" >"$1"
}
linux_game=$work/linux-game
scripts/demo-game.sh "$linux_bin" "$linux_game" >"$work/linux-game.log" 2>&1 || failed "the Linux demo game"
win_dir=$work/windows
win_game=$work/windows-game
cp -r "$out/demo-game" "$win_game"
settings "$work/linux/orx-launcher.ini" "$linux_game" "$(free_udp_port)"
settings "$win_dir/orx-launcher.ini" "$(winpath "$win_game" | sed 's/\\/\\\\/g')" "$(free_udp_port)"

quick_game="--boot-ms 100 --match-ms 500 --frame-ms 10"
common=(--server "127.0.0.1:$port" --fingerprint "$fingerprint" --register --queue casual --auto-accept 1)

say "starting the Windows launcher (Wine) and the Linux launcher"
start=$SECONDS
(
    export ORX_DEV_PASSWORD=windows-pw ORX_TESTGAME_ARGS="$quick_game"
    exec scripts/wine-run.sh "$release/ORXLauncher.exe" --config "$(winpath "$win_dir/orx-launcher.ini")" \
        --user winplayer "${common[@]}"
) >"$work/windows.out" 2>&1 &
pids+=($!)
wait_for 120 "sign-in of the Windows launcher" has_log "$win_dir" "server: logged in as winplayer"
signed_in=$((SECONDS - start))
say "Windows launcher signed in over TLS (${signed_in} s after its start)"
grep -q 'tls backend' "$win_dir/orx-launcher.log" && grep 'tls backend' "$win_dir/orx-launcher.log" | tail -1 |
    sed 's/^[^ ]* [^ ]* /windows-e2e: windows launcher: /'

(
    export ORX_DEV_PASSWORD=linux-pw ORX_TESTGAME_ARGS="$quick_game" QT_QPA_PLATFORM=offscreen
    exec "$linux_bin/orx-launcher" --config "$work/linux/orx-launcher.ini" --user linuxplayer "${common[@]}"
) >"$work/linux.out" 2>&1 &
pids+=($!)

acked="acknowledged by the server"
wait_for 180 "acknowledged result in the Windows launcher's log" has_log "$win_dir" "$acked"
wait_for 60 "acknowledged result in the Linux launcher's log" has_log "$work/linux" "$acked"
say "both launchers logged the acknowledged result ($((SECONDS - start)) s)"

# The window as Wine drew it on the display.
shot=$ROOT/build/screenshots/windows-launcher.png
import -display "$ORX_WINE_DISPLAY" -window root "$shot" 2>/dev/null && say "screenshot: $shot"

# The server's record of the match, read once the server has written it.
match_recorded() {
    python3 - "$work/server/orx-server.sqlite" <<'EOF'
import json, sqlite3, sys
db = sqlite3.connect("file:" + sys.argv[1] + "?mode=ro", uri=True)
for (data,) in db.execute("SELECT data FROM matches"):
    text = json.dumps(json.loads(data))
    if "winplayer" in text and "linuxplayer" in text:
        print(text)
        sys.exit(0)
sys.exit(1)
EOF
}
wait_for 30 "match in the server's database" match_recorded
say "the server's database holds the match: $(match_recorded | cut -c1-200)"

for p in "${pids[@]:1}"; do kill "$p" 2>/dev/null || true; done
"$wineserver" -k 2>/dev/null || true

# The Build game page: extract the demo release with the launcher's own readers, put the title
# update in place and run build-game.cmd through cmd.exe.
say "Build game page: extracting the demo release and running build-game.cmd"
build_dir=$work/build-page
build_game=$work/build-game
mkdir -p "$build_game/project"
cp resources/demo-game/build-game.cmd "$build_game/"
cp resources/demo-game/project/VERSION "$build_game/project/"
demo_release=$out/demo-game/demo-release
settings "$build_dir/orx-launcher.ini" "$(winpath "$build_game" | sed 's/\\/\\\\/g')" "$(free_udp_port)"
printf 'orx\\update_package=%s\n' "$(winpath "$demo_release/TU_ORX_0003O2" | sed 's/\\/\\\\/g')" \
    >>"$build_dir/orx-launcher.ini"
# The [games] group is the file's first: the update's key joins it.
python3 - "$build_dir/orx-launcher.ini" <<'EOF'
import sys
lines = open(sys.argv[1]).read().splitlines()
extra = lines.pop()
lines.insert(lines.index("[games]") + 1, extra)
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
EOF
start=$SECONDS
(
    export ORX_TESTGAME="$(winpath "$out/tools/orx-testgame.exe")"
    exec scripts/wine-run.sh "$release/ORXLauncher.exe" --config "$(winpath "$build_dir/orx-launcher.ini")" \
        --page build --extract "$(winpath "$demo_release/Ironmere IV (World).iso")"
) >"$work/build-page.out" 2>&1 &
pids+=($!)
wait_for 180 "extraction by the Windows launcher" has_log "$build_dir" "build orx: files in place ("
wait_for 120 "build script run" has_log "$build_dir" "build orx: build script exited with code"
has_log "$build_dir" "build orx: build script exited with code 0" || failed "build-game.cmd failed"
grep -F "build orx: running" "$build_dir/orx-launcher.log" | grep -q 'build-game.cmd' || failed "not build-game.cmd"
[ -f "$build_game/disc/default.xex" ] || failed "no extracted default.xex"
cmp -s "$build_game/orx.exe" "$out/tools/orx-testgame.exe" || failed "orx.exe is not the stand-in game"
cmp -s "$build_game/built.txt" "$build_game/project/VERSION" || failed "built.txt was not written"
say "Build game page: extracted, build-game.cmd ran through cmd.exe, orx.exe in place ($((SECONDS - start)) s)"
say "passed"
