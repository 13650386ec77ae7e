#!/usr/bin/env bash
# Starts a second launcher on this machine beside the one ./run.sh started: the same local
# development server, certificate fingerprint and game folder, but its own settings (under
# build/second-launcher), its own game port and its own demo account "demo2". Arguments go to the
# launcher, e.g.  scripts/second-launcher.sh --queue casual --auto-accept 1
# ORX_RUN_BIN (default build/release/bin), ORX_RUN_PORT (default 7777), ORX_RUN_STATE (default
# build) and ORX_RUN_GAME_PORT (default 7002) move it, as they move ./run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${ORX_RUN_BIN:-$PWD/build/release/bin}"
port="${ORX_RUN_PORT:-7777}"
state="${ORX_RUN_STATE:-$PWD/build}"
game_port="${ORX_RUN_GAME_PORT:-7002}"
server_dir="$state/dev-server"
server_log="$server_dir/orx-server.out"
config_dir="$state/second-launcher"

if [ ! -x "$bin/orx-launcher" ]; then
    echo "second-launcher: no launcher in $bin: run ./run.sh first" >&2
    exit 1
fi
if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || [ ! -f "$server_log" ]; then
    echo "second-launcher: no local development server runs on 127.0.0.1:$port: start ./run.sh first and keep it open" >&2
    exit 1
fi
fingerprint=$(sed -n 's/^orx-server: certificate sha256 //p' "$server_log" | tail -n 1)

# The second launcher's own settings: the game folder and the server of the first, another game port.
mkdir -p "$config_dir"
settings="$config_dir/orx-launcher.ini"
if [ ! -f "$settings" ]; then
    game_dir=""
    [ -f "$bin/orx-launcher.ini" ] && game_dir=$(sed -n 's/^orx\\folder=//p' "$bin/orx-launcher.ini" | head -n 1)
    printf '[online]\ngame_port=%s\nupnp=false\n\n[games]\norx\\folder=%s\n' "$game_port" "${game_dir:-$bin/game}" >"$settings"
fi

password_file="$server_dir/demo2-password"
if [ ! -s "$password_file" ]; then
    (umask 077 && head -c 24 /dev/urandom | base64 | tr -d '+/=\n' >"$password_file")
fi
chmod 600 "$password_file"
# In the environment only: a command line is visible to every user of the machine.
ORX_DEV_PASSWORD=$(cat "$password_file")
export ORX_DEV_PASSWORD

source scripts/launcher-env.sh
launcher_env second-launcher "$config_dir/orx-launcher.log" "$state"
echo "second-launcher: signing in as \"demo2\" on 127.0.0.1:$port, game port $game_port"
exec "$bin/orx-launcher" --config "$settings" --server "127.0.0.1:$port" ${fingerprint:+--fingerprint "$fingerprint"} \
    --user demo2 --register "$@"
