#!/usr/bin/env bash
# The long run of the dropped-link test: two launchers play ranked matches against orx-server and
# each match has one server connection dropped at a random moment (while playing, as either side
# reports, after the verdict), then a server restart mid-match. Prints the figures at the end.
#   scripts/no-result-lost.sh [DROPS] [SEED]     (default 50 drops; the build is build/test)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
build=build/test
[ -d "$build" ] || ./scripts/build.sh test
cmake --build "$build" --target test_noresultlost orx-match-driver orx-server orx-testgame >/dev/null
runtime=$(mktemp -d)
chmod 700 "$runtime"
trap 'rm -rf "$runtime"' EXIT
start=$(date +%s)
XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen ORX_BIN_DIR="$PWD/$build/bin" ORX_SOURCE_DIR="$PWD" \
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
    ORX_DROPS="${1:-50}" ORX_DROP_SEED="${2:-20261210}" \
    "$build/tests/test_noresultlost" | grep -E '^(QINFO|PASS|FAIL|Totals)|^   Loc'
echo "no-result-lost: done in $(($(date +%s) - start)) s"
