#!/usr/bin/env bash
# run-bench.sh BUILD_DIR CORPUS_DIR OUT_DIR [qrn-bench options...]
#
# The whole benchmark on one corpus: qrn-bench (table.txt, results.csv, and
# summary.md with the totals as Markdown), the chart (chart.png, chart.svg)
# and the whole-program timings
# (whole-program.txt, .csv), all in OUT_DIR. The whole-program run takes
# quarnix -10 as the fast level and, as the strong one, the level with the best
# ratio in this run (WP_FAST and WP_STRONG override them).
set -euo pipefail
BUILD=${1:?usage: run-bench.sh BUILD_DIR CORPUS_DIR OUT_DIR [qrn-bench options...]}
CORPUS=${2:?usage: run-bench.sh BUILD_DIR CORPUS_DIR OUT_DIR [qrn-bench options...]}
OUT=${3:?usage: run-bench.sh BUILD_DIR CORPUS_DIR OUT_DIR [qrn-bench options...]}
shift 3
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$OUT"

"$BUILD/bench/qrn-bench" --csv "$OUT/results.csv" "$@" "$CORPUS" | tee "$OUT/table.txt"
"$HERE/summary.sh" "$OUT/results.csv" >"$OUT/summary.md"

CPU=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')
TITLE="qrn-bench, $(basename "$CORPUS") corpus ($(awk -F, '$1 == "TOTAL" { print $2; exit }' "$OUT/results.csv") bytes), one thread, $CPU, $(date -u +%Y-%m-%d)"
"$HERE/plot.sh" "$OUT/results.csv" "$OUT/chart.png" "$TITLE"
"$HERE/plot.sh" "$OUT/results.csv" "$OUT/chart.svg" "$TITLE"

STRONG_DEFAULT=$(awk -F, '$1 == "TOTAL" && $4 == "quarnix" && $17 == "ok" && $12 > best { best = $12; flag = "-" $5 $6 }
                          END { print flag ? flag : "-32" }' "$OUT/results.csv")
WP_FAST=${WP_FAST:--10} WP_STRONG=${WP_STRONG:-$STRONG_DEFAULT} \
    "$HERE/whole_program.sh" "$BUILD/quarnix" "$CORPUS" "$OUT/whole-program"
echo "results in $OUT"
