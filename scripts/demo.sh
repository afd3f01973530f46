#!/usr/bin/env bash
# Compresses and restores a built-in sample with every method and level,
# printing sizes, ratio and time, and checking every restored file.
set -euo pipefail
QRN=${1:-build/quarnix}
QRN=$(cd "$(dirname "$QRN")" && pwd)/$(basename "$QRN")
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quarnix-demo.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# The sample: this project's own sources (text) followed by the quarnix
# executable itself (machine code and tables).
SAMPLE=$WORK/sample.bin
"$ROOT/scripts/make-sample.sh" "$SAMPLE" "$QRN"
SIZE=$(stat -c %s "$SAMPLE")
printf 'sample: %d bytes (project sources + the quarnix executable)\n\n' "$SIZE"
printf '%-7s %12s %8s %12s %12s  %s\n' level packed ratio 'pack ms' 'unpack ms' restored
now_ms() { date +%s%3N; }
for opt in 10 11 12 19 20 21 22 29 30 31 32 39 49; do
    t0=$(now_ms)
    "$QRN" -$opt -f "$SAMPLE" "$WORK/s.qrn"
    t1=$(now_ms)
    "$QRN" -d -f "$WORK/s.qrn" "$WORK/restored"
    t2=$(now_ms)
    packed=$(stat -c %s "$WORK/s.qrn")
    if cmp -s "$SAMPLE" "$WORK/restored"; then ok=yes; else ok=NO; fi
    ratio=$(awk -v a="$SIZE" -v b="$packed" 'BEGIN { printf "%.3f", a / b }')
    printf '%-7s %12d %8s %12d %12d  %s\n' "-$opt" "$packed" "$ratio" $((t1 - t0)) $((t2 - t1)) "$ok"
    rm -f "$WORK/s.qrn" "$WORK/restored"
    [ "$ok" = yes ] || exit 1
done
echo
echo "ratio = original size / container size; a level shown near 1.000 stores its blocks raw."
