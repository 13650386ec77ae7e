# Sourced by run.sh: where nothing else is configured, starts the local development server (and
# stops it when the launcher ends) and prepares the demo game. Uses $bin and the array exec_args.

# Development defaults (the settings file still wins): the router is left alone, since a search
# for it is multicast on the whole local network; switch "Open the game port on the router" on in
# Settings to use it.
if [ ! -f "$bin/defaults.ini" ]; then
    printf '[online]\nupnp=false\n' >"$bin/defaults.ini"
fi

settings="$bin/orx-launcher.ini"
configured_server=""
[ -f "$settings" ] && configured_server=$(sed -n 's/^address=//p' "$settings" | head -n 1)
wants_server=1
for a in "${exec_args[@]}"; do
    case "$a" in --server|--server=*|--config|--config=*|--help|-h|--version|-v) wants_server=0 ;; esac
done
[ -n "$configured_server" ] && [ "$configured_server" != "127.0.0.1:7777" ] && wants_server=0

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

if [ "$wants_server" = 1 ] && [ -x "$bin/orx-server" ] && port_free 7777; then
    mkdir -p build/dev-server
    server_log="$PWD/build/dev-server/orx-server.out"
    "$bin/orx-server" --data "$PWD/build/dev-server" --motd "Welcome to the local development server." \
        >"$server_log" 2>&1 &
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
        echo "run.sh: development server on 127.0.0.1:7777 (log: $server_log)"
        exec_args=(--server 127.0.0.1:7777 ${fingerprint:+--fingerprint "$fingerprint"} "${exec_args[@]}")
    else
        echo "run.sh: the development server did not start (see $server_log)" >&2
    fi
fi

# The demo game, built from the demo release into the game folder a development launcher uses
# ("game" beside it) unless the settings name another folder. ORX_NO_DEMO=1 skips it.
configured_game=""
[ -f "$settings" ] && configured_game=$(sed -n 's/^orx\\folder=//p' "$settings" | head -n 1)
if [ -z "$configured_game" ] && [ -z "${ORX_NO_DEMO:-}" ]; then
    scripts/demo-game.sh "$bin" "$bin/game" >build/demo-game.log 2>&1 \
        && echo "run.sh: demo game ready in $bin/game" \
        || echo "run.sh: the demo game could not be prepared (see build/demo-game.log)" >&2
fi
