#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer, build/fuzz)
# and runs each in turn, one process at a time at low priority, until it has made the given number
# of executions or run the given time, whichever comes first. Findings (crash-*, leak-*, timeout-*,
# oom-*) land in build/fuzz/findings/<target>; the corpus grows in build/fuzz/corpus/<target>,
# started from fuzz/corpus/<target> and the seeds fuzz_seeds writes.
#
# Usage: scripts/fuzz.sh [--seconds N] [--runs N] [--only t1,t2] [--no-build] [--list]
#   --seconds N   time per target (default 3600)
#   --runs N      executions per target (default 10000000)
#   --only LIST   just these targets (names as in --list, with or without "fuzz_")
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=3600
runs=10000000
only=""
build=1
list=0
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --list) list=1; shift ;;
    -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

# Every target with what it needs beyond the defaults: the longest input, and whether it talks to
# loopback sockets (those run in a network namespace of their own where one can be made).
targets=(
    "fuzz_server_session 8192 net"
    "fuzz_server_queries 8192 net"
    "fuzz_server_match 8192 net"
    "fuzz_server_lobby 8192 net"
    "fuzz_server_report 65536 net"
    "fuzz_server_messages 16384 net"
    "fuzz_menu_request 4096 net"
    "fuzz_status_line 1024 -"
    "fuzz_controls 8192 -"
    "fuzz_update_offer 8192 -"
    "fuzz_disc 300000 -"
    "fuzz_package 200000 -"
    "fuzz_xex 16384 -"
)
if [ "$list" = 1 ]; then
    for t in "${targets[@]}"; do echo "${t%% *}"; done
    exit 0
fi

out=build/fuzz
if [ "$build" = 1 ]; then
    if command -v ccache >/dev/null; then
        export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
        export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
    fi
    cmake --preset fuzz >/dev/null
    mkdir -p build
    if ! nice -n 10 cmake --build --preset fuzz -- -j"$(nproc)" >build/fuzz-build.log 2>&1; then
        tail -n 60 build/fuzz-build.log >&2
        echo "fuzz.sh: the build failed (whole log in build/fuzz-build.log)" >&2
        exit 1
    fi
fi

# Seeds: the committed ones and the generated ones, added to whatever corpus earlier runs grew.
"$out/bin/fuzz_seeds" "$out/seeds" >/dev/null
for t in "${targets[@]}"; do
    name="${t%% *}"
    mkdir -p "$out/corpus/$name" "$out/findings/$name"
    for src in "fuzz/corpus/$name" "$out/seeds/$name"; do
        [ -d "$src" ] && cp -n "$src"/* "$out/corpus/$name/" 2>/dev/null || true
    done
done

# Loopback only: targets that open sockets run without any other network when the system allows it.
isolate=()
if unshare -rn true 2>/dev/null && command -v ip >/dev/null; then
    isolate=(unshare -rn sh -c 'ip link set lo up && exec "$@"' isolate)
fi

export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
# Two frames of allocation and free stacks: AddressSanitizer's fast unwinder reads past Qt's frames
# (built without frame pointers) into whatever is on the stack, so nearly every deeper stack is new,
# and its store of stacks, never freed, grew by up to a third of a megabyte an input on the server
# targets until the memory limit ended the run. Replay a finding with ASAN_OPTIONS unset for the
# full stacks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:malloc_context_size=2}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
summary=()
for t in "${targets[@]}"; do
    read -r name maxlen net <<<"$t"
    if [ -n "$only" ] && ! [[ ",$only," == *",$name,"* || ",$only," == *",${name#fuzz_},"* ]]; then
        continue
    fi
    log="$out/findings/$name.log"
    wrap=()
    [ "$net" = net ] && wrap=("${isolate[@]}")
    echo "fuzz.sh: $name for up to $seconds s or $runs executions"
    mark="$out/findings/.$name.start"
    # A folder of temporary files per target, emptied first: a run that was killed leaves its
    # server database and launcher folders behind.
    tmp="$out/tmp/$name"
    rm -rf "$tmp"
    mkdir -p "$tmp"
    touch "$mark"
    set +e
    # stdin from /dev/null: the server reads its console there.
    TMPDIR="$PWD/$tmp" nice -n 10 "${wrap[@]}" "$out/bin/$name" "$out/corpus/$name" -runs="$runs" -max_total_time="$seconds" \
        -max_len="$maxlen" -timeout=25 -rss_limit_mb=2560 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$out/findings/$name/" </dev/null >"$log" 2>&1
    rc=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    found=$(find "$out/findings/$name" -type f -newer "$mark" | wc -l)
    line="$(printf '%-22s %12s executions %8s/s  findings %s' "$name" "${execs:-?}" "${speed:-?}" "$found")"
    if [ "$rc" != 0 ] || [ "$found" != 0 ]; then
        failed=1
        line="$line  (exit $rc; see $log)"
    fi
    echo "$line"
    summary+=("$line")
done
echo
printf '%s\n' "${summary[@]}"
exit "$failed"
