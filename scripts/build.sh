#!/usr/bin/env bash
# Installs what is missing, then configures and builds one CMake preset quietly; on failure shows
# the end of the build log.  Usage: scripts/build.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
preset="$1"
./scripts/deps.sh
cmake --preset "$preset" >/dev/null
mkdir -p build
if ! cmake --build --preset "$preset" -- -j"$(nproc)" >"build/$preset-build.log" 2>&1; then
    tail -n 80 "build/$preset-build.log" >&2
    echo "the $preset build failed (whole log in build/$preset-build.log)" >&2
    exit 1
fi
