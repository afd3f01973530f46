#!/usr/bin/env bash
# level9-md5.sh QUARNIX CORPUS_DIR [SAVED]
#
# The level-9 output check: compresses every file of CORPUS_DIR at -19, -29,
# -39 and -49 on one thread and prints one line per output, "MD5 LEVEL FILE".
# With SAVED (such a list, kept from an earlier binary) it prints instead
# "all same", or the lines that differ (- saved, + now) and exits with 1.
#   bench/level9-md5.sh build/quarnix corpus/small > before.txt
#   ... change, rebuild ...
#   bench/level9-md5.sh build/quarnix corpus/small before.txt
set -euo pipefail
QRN=${1:?usage: level9-md5.sh QUARNIX CORPUS_DIR [SAVED]}
DIR=${2:?usage: level9-md5.sh QUARNIX CORPUS_DIR [SAVED]}
SAVED=${3:-}
[ -x "$QRN" ] || { echo "level9-md5.sh: $QRN is not a program" >&2; exit 2; }
[ -d "$DIR" ] || { echo "level9-md5.sh: $DIR is not a directory" >&2; exit 2; }
[ -z "$SAVED" ] || [ -f "$SAVED" ] || { echo "level9-md5.sh: no list $SAVED" >&2; exit 2; }

list() {
    local f name level sum
    for f in "$DIR"/*; do
        [ -f "$f" ] || continue
        name=$(basename "$f")
        for level in -19 -29 -39 -49; do
            sum=$("$QRN" "$level" -p1 -o < "$f" | md5sum | cut -d' ' -f1)
            echo "$sum $level $name"
        done
    done
}

if [ -z "$SAVED" ]; then
    list
    exit 0
fi
NOW=$(mktemp)
trap 'rm -f "$NOW"' EXIT
list > "$NOW"
if cmp -s "$SAVED" "$NOW"; then
    echo "all same"
    exit 0
fi
diff "$SAVED" "$NOW" | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
exit 1
