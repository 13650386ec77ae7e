#!/usr/bin/env bash
# Installs what is missing, builds the launcher (release preset) and starts it. Where nothing else
# is configured it also starts the local development server and prepares the demo game.
# Arguments are passed to the launcher (try ./run.sh --help).
set -euo pipefail
cd "$(dirname "$0")"
# ORX_RUN_BIN runs binaries built elsewhere instead (the tests use their own build); ORX_RUN_STATE
# moves what the run keeps (server data, demo passwords, logs) out of build/.
if [ -n "${ORX_RUN_BIN:-}" ]; then
    bin="$ORX_RUN_BIN"
else
    ./scripts/build.sh release
    bin="$PWD/build/release/bin"
fi
state_dir="${ORX_RUN_STATE:-$PWD/build}"
exec_args=("$@")
[ -x scripts/dev-setup.sh ] && source scripts/dev-setup.sh

source scripts/launcher-env.sh
launcher_env run.sh "$bin/orx-launcher.log" "$state_dir"
# In the background so that a TERM or INT for this script reaches the launcher too (a shell that
# waits for its child would leave it running); it then closes as its window would.
"$bin/orx-launcher" "${exec_args[@]}" &
launcher_pid=$!
trap 'kill -TERM "$launcher_pid" 2>/dev/null' TERM INT
status=0
wait "$launcher_pid" || status=$?
# A trapped signal ends the first wait early: wait for the launcher itself to end.
while kill -0 "$launcher_pid" 2>/dev/null; do
    status=0
    wait "$launcher_pid" || status=$?
done
exit "$status"
