#!/usr/bin/env bash
# tree.sh QUARNIX OUT_PREFIX
#
# Times the programs on a directory tree of many files: a copy of /usr/include
# and /usr/share/doc (whatever this machine has there; regular files only)
# made on tmpfs, compressed and restored whole by each program:
#   quarnix -r -pN LEVEL tree DEST, then quarnix -d -r -pN DEST/tree RESTORE;
#   zstd -r -TN LEVEL --output-dir-mirror, then zstd -d -r --output-dir-mirror;
#   lz4 -r LEVEL on a copy of the tree (lz4 writes each output beside its
#   input; the inputs are removed afterwards, untimed), then lz4 -d -r on a
#   copy of the compressed tree.
# Every program writes into directories of its own, and every restored tree
# must equal the original (diff -r), or its row is marked FAILED and the script
# ends with status 1. Wall time is the best of TREE_REPEAT runs; peak memory is
# the largest "Maximum resident set size" of /usr/bin/time -v over them.
# Writes OUT_PREFIX.txt (the table) and OUT_PREFIX.csv.
#
# Environment:
#   TREE_SOURCES      directories copied into the tree, each as a directory
#                     named after it (default "/usr/include /usr/share/doc")
#   TREE_QUICK=1      quick mode: the tree is a sample of about TREE_MAX_MB
#                     (default 40) and zstd -19 is left out unless TREE_ZSTD19=1
#   TREE_MAX_MB       cut the tree to about this many MB: every k-th file of
#                     each source in path order, k chosen so the sample fits
#                     (default: no cut, or 40 in quick mode)
#   TREE_QRN_LEVELS   quarnix levels (default "-10 -12 -22 -32"; -19, -29, -39
#                     and -49 only store raw, so they are skipped)
#   TREE_ZSTD_LEVELS  zstd levels (default "-1 -3 -19")
#   TREE_ZSTD19=0     skip zstd -19, the slow one (default 1, 0 in quick mode)
#   TREE_LZ4_LEVELS   lz4 levels (default "-1 -9"; lz4 has no threads)
#   TREE_THREADS      quarnix -p and zstd -T counts (default "1 2")
#   TREE_REPEAT       runs per timing, best wall time kept (default 1)
#   TREE_TMP          where the scratch trees go (default /dev/shm; the
#                     system's temporary directory when that is missing or has
#                     less than 3.5 times the tree free)
# An empty level list leaves that program out.
#
# The step functions are called through variables (PREPARE_C and the like),
# which shellcheck takes for unreachable code:
# shellcheck disable=SC2317
set -euo pipefail
export LC_ALL=C
QRN=${1:?usage: tree.sh QUARNIX OUT_PREFIX}
OUT=${2:?usage: tree.sh QUARNIX OUT_PREFIX}

QUICK=${TREE_QUICK:-0}
SOURCES=${TREE_SOURCES:-/usr/include /usr/share/doc}
if [[ $QUICK == 1 ]]; then MAX_MB=${TREE_MAX_MB:-40}; else MAX_MB=${TREE_MAX_MB:-0}; fi
QRN_LEVELS=${TREE_QRN_LEVELS--10 -12 -22 -32}
ZSTD_LEVELS=${TREE_ZSTD_LEVELS--1 -3 -19}
if [[ ${TREE_ZSTD19:-$((QUICK == 1 ? 0 : 1))} != 1 ]]; then
    ZSTD_LEVELS=$(tr ' ' '\n' <<<"$ZSTD_LEVELS" | grep -vx -- '-19' | tr '\n' ' ' || true)
fi
LZ4_LEVELS=${TREE_LZ4_LEVELS--1 -9}
THREADS=${TREE_THREADS:-1 2}
REPEAT=${TREE_REPEAT:-1}

die() { echo "tree.sh: $*" >&2; exit 1; }
[[ -x /usr/bin/time ]] || die "/usr/bin/time missing (apt-get install time)"
[[ -x $QRN ]] || die "$QRN is not an executable"
QRN=$(cd "$(dirname "$QRN")" && pwd)/$(basename "$QRN")
[[ -z ${ZSTD_LEVELS// /} ]] || command -v zstd >/dev/null || die "zstd missing (apt-get install zstd)"
[[ -z ${LZ4_LEVELS// /} ]] || command -v lz4 >/dev/null || die "lz4 missing (apt-get install lz4)"
mkdir -p "$(dirname "$OUT")"
OUT=$(cd "$(dirname "$OUT")" && pwd)/$(basename "$OUT")

# The file list: regular, readable files of every source, relative to it. Names
# with a newline are left out (the list is one name a line), and so are names
# that end in a compressed suffix, which the restoring steps would take for
# their own outputs.
LISTS=$(mktemp -d "${TMPDIR:-/tmp}/qrn-tree-lists.XXXXXX")
WORK=
cleanup() { rm -rf "$LISTS" ${WORK:+"$WORK"}; }
trap cleanup EXIT
declare -a NAMES=() DIRS=()
total=0
for src in $SOURCES; do
    [[ -d $src ]] || { echo "tree.sh: $src is not a directory; left out" >&2; continue; }
    name=$(basename "$src")
    i=2
    while [[ " ${NAMES[*]} " == *" $name "* ]]; do name=$(basename "$src")-$i; i=$((i + 1)); done
    NAMES+=("$name")
    DIRS+=("$src")
    (cd "$src" && find . -type f -readable ! -name $'*\n*' ! -name '*.qrn' ! -name '*.zst' ! -name '*.lz4' \
        -printf '%s %P\n' | sort -k2) >"$LISTS/$name"
    total=$((total + $(awk '{ s += $1 } END { print s + 0 }' "$LISTS/$name")))
done
((${#NAMES[@]} > 0)) || die "no source directory found in: $SOURCES"
if ((MAX_MB > 0 && total > MAX_MB * 1000000)); then
    # every k-th file, so the sample spreads over the whole tree
    step=$(((total + MAX_MB * 1000000 - 1) / (MAX_MB * 1000000)))
    for name in "${NAMES[@]}"; do
        awk -v k="$step" '(NR - 1) % k == 0' "$LISTS/$name" >"$LISTS/$name.cut"
        mv "$LISTS/$name.cut" "$LISTS/$name"
    done
fi
total=0 files=0
for name in "${NAMES[@]}"; do
    total=$((total + $(awk '{ s += $1 } END { print s + 0 }' "$LISTS/$name")))
    files=$((files + $(wc -l <"$LISTS/$name")))
done
((files > 0)) || die "no files in: $SOURCES"

# Scratch space: the tree plus, one program at a time, its compressed and its
# restored copy (lz4: two compressed copies).
BASE=${TREE_TMP:-/dev/shm}
avail() { df -B1 --output=avail "$1" 2>/dev/null | tail -n 1 | tr -d ' '; }
need=$((total * 7 / 2))
if [[ ! -d $BASE || ! -w $BASE || $(avail "$BASE") -lt $need ]]; then
    echo "tree.sh: $BASE is missing or short of space; using ${TMPDIR:-/tmp} (timings include disk writes)" >&2
    BASE=${TMPDIR:-/tmp}
fi
WORK=$(mktemp -d "$BASE/qrn-tree.XXXXXX")
mkdir "$WORK/tree"
for i in "${!NAMES[@]}"; do
    mkdir "$WORK/tree/${NAMES[$i]}"
    cut -d' ' -f2- "$LISTS/${NAMES[$i]}" |
        (cd "${DIRS[$i]}" && xargs -r -d '\n' cp --parents -t "$WORK/tree/${NAMES[$i]}" --)
done
cd "$WORK"
FSTYPE=$(stat -f -c %T "$WORK")
LOAD=$(cut -d' ' -f1-3 /proc/loadavg)

CSV=$OUT.csv
TXT=$OUT.txt
echo "tool,level,threads,compress_s,decompress_s,compress_rss_mib,decompress_rss_mib,input_bytes,compressed_bytes,ratio,round_trip" >"$CSV"
FAILED=0

# timed PREPARE COMMAND...: runs PREPARE (a function; untimed) and then the
# command under /usr/bin/time, TREE_REPEAT times; sets WALL (best, seconds)
# and RSS (largest, KiB). Returns 1 when a run fails.
timed() {
    local prepare=$1 i start end wall rss
    shift
    WALL="" RSS=0
    for ((i = 0; i < REPEAT; i++)); do
        $prepare
        start=$EPOCHREALTIME
        if ! /usr/bin/time -v -o "$WORK/time.txt" "$@" >"$WORK/run.log" 2>&1; then
            sed 's/^/    /' "$WORK/run.log" | tail -n 5 >&2
            return 1
        fi
        end=$EPOCHREALTIME
        wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
        rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
        if [[ -z $WALL ]] || awk -v a="$wall" -v b="$WALL" 'BEGIN { exit !(a < b) }'; then WALL=$wall; fi
        ((rss > RSS)) && RSS=$rss
    done
    return 0
}

bytes_below() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

# row TOOL LEVEL THREADS: times $COMPRESS (after $PREPARE_C) and $DECOMPRESS
# (after $PREPARE_D), checks that restored/tree equals tree, adds a CSV row.
row() {
    local tool=$1 level=$2 threads=$3 c_wall="" c_rss=0 d_wall="" d_rss=0 size=0 ok=ok
    echo "tree.sh: $tool $level, $threads thread(s)" >&2
    if timed "$PREPARE_C" "${COMPRESS[@]}"; then
        c_wall=$WALL c_rss=$RSS
        $AFTER_C
        size=$(bytes_below compressed)
        if timed "$PREPARE_D" "${DECOMPRESS[@]}"; then
            d_wall=$WALL d_rss=$RSS
            $AFTER_D
            diff -r -q tree restored/tree >"$WORK/diff.txt" 2>&1 || ok=FAILED
        else
            ok=FAILED
        fi
    else
        ok=FAILED
    fi
    if [[ $ok != ok ]]; then
        echo "tree.sh: $tool $level with $threads thread(s): the round trip failed" >&2
        head -n 5 "$WORK/diff.txt" >&2 2>/dev/null || true
        FAILED=1
    fi
    awk -v t="$tool" -v l="$level" -v n="$threads" -v cw="$c_wall" -v dw="$d_wall" -v cr="$c_rss" -v dr="$d_rss" \
        -v i="$total" -v o="$size" -v ok="$ok" \
        'BEGIN { printf "%s,%s,%s,%s,%s,%.1f,%.1f,%d,%d,%s,%s\n", t, l, n, cw, dw, cr / 1024, dr / 1024, i, o,
                 (o > 0 ? sprintf("%.3f", i / o) : ""), ok }' >>"$CSV"
    rm -rf compressed restored
    : >"$WORK/diff.txt"
}

fresh_compressed() { rm -rf compressed; mkdir compressed; }
fresh_restored() { rm -rf restored; mkdir restored; }
nothing() { :; }

# quarnix: DEST/tree is created as the tree is walked.
for level in $QRN_LEVELS; do
    if [[ $level == -[1-4]9 ]]; then
        echo "tree.sh: quarnix $level stores raw for now; left out" >&2
        continue
    fi
    for t in $THREADS; do
        PREPARE_C=fresh_compressed AFTER_C=nothing PREPARE_D=fresh_restored AFTER_D=nothing
        COMPRESS=("$QRN" "$level" -r -p"$t" tree compressed)
        DECOMPRESS=("$QRN" -d -r -p"$t" compressed/tree restored)
        row quarnix "$level" "$t"
    done
done

# zstd: the mirror repeats the input's path below the output directory, so
# decompression runs inside "compressed" (env -C; env then becomes zstd, so
# time still sees zstd's own memory). Decompression has no threads in zstd.
for level in $ZSTD_LEVELS; do
    for t in $THREADS; do
        PREPARE_C=fresh_compressed AFTER_C=nothing PREPARE_D=fresh_restored AFTER_D=nothing
        COMPRESS=(zstd -q "$level" -T"$t" -r tree --output-dir-mirror compressed)
        DECOMPRESS=(env -C compressed zstd -q -d -r tree --output-dir-mirror ../restored)
        row zstd "$level" "$t"
    done
done

# lz4: outputs beside inputs, so it works on copies (made untimed) and the
# inputs it leaves behind are removed before sizes are taken.
lz4_copy_tree() { fresh_compressed; cp -r tree compressed/; }
lz4_drop_inputs() { find compressed -type f ! -name '*.lz4' -delete; }
lz4_copy_compressed() { fresh_restored; cp -r compressed/tree restored/; }
lz4_drop_compressed() { find restored -type f -name '*.lz4' -delete; }
for level in $LZ4_LEVELS; do
    PREPARE_C=lz4_copy_tree AFTER_C=lz4_drop_inputs PREPARE_D=lz4_copy_compressed AFTER_D=lz4_drop_compressed
    COMPRESS=(lz4 -q "$level" -r compressed/tree)
    DECOMPRESS=(lz4 -q -d -r restored/tree)
    row lz4 "$level" 1
done

{
    echo "Tree of $files files, $total bytes (${NAMES[*]} from $SOURCES$( ((MAX_MB > 0)) && echo ", sampled to about $MAX_MB MB")),"
    echo "on $FSTYPE; $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) processors,"
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), load average at start $LOAD; best wall time of $REPEAT run(s)."
    echo "Threads: quarnix -p, zstd -T (zstd decompresses on one thread). Peak = largest maximum resident set size."
    echo
    awk -F, 'NR == 1 { printf "%-8s %-6s %7s %9s %9s %9s %9s %15s %7s  %s\n", "tool", "level", "threads", "comp s", "decomp s",
                       "comp MiB", "dec MiB", "compressed", "ratio", "round trip"; next }
        { printf "%-8s %-6s %7s %9s %9s %9.1f %9.1f %15s %7s  %s\n", $1, $2, $3, ($4 == "" ? "-" : $4), ($5 == "" ? "-" : $5),
                 $6, $7, $9, ($10 == "" ? "-" : $10), $11 }' "$CSV"
} >"$TXT"
cat "$TXT"
exit "$FAILED"
