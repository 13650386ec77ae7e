# Sourced by run.sh and scripts/second-launcher.sh before they start a launcher:
#   launcher_env NAME LOG STATE
# Without a display the launcher runs offscreen (NAME says so and where its LOG is); without a
# runtime folder it gets a private one under STATE.
launcher_env() {
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
        echo "$1: no display found: running the launcher offscreen (its log: $2)"
        export QT_QPA_PLATFORM=offscreen
    fi
    if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
        export XDG_RUNTIME_DIR="$3/runtime"
        mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    fi
}
