#!/usr/bin/env bash
# Disc extraction against the copy floor: generates a synthetic image once (kept for later runs),
# then in the same run copies the image with cp and extracts it, each followed by sync, and reports
# extraction throughput as a ratio to cp's plus the extractor's peak memory.
#   bench/x360/run.sh [BUILD_DIR] [SIZE_GIB] [WORK_DIR]      (ROUNDS=3 by default)
# Not part of the tests: it writes several GiB. The best round of each contender counts, and the two
# take turns going first, so a busy machine skews both alike.
set -euo pipefail
BUILD=${1:-build/release}
SIZE=${2:-4}
WORK=${3:-${TMPDIR:-/tmp}/orx-bench-x360}
BIN="$BUILD/bin"
for exe in bench_x360_makeimage bench_x360_extract; do
    [ -x "$BIN/$exe" ] || { echo "run.sh: $BIN/$exe is missing (cmake --build $BUILD --target $exe)" >&2; exit 2; }
done
mkdir -p "$WORK"
IMAGE="$WORK/synthetic-$SIZE.iso"
if [ ! -f "$IMAGE" ]; then
    echo "generating $IMAGE ..."
    "$BIN/bench_x360_makeimage" "$IMAGE.tmp" "$SIZE"
    mv "$IMAGE.tmp" "$IMAGE"
fi
BYTES=$(stat -c %s "$IMAGE")
# Read the image once so both contenders start with the same cache state.
cat "$IMAGE" > /dev/null

now() { date +%s.%N; }
best_cp=""
best_ex=""
ratios=()
run_cp() {
    rm -rf "$WORK/copy"; sync
    local start end
    start=$(now); cp "$IMAGE" "$WORK/copy"; sync; end=$(now)
    cp_s=$(echo "$end - $start" | bc -l)
    rm -f "$WORK/copy"
}
run_extract() {
    rm -rf "$WORK/out"; sync
    local start end
    start=$(now); line=$("$BIN/bench_x360_extract" "$IMAGE" "$WORK/out"); sync; end=$(now)
    ex_s=$(echo "$end - $start" | bc -l)
    rm -rf "$WORK/out"
}
for round in $(seq 1 "${ROUNDS:-3}"); do
    if [ $((round % 2)) = 1 ]; then run_cp; run_extract; else run_extract; run_cp; fi
    out_bytes=$(echo "$line" | sed -n 's/.*bytes=\([0-9]*\).*/\1/p')
    peak=$(echo "$line" | sed -n 's/.*peak_rss_kib=\([0-9]*\).*/\1/p')
    cp_rate=$(echo "$BYTES / $cp_s / 1048576" | bc -l)
    ex_rate=$(echo "$out_bytes / $ex_s / 1048576" | bc -l)
    printf 'round %d: cp %.2f s (%.0f MiB/s), extract %.2f s (%.0f MiB/s), peak %d KiB\n' \
        "$round" "$cp_s" "$cp_rate" "$ex_s" "$ex_rate" "$peak"
    ratios+=("$(echo "$ex_rate / $cp_rate" | bc -l)")
    if [ -z "$best_cp" ] || [ "$(echo "$cp_rate > $best_cp" | bc -l)" = 1 ]; then best_cp=$cp_rate; fi
    if [ -z "$best_ex" ] || [ "$(echo "$ex_rate > $best_ex" | bc -l)" = 1 ]; then best_ex=$ex_rate; fi
done
rm -rf "$WORK/copy" "$WORK/out"
median=$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
printf 'x360 extract: %.0f MiB/s, cp: %.0f MiB/s (best rounds), ratio %.2f, median ratio of rounds %.2f (aim >= 0.85), peak memory %.1f MiB (aim < 64)\n' \
    "$best_ex" "$best_cp" "$(echo "$best_ex / $best_cp" | bc -l)" "$median" "$(echo "$peak / 1024" | bc -l)"
