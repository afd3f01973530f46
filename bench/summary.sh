#!/usr/bin/env bash
# summary.sh RESULTS.csv
#
# The TOTAL rows of a qrn-bench CSV as a Markdown table (for the README), and
# one line naming the quarnix levels that stored every block.
set -euo pipefail
CSV=${1:?usage: summary.sh RESULTS.csv}

awk -F, '
function mib(b) { return b % 1048576 == 0 ? (b / 1048576) " MiB" : (b / 1024) " KiB" }
function commas(v,    s) {
    s = sprintf("%d", v)
    while (s ~ /[0-9][0-9][0-9][0-9]/) sub(/[0-9][0-9][0-9]($|,)/, ",&", s)
    return s
}
NR > 1 && $1 == "TOTAL" {
    if ($17 == "stored") { stored = stored (stored ? ", " : "") "-" $5 $6; next }
    if (!header) {
        print "| codec | blocks | compressed bytes | ratio | compression MB/s | decompression MB/s |"
        print "|---|---|---:|---:|---:|---:|"
        header = 1
    }
    name = $4 == "quarnix" ? "quarnix -" $5 $6 : $4 " -" substr($3, index($3, "-") + 1)
    blocks = $8 == 0 ? "one per file" : mib($8)
    if ($17 != "ok") blocks = blocks " (FAILED)"
    printf "| %s | %s | %s | %.3f | %.1f | %.1f |\n", name, blocks, commas($11), $2 / $11, $13, $14
}
END {
    if (stored) print "\nNot available yet (every block stored raw): quarnix " stored "."
}' "$CSV"
