#!/usr/bin/env bash
# make-corpus-small.sh DIR
#
# Builds the quick benchmark corpus in DIR (21 MB): the first bytes of each of
# the full corpus's nine files, as many as MANIFEST.small (beside this script)
# gives as its size, and DIR/MANIFEST with what was built.
#
# Environment:
#   FULL_CORPUS=DIR   a full corpus already built by make-corpus.sh to cut
#                     from; without it one is built in a scratch directory
#                     first (about 120 MB of downloads) and removed afterwards
#   CORPUS_CACHE=DIR  passed on to make-corpus.sh
set -euo pipefail
export LC_ALL=C

OUT=${1:?usage: make-corpus-small.sh DIR}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

FULL=${FULL_CORPUS:-}
if [[ -z $FULL ]]; then
    FULL=$(mktemp -d "${TMPDIR:-/tmp}/qrn-corpus-full.XXXXXX")
    trap 'rm -rf "$FULL"' EXIT
    "$HERE/make-corpus.sh" "$FULL" >/dev/null
fi
[[ -f $FULL/MANIFEST ]] || { echo "make-corpus-small: $FULL has no MANIFEST (not a full corpus)" >&2; exit 1; }

rm -f "$OUT/MANIFEST"
{
    echo "# benchmark corpus, small set (first N bytes of each full-set file); columns: name, size in bytes, sha256, description"
    grep '^# sources:' "$FULL/MANIFEST"
    total=0
    while IFS=$'\t' read -r name cut _; do
        head -c "$cut" "$FULL/$name" >"$OUT/$name"
        size=$(stat -c %s "$OUT/$name")
        total=$((total + size))
        description=$(awk -F'\t' -v n="$name" '$1 == n { print $4 }' "$FULL/MANIFEST")
        printf '%s\t%s\t%s\t%s\n' "$name" "$size" "$(sha256sum <"$OUT/$name" | cut -d' ' -f1)" \
            "$description (first $cut bytes)"
    done < <(grep -v '^#' "$HERE/MANIFEST.small")
    echo "# total $total bytes"
} >"$OUT/MANIFEST"
cat "$OUT/MANIFEST"
"$HERE/check-manifest.sh" "$HERE/MANIFEST.small" "$OUT" ||
    echo "make-corpus-small: WARNING: the corpus differs from MANIFEST.small (above); results will not match published ones" >&2
