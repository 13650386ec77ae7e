# Sourced by scripts/windows-e2e.sh and bench/windows/bench_windows.sh: a private X display with a
# fresh Wine prefix, a Linux orx-server over TLS, settings files for launchers, and waits.
# Expects ROOT (the checkout) and WORK (a folder of the run's own, emptied by the caller).
#   ORX_TIME_SCALE  stretches every wait on a loaded machine (default 1)

linux_bin=$ROOT/build/release/bin
release=$ROOT/build/windows/ORX-Rovivi
time_scale=${ORX_TIME_SCALE:-1}
bg_pids=()
xvfb_pid=""
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)
export WINEPREFIX=$WORK/wine-prefix ORX_WINE_PREFIX=$WORK/wine-prefix ORX_WINE_DESKTOP=1920x1200
export XDG_RUNTIME_DIR=$WORK/runtime
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

# Ends everything the run started; the trap of the sourcing script calls it.
stop_all() {
    local p
    for p in "${bg_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    "$wineserver" -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    for p in "${bg_pids[@]}"; do wait "$p" 2>/dev/null || true; done
    return 0
}

# Prints the end of every log of the run and stops with an error.
failed() {
    echo "$(basename "$0"): FAILED: $*" >&2
    local f
    for f in "$WORK"/server.err "$WORK"/*/orx-launcher.log "$WORK"/*.out; do
        [ -f "$f" ] && { echo "==== $f" >&2; tail -n 60 "$f" >&2; }
    done
    find "$WORK" -name game.log 2>/dev/null | while read -r g; do echo "==== $g" >&2; tail -n 20 "$g" >&2; done
    exit 1
}

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every 100 ms until it succeeds.
wait_for() {
    local limit=$(($1 * time_scale)) what=$2 begin=$SECONDS
    shift 2
    until "$@" >/dev/null 2>&1; do
        [ $((SECONDS - begin)) -lt "$limit" ] || failed "no $what within $limit s"
        sleep 0.1
    done
}
# has_log FOLDER TEXT: the launcher whose settings are in FOLDER logged a line containing TEXT.
has_log() { grep -qF -- "$2" "$1/orx-launcher.log" 2>/dev/null; }
# Wine shows the Unix root as drive Z:.
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
free_udp_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",0)); print(s.getsockname()[1])'
}

# A private Xvfb for Wine's windows and a fresh Wine prefix made on it.
start_display_and_prefix() {
    Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
    xvfb_pid=$!
    wait_for 10 "X display" test -s "$WORK/display"
    export ORX_WINE_DISPLAY=":$(head -n1 "$WORK/display")"
    local begin=$SECONDS probe
    probe=$(find /usr/lib/x86_64-linux-gnu/wine /usr/lib/wine -name hostname.exe -path '*x86_64-windows*' 2>/dev/null | head -1)
    "$ROOT/scripts/wine-run.sh" "$probe" >/dev/null 2>&1 || true
    [ -f "$WINEPREFIX/.orx-ready" ] || failed "the Wine prefix was not made"
    prefix_seconds=$((SECONDS - begin))
}

# A Linux orx-server over TLS on free ports with the quick pace of the tests; sets server_port
# and fingerprint.
start_server() {
    server_port=$(free_port)
    local udp
    udp=$(free_udp_port)
    "$linux_bin/orx-server" --data "$WORK/server" --port "$server_port" --udp-port "$udp" --no-throttle \
        --pair-interval 200 --series-wait 12 --udp-wait 3000 "$@" >"$WORK/server.out" 2>"$WORK/server.err" &
    bg_pids+=($!)
    wait_for 30 "server start" grep -q '^orx-server: listening' "$WORK/server.out"
    fingerprint=$(sed -n 's/^orx-server: certificate sha256 //p' "$WORK/server.out")
    [ -n "$fingerprint" ] || failed "the server printed no certificate fingerprint (not TLS?)"
}

# settings FILE GAME_FOLDER [KEY=VALUE...]: a launcher's settings file with its game folder (a
# Windows path for the Windows launcher; empty: the launcher's own), a free game port and the
# router left alone; further keys of the [games] group ("orx\update_package=...") follow.
settings() {
    local file=$1 folder=$2
    shift 2
    mkdir -p "$(dirname "$file")"
    {
        printf '[games]\n'
        [ -z "$folder" ] || printf 'orx\\folder=%s\n' "${folder//\\/\\\\}"
        local kv
        for kv in "$@"; do printf '%s=%s\n' "${kv%%=*}" "$(v=${kv#*=}; echo "${v//\\/\\\\}")"; done
        printf '\n[online]\ngame_port=%s\nupnp=false\n' "$(free_udp_port)"
    } >"$file"
}

# The stand-in game's pace in every run: a quick boot and short matches.
quick_game="--boot-ms 100 --match-ms 500 --frame-ms 10"

# start_windows_launcher FOLDER ARGS...: the release's ORXLauncher.exe under Wine with the
# settings in FOLDER; its output in FOLDER.out. Sets launcher_pid.
start_windows_launcher() {
    local folder=$1
    shift
    "$ROOT/scripts/wine-run.sh" "$release/ORXLauncher.exe" --config "$(winpath "$folder/orx-launcher.ini")" "$@" \
        >"$folder.out" 2>&1 &
    launcher_pid=$!
    bg_pids+=("$launcher_pid")
}
# start_linux_launcher FOLDER ARGS...: the Linux release launcher, offscreen. Sets launcher_pid.
start_linux_launcher() {
    local folder=$1
    shift
    QT_QPA_PLATFORM=offscreen "$linux_bin/orx-launcher" --config "$folder/orx-launcher.ini" "$@" \
        >"$folder.out" 2>&1 &
    launcher_pid=$!
    bg_pids+=("$launcher_pid")
}
