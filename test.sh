#!/usr/bin/env bash
# Installs what is missing, builds the test preset (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test through CTest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
# The Win32 platform suite runs every time: MinGW-w64 and Wine take under a minute to install and
# the suite about two more to build and run (README, "Testing the Windows layer").
./scripts/deps.sh --windows
./scripts/build.sh test
# A private runtime folder keeps Qt quiet without a desktop session.
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
ctest --preset test "$@"
