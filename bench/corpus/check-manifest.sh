#!/usr/bin/env bash
# check-manifest.sh MANIFEST DIR
#
# Checks that DIR holds every file MANIFEST lists (tab-separated name, size,
# SHA-256, ...; lines starting with # are comments) with that size and SHA-256.
# Prints one line per file that differs or is missing and exits 1 when there is
# one; prints one summary line and exits 0 when all match.
set -euo pipefail
MANIFEST=${1:?usage: check-manifest.sh MANIFEST DIR}
DIR=${2:?usage: check-manifest.sh MANIFEST DIR}
checked=0 bad=0
while IFS=$'\t' read -r name size sum _; do
    checked=$((checked + 1))
    if [[ ! -f $DIR/$name ]]; then
        echo "check-manifest: $name: missing from $DIR" >&2
        bad=$((bad + 1))
        continue
    fi
    got_size=$(stat -c %s "$DIR/$name")
    got_sum=$(sha256sum <"$DIR/$name" | cut -d' ' -f1)
    if [[ $got_size != "$size" || $got_sum != "$sum" ]]; then
        echo "check-manifest: $name: $got_size bytes, sha256 $got_sum; $(basename "$MANIFEST") has $size bytes, $sum" >&2
        bad=$((bad + 1))
    fi
done < <(grep -v '^#' "$MANIFEST")
if ((bad > 0)); then
    echo "check-manifest: $bad of $checked files in $DIR differ from $MANIFEST" >&2
    exit 1
fi
echo "check-manifest: all $checked files in $DIR match $(basename "$MANIFEST") (size and SHA-256)" >&2
