#!/usr/bin/env bash
# Containers are the same bytes on every platform: each program given
# compresses the built-in sample at every method and level (and over several
# blocks), its containers are compared with the first program's, and each
# program restores every distinct container the others made.
# Usage: cross-identity.sh NAME=PROGRAM ...   (the first is the reference)
# A PROGRAM may be a script that starts the real one in an emulator.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 NAME=PROGRAM NAME=PROGRAM ..." >&2; exit 2; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quarnix-identity.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

names=() progs=()
for a in "$@"; do
    names+=("${a%%=*}")
    p=${a#*=}
    progs+=("$(cd "$(dirname "$p")" && pwd)/$(basename "$p")")
done
# The reference program is a native executable: its bytes end the sample,
# which is named .tar so that the x86 filter runs too.
"$ROOT/scripts/make-sample.sh" "$WORK/sample.tar" "${progs[0]}"
OPTIONS=("-10" "-11" "-12" "-19" "-20" "-21" "-22" "-29" "-30" "-31" "-32" "-39" "-49"
         "-12 -b64K" "-22 -b64K" "-31 -b256K" "-39 -b256K")

# Compress on every platform at once; names are relative to the work folder.
compress_all() {
    local n=$1 prog=$2 i=0
    for opt in "${OPTIONS[@]}"; do
        (cd "$WORK" && $prog $opt -p2 -f sample.tar "$n.$i.qrn") || { echo "$n: $opt failed" >&2; return 1; }
        i=$((i + 1))
    done
}
pids=()
for k in "${!names[@]}"; do
    compress_all "${names[$k]}" "${progs[$k]}" & pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ $failed -eq 0 ] || exit 1

ref=${names[0]}
for n in "${names[@]:1}"; do
    same=0
    for i in "${!OPTIONS[@]}"; do
        if cmp -s "$WORK/$ref.$i.qrn" "$WORK/$n.$i.qrn"; then
            same=$((same + 1))
        else
            echo "$n: ${OPTIONS[$i]} container differs from $ref's" >&2
            failed=1
        fi
    done
    echo "identity: $n made $same/${#OPTIONS[@]} containers byte-identical to $ref's"
done

# Each program restores every distinct container made by the others.
for k in "${!names[@]}"; do
    n=${names[$k]} restored=0
    declare -A seen=()
    for m in "${names[@]}"; do
        [ "$m" != "$n" ] || continue
        for i in "${!OPTIONS[@]}"; do
            sum=$(md5sum < "$WORK/$m.$i.qrn")
            [ -z "${seen[$sum]:-}" ] || continue
            seen[$sum]=1
            rm -f "$WORK/$n.back"   # an existing destination that is a file is refused
            if (cd "$WORK" && ${progs[$k]} -d -f "$m.$i.qrn" "$n.back") && cmp -s "$WORK/sample.tar" "$WORK/$n.back"; then
                restored=$((restored + 1))
            else
                echo "$n: cannot restore $m's ${OPTIONS[$i]} container" >&2
                failed=1
            fi
        done
    done
    unset seen
    echo "identity: $n restored $restored distinct containers made elsewhere"
done
exit $failed
