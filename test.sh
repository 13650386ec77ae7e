#!/usr/bin/env bash
# Installs what is missing, builds the test preset (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test through CTest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake --preset test >/dev/null
mkdir -p build
if ! cmake --build --preset test -- -j"$(nproc)" >build/test-build.log 2>&1; then
    tail -n 80 build/test-build.log >&2
    echo "test.sh: the build failed (whole log in build/test-build.log)" >&2
    exit 1
fi
# A private runtime folder keeps Qt quiet without a desktop session.
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
ctest --preset test "$@"
