#!/usr/bin/env bash
# The Windows launcher under Wine beside the Linux release build, in one run on one server:
#  - start to "signed in" (process start to the log line "server: logged in as ..."), median and
#    spread of RUNS (default 5) per side; the Windows side twice: from a stopped Wine (wineserver
#    ended before each run: what a player's first start under Wine costs) and with Wine's server
#    kept running (wineserver -p: closer to Windows itself, where the system is up already);
#  - the resident memory of the signed-in launcher (the Windows process under Wine, and Wine's
#    wineserver beside it; the Linux process alone);
#  - the size of the release zip and folder.
# Needs scripts/windows.sh run once (the release, the Linux release build).
#   bench/windows/bench_windows.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
WORK=$ROOT/build/windows/bench
runs=${1:-5}
rm -rf "$WORK"
mkdir -p "$WORK"
source scripts/windows-lib.sh
trap stop_all EXIT
[ -x "$release/ORXLauncher.exe" ] || failed "no Windows release: run scripts/windows.sh first"

start_display_and_prefix
start_server
echo "bench_windows: Wine prefix made in $prefix_seconds s; orx-server on 127.0.0.1:$server_port (TLS)"

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
# The Unix process that is the Windows launcher (Wine names it by the Windows program).
windows_process() {
    local p
    for p in $(pgrep -f 'ORXLauncher.exe'); do
        [ "$(readlink "/proc/$p/exe")" != /usr/bin/bash ] && [[ "$(readlink "/proc/$p/exe")" == *wine* ]] &&
            { echo "$p"; return 0; }
    done
    return 1
}

# one_run SIDE N: sets run_ms (start to signed in), rss_launcher and rss_server (KiB).
one_run() {
    local side=$1 n=$2 folder=$WORK/$1-$2 t0 t1
    if [ "$side" != linux ]; then
        settings "$folder/orx-launcher.ini" "$(winpath "$ROOT/build/windows/demo-game")"
    else
        settings "$folder/orx-launcher.ini" "$folder/game"
    fi
    t0=$(date +%s%N)
    if [ "$side" != linux ]; then
        ORX_DEV_PASSWORD=bench-pw start_windows_launcher "$folder" --user "bench$side" --register \
            --server "127.0.0.1:$server_port" --fingerprint "$fingerprint"
    else
        ORX_DEV_PASSWORD=bench-pw start_linux_launcher "$folder" --user "bench$side" --register \
            --server "127.0.0.1:$server_port" --fingerprint "$fingerprint"
    fi
    wait_for 120 "sign-in ($side, run $n)" has_log "$folder" "server: logged in as bench$side"
    t1=$(date +%s%N)
    if [ "$side" != linux ]; then
        local p
        p=$(windows_process) || failed "no Windows launcher process found"
        rss_launcher=$(rss_kib "$p")
        rss_server=$(rss_kib "$(pgrep -f wineserver | head -1)")
    else
        rss_launcher=$(rss_kib "$launcher_pid")
        rss_server=0
    fi
    kill "$launcher_pid" 2>/dev/null || true
    if [ "$side" = windows ]; then
        "$wineserver" -k 2>/dev/null || true
    elif [ "$side" = warm ]; then
        # The launcher alone ends; the persistent wineserver stays for the next run.
        local p
        if p=$(windows_process); then
            kill "$p" 2>/dev/null
            wait_for 30 "end of the Windows launcher" bash -c "! kill -0 $p 2>/dev/null"
        fi
    fi
    wait "$launcher_pid" 2>/dev/null || true
    run_ms=$(((t1 - t0) / 1000000))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
declare -A times
for side in linux windows warm; do times[$side]=""; done
for n in $(seq 1 "$runs"); do
    # Alternating sides, so that a busy moment of the machine does not fall on one side only.
    for side in linux windows warm; do
        [ "$side" = warm ] && "$wineserver" -p
        one_run "$side" "$n"
        times[$side]+="$run_ms "
        eval "rss_${side}=$rss_launcher rss_${side}_server=$rss_server"
        [ "$side" = warm ] && { "$wineserver" -k 2>/dev/null || true; }
    done
done

lin=$(tr ' ' '\n' <<<"${times[linux]}" | grep . | median)
win=$(tr ' ' '\n' <<<"${times[windows]}" | grep . | median)
warm=$(tr ' ' '\n' <<<"${times[warm]}" | grep . | median)
zip=$(ls "$ROOT"/build/windows/ORX-Rovivi-*-windows-x64.zip)
echo
echo "start to signed in, median of $runs (ms): linux ${lin} (runs: ${times[linux]})"
echo "  windows under Wine, Wine stopped before each run: ${win} (runs: ${times[windows]})"
echo "  windows under Wine, Wine's server kept running:    ${warm} (runs: ${times[warm]})"
awk -v w="$win" -v m="$warm" -v l="$lin" \
    'BEGIN { printf "ratio windows/linux: %.2f from a stopped Wine, %.2f with Wine running (aim <= 2)\n", w / l, m / l }'
echo "resident memory, signed in: windows launcher $((rss_windows / 1024)) MiB (+ wineserver $((rss_windows_server / 1024)) MiB), linux launcher $((rss_linux / 1024)) MiB"
echo "release zip: $(basename "$zip") $(du -k "$zip" | cut -f1) KiB; folder $(du -sk "$release" | cut -f1) KiB, $(find "$release" -type f | wc -l) files"
