#!/usr/bin/env bash
# whole_program.sh QUARNIX CORPUS_DIR OUT_PREFIX
#
# Times the programs themselves on the largest file of the corpus: quarnix at
# one fast and one strong level with -p1, -p2 (and more workers where the
# machine has more processors), beside zstd -T1/-T2 and xz -T1/-T2. Wall time
# (best of WP_REPEAT runs) and peak memory (largest "Maximum resident set
# size" of /usr/bin/time -v). Outputs go to /dev/null; the one compressed copy
# that decompression needs sits on tmpfs. Writes OUT_PREFIX.txt and .csv.
#
# Environment: WP_FAST (default -10), WP_STRONG (default -32), WP_REPEAT (3),
# WP_THREADS (default "1 2", plus 4, 8, ... up to the processor count).
set -euo pipefail
export LC_ALL=C
QRN=${1:?usage: whole_program.sh QUARNIX CORPUS_DIR OUT_PREFIX}
CORPUS=${2:?usage: whole_program.sh QUARNIX CORPUS_DIR OUT_PREFIX}
OUT=${3:?usage: whole_program.sh QUARNIX CORPUS_DIR OUT_PREFIX}
FAST=${WP_FAST:--10}
STRONG=${WP_STRONG:--32}
REPEAT=${WP_REPEAT:-3}

[[ -x /usr/bin/time ]] || { echo "whole_program.sh: /usr/bin/time missing (apt-get install time)" >&2; exit 1; }
for tool in zstd xz; do
    command -v $tool >/dev/null || { echo "whole_program.sh: $tool missing (apt-get install zstd xz-utils)" >&2; exit 1; }
done

CPUS=$(nproc)
if [[ -z ${WP_THREADS:-} ]]; then
    WP_THREADS="1 2"
    for ((t = 4; t <= CPUS; t *= 2)); do WP_THREADS+=" $t"; done
    if ((CPUS > 2 && (CPUS & (CPUS - 1)) != 0)); then WP_THREADS+=" $CPUS"; fi
fi

INPUT=$(find "$CORPUS" -maxdepth 1 -type f ! -name MANIFEST ! -name '.*' -printf '%s %p\n' | sort -k1,1nr -k2 | head -n 1 | cut -d' ' -f2-)
[[ -n $INPUT ]] || { echo "whole_program.sh: no file in $CORPUS" >&2; exit 1; }
BYTES=$(stat -c %s "$INPUT")

BASE=/dev/shm
[[ -d $BASE && -w $BASE ]] || BASE=${TMPDIR:-/tmp}
TMP=$(mktemp -d "$BASE/qrn-wp.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
LOAD=$(cut -d' ' -f1-3 /proc/loadavg)
cat "$INPUT" >/dev/null   # into the page cache before the first timing

CSV_OUT=$OUT.csv
TXT_OUT=$OUT.txt
echo "program,setting,threads,direction,input_bytes,output_bytes,wall_s,mbps,peak_rss_mib" >"$CSV_OUT"

# measure PROGRAM SETTING THREADS DIRECTION OUTPUT_BYTES -- command...
# The command writes to standard output, which goes to /dev/null.
measure() {
    local program=$1 setting=$2 threads=$3 direction=$4 out_bytes=$5
    shift 6
    local best="" peak=0 i start end wall rss
    for ((i = 0; i < REPEAT; i++)); do
        start=$EPOCHREALTIME
        /usr/bin/time -v -o "$TMP/time.txt" "$@" >/dev/null
        end=$EPOCHREALTIME
        wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
        rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$TMP/time.txt")
        if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
        if ((rss > peak)); then peak=$rss; fi
    done
    awk -v p="$program" -v s="$setting" -v t="$threads" -v d="$direction" -v n="$BYTES" -v o="$out_bytes" \
        -v w="$best" -v m="$peak" 'BEGIN { printf "%s,%s,%s,%s,%d,%d,%.4f,%.1f,%.1f\n", p, s, t, d, n, o, w, n / 1e6 / w, m / 1024 }' \
        >>"$CSV_OUT"
}

# compressed_copy NAME command... : the compressed file on tmpfs, its size printed
compressed_copy() {
    local name=$1
    shift
    "$@" >"$TMP/$name"
    stat -c %s "$TMP/$name"
}

for level in "$FAST" "$STRONG"; do
    size=$(compressed_copy "q$level.qrn" "$QRN" "$level" -p1 -o -f "$INPUT")
    for t in $WP_THREADS; do
        measure quarnix "$level" "$t" compress "$size" -- "$QRN" "$level" -p"$t" -o -f "$INPUT"
    done
    for t in $WP_THREADS; do
        measure quarnix "$level" "$t" decompress "$BYTES" -- "$QRN" -d -p"$t" -o -f "$TMP/q$level.qrn"
    done
done
for level in -1 -19; do
    size=$(compressed_copy "z$level.zst" zstd -q "$level" -T1 -c "$INPUT")
    for t in $WP_THREADS; do
        measure zstd "$level" "$t" compress "$size" -- zstd -q "$level" -T"$t" -c "$INPUT"
    done
    measure zstd "$level" 1 decompress "$BYTES" -- zstd -q -d -c "$TMP/z$level.zst"
done
size=$(compressed_copy x.xz xz -6 -T1 -c "$INPUT")
for t in $WP_THREADS; do
    measure xz -6 "$t" compress "$size" -- xz -6 -T"$t" -c "$INPUT"
done
for t in $WP_THREADS; do
    # A single-threaded xz stream is one block; -T2 output has several.
    compressed_copy "x$t.xz" xz -6 -T"$t" -c "$INPUT" >/dev/null
    measure xz -6 "$t" decompress "$BYTES" -- xz -d -T"$t" -c "$TMP/x$t.xz"
done

{
    echo "Whole program on $(basename "$INPUT") ($BYTES bytes), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'),"
    echo "$CPUS processors, $(date -u '+%Y-%m-%d %H:%M UTC'), load average at start $LOAD;"
    echo "best wall time of $REPEAT runs, output to /dev/null."
    echo "MB/s = 10^6 input bytes (original size) per second; peak = largest maximum resident set size."
    echo
    awk -F, 'NR == 1 { printf "%-8s %-8s %7s %-10s %12s %8s %9s %10s\n", "program", "setting", "threads", "direction", "bytes out", "wall s", "MB/s", "peak MiB"; next }
        { printf "%-8s %-8s %7s %-10s %12s %8.3f %9.1f %10.1f\n", $1, $2, $3, $4, ($4 == "compress" ? $6 : "-"), $7, $8, $9 }' "$CSV_OUT"
} >"$TXT_OUT"
cat "$TXT_OUT"
