# Sourced by run.sh: where nothing else is configured, starts the local development server (and
# stops it when the launcher ends), signs the launcher in to a demo account and prepares the demo
# game. Uses $bin and the array exec_args. ORX_RUN_PORT (default 7777, UDP on the next port) and
# ORX_RUN_STATE (default build; the server keeps its data in its dev-server folder) move the server.

# Development defaults (the settings file still wins): the router is left alone, since a search
# for it is multicast on the whole local network; switch "Open the game port on the router" on in
# Settings to use it.
if [ ! -f "$bin/defaults.ini" ]; then
    printf '[online]\nupnp=false\n' >"$bin/defaults.ini"
fi

settings="$bin/orx-launcher.ini"
configured_server=""
[ -f "$settings" ] && configured_server=$(sed -n 's/^address=//p' "$settings" | head -n 1)
dev_port="${ORX_RUN_PORT:-7777}"
dev_state="${ORX_RUN_STATE:-$PWD/build}"
dev_server_dir="$dev_state/dev-server"
wants_server=1
wants_demo=1
for a in "${exec_args[@]}"; do
    case "$a" in
    --server|--server=*|--config|--config=*|--help|-h|--version|-v) wants_server=0 wants_demo=0 ;;
    --user|--user=*) wants_demo=0 ;;
    esac
done
[ -n "$configured_server" ] && [ "$configured_server" != "127.0.0.1:$dev_port" ] && wants_server=0

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The demo account's password: made once, readable by the owner only, and handed to the launcher
# in its environment (never on a command line, where every user's process list shows it).
demo_password_file="$dev_server_dir/demo-password"
demo_password() {
    if [ ! -s "$demo_password_file" ]; then
        (umask 077 && head -c 24 /dev/urandom | base64 | tr -d '+/=\n' >"$demo_password_file")
    fi
    chmod 600 "$demo_password_file"
    cat "$demo_password_file"
}

if [ "$wants_server" = 1 ] && [ -x "$bin/orx-server" ] && port_free "$dev_port"; then
    mkdir -p "$dev_server_dir"
    server_log="$dev_server_dir/orx-server.out"
    "$bin/orx-server" --data "$dev_server_dir" --port "$dev_port" --udp-port $((dev_port + 1)) \
        --motd "Welcome to the local development server." >"$server_log" 2>&1 &
    server_pid=$!
    trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null' EXIT
    fingerprint=""
    for _ in $(seq 1 100); do
        fingerprint=$(sed -n 's/^orx-server: certificate sha256 //p' "$server_log")
        grep -q '^orx-server: listening' "$server_log" && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -q '^orx-server: listening' "$server_log"; then
        echo "run.sh: development server on 127.0.0.1:$dev_port (log: $server_log)"
        exec_args=(--server "127.0.0.1:$dev_port" ${fingerprint:+--fingerprint "$fingerprint"} "${exec_args[@]}")
        if [ "$wants_demo" = 1 ]; then
            # --register makes the account on the first run; later runs it turns into a login.
            ORX_DEV_PASSWORD=$(demo_password)
            export ORX_DEV_PASSWORD
            exec_args=(--user demo --register "${exec_args[@]}")
            echo "run.sh: signing in as \"demo\" (password in $demo_password_file)"
        fi
    else
        echo "run.sh: the development server did not start (see $server_log)" >&2
    fi
fi

# The demo game, built from the demo release into the game folder a development launcher uses
# ("game" beside it) unless the settings name another folder. ORX_NO_DEMO=1 skips it.
configured_game=""
[ -f "$settings" ] && configured_game=$(sed -n 's/^orx\\folder=//p' "$settings" | head -n 1)
if [ -z "$configured_game" ] && [ -z "${ORX_NO_DEMO:-}" ]; then
    mkdir -p "$dev_state"
    scripts/demo-game.sh "$bin" "$bin/game" >"$dev_state/demo-game.log" 2>&1 \
        && echo "run.sh: demo game ready in $bin/game" \
        || echo "run.sh: the demo game could not be prepared (see $dev_state/demo-game.log)" >&2
fi
