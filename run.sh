#!/usr/bin/env bash
# Installs what is missing, builds the launcher (release preset) and starts it. Where nothing else
# is configured it also starts the local development server and prepares the demo game.
# Arguments are passed to the launcher (try ./run.sh --help).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/build.sh release
bin="$PWD/build/release/bin"
exec_args=("$@")
[ -x scripts/dev-setup.sh ] && source scripts/dev-setup.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run.sh: no display found: running the launcher offscreen (its log: $bin/orx-launcher.log)"
    export QT_QPA_PLATFORM=offscreen
fi
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$PWD/build/runtime"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
"$bin/orx-launcher" "${exec_args[@]}"
