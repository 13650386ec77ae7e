#!/usr/bin/env bash
# Extraction against the copy floor. Generates a disc image and a package once (kept for later
# runs) and extracts each once more to get its tree; then, in rounds, copies that tree with cp -r
# and extracts the image or package again, each into the work folder and followed by sync, the two
# taking turns going first. Reports the median over the rounds of the throughput ratio
# (extraction / cp -r, the same bytes both ways) and the extractor's peak memory.
#   bench/x360/run.sh [BUILD_DIR] [DISC_GIB] [WORK_DIR] [PACKAGE_GIB]
# ROUNDS (default 5) rounds; KINDS (default "disc package"); SOURCE_DIR (default WORK_DIR) holds the
# image, the package and their trees: put it on another file system (a tmpfs, say) to measure the
# extraction when the system cannot copy file to file and the bytes go through the buffer.
# Not part of the tests: it writes several GiB.
set -euo pipefail
BUILD=${1:-build/release}
DISC_GIB=${2:-1.25}
WORK=${3:-${TMPDIR:-/tmp}/orx-bench-x360}
PACKAGE_GIB=${4:-1}
SOURCE=${SOURCE_DIR:-$WORK}
BIN="$BUILD/bin"
for exe in bench_x360_makeimage bench_x360_makepackage bench_x360_extract; do
    [ -x "$BIN/$exe" ] || { echo "run.sh: $BIN/$exe is missing (cmake --build $BUILD --target $exe)" >&2; exit 2; }
done
mkdir -p "$WORK" "$SOURCE"

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

bench_kind() {
    local kind=$1 input flag=() size
    if [ "$kind" = disc ]; then
        size=$DISC_GIB; input="$SOURCE/synthetic-$size.iso"
        [ -f "$input" ] || { echo "generating $input ..."; "$BIN/bench_x360_makeimage" "$input.tmp" "$size"; mv "$input.tmp" "$input"; }
    else
        size=$PACKAGE_GIB; input="$SOURCE/synthetic-$size.pkg"; flag=(--package)
        [ -f "$input" ] || { echo "generating $input ..."; "$BIN/bench_x360_makepackage" "$input.tmp" "$size"; mv "$input.tmp" "$input"; }
    fi
    local tree="$SOURCE/tree-$kind-$size"
    [ -d "$tree" ] || "$BIN/bench_x360_extract" "${flag[@]}" "$input" "$tree" >/dev/null
    # Both contenders read from the page cache: the input and the tree once each beforehand.
    cat "$input" >/dev/null
    find "$tree" -type f -exec cat {} + >/dev/null

    local ratios=() ex_rates=() cp_rates=() peak=0 line out_bytes cp_s ex_s start end
    run_cp() {
        rm -rf "$WORK/copy"; sync
        start=$(now); cp -r "$tree" "$WORK/copy"; sync; end=$(now)
        cp_s=$(echo "$end - $start" | bc -l)
        rm -rf "$WORK/copy"
    }
    run_extract() {
        rm -rf "$WORK/out"; sync
        start=$(now); line=$("$BIN/bench_x360_extract" "${flag[@]}" "$input" "$WORK/out"); sync; end=$(now)
        ex_s=$(echo "$end - $start" | bc -l)
        rm -rf "$WORK/out"
    }
    for round in $(seq 1 "${ROUNDS:-5}"); do
        if [ $((round % 2)) = 1 ]; then run_cp; run_extract; else run_extract; run_cp; fi
        out_bytes=$(echo "$line" | sed -n 's/.*bytes=\([0-9]*\).*/\1/p')
        local p; p=$(echo "$line" | sed -n 's/.*peak_rss_kib=\([0-9]*\).*/\1/p')
        [ "$p" -gt "$peak" ] && peak=$p
        local cp_rate ex_rate
        cp_rate=$(echo "$out_bytes / $cp_s / 1048576" | bc -l)
        ex_rate=$(echo "$out_bytes / $ex_s / 1048576" | bc -l)
        printf '%s round %d: cp -r %.2f s (%.0f MiB/s), extract %.2f s (%.0f MiB/s), peak %d KiB\n' \
            "$kind" "$round" "$cp_s" "$cp_rate" "$ex_s" "$ex_rate" "$p"
        ratios+=("$(echo "$cp_s / $ex_s" | bc -l)")
        ex_rates+=("$ex_rate"); cp_rates+=("$cp_rate")
    done
    printf '%s extract: median %.0f MiB/s, cp -r: median %.0f MiB/s, median ratio of rounds %.2f (aim >= 1.0), peak memory %.1f MiB (aim < 64)\n' \
        "$kind" "$(printf '%s\n' "${ex_rates[@]}" | median)" "$(printf '%s\n' "${cp_rates[@]}" | median)" \
        "$(printf '%s\n' "${ratios[@]}" | median)" "$(echo "$peak / 1024" | bc -l)"
}

for kind in ${KINDS:-disc package}; do
    bench_kind "$kind"
done
