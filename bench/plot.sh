#!/usr/bin/env bash
# plot.sh RESULTS.csv CHART.png [TITLE]
#
# Draws the TOTAL rows of a qrn-bench CSV: ratio against decompression MB/s
# and against compression MB/s (log scale), quarnix methods and the peers in
# one chart. Peers on whole files are filled marks, peers on quarnix's block
# sizes open marks of the same colour. Levels that stored every block are left
# out. Needs gnuplot (Debian: gnuplot-nox).
set -euo pipefail
CSV=${1:?usage: plot.sh RESULTS.csv CHART.png [TITLE]}
OUT=${2:?usage: plot.sh RESULTS.csv CHART.png [TITLE]}
TITLE=${3:-qrn-bench}
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot missing (apt-get install gnuplot-nox)" >&2; exit 1; }

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# Label places tried in turn, as gnuplot offsets in characters (x, y) and the
# side of the point the text goes to.
PLACES=("0.9 0.55 left" "0.9 -0.75 left" "-0.9 0.55 right" "-0.9 -0.75 right" "0.9 1.6 left" "0.9 -1.8 left")

# One data file per series ("comp_mbps dec_mbps ratio"); the axis ranges per
# panel; and the labels, each in the first place where it covers neither a
# point nor a label placed before it (the geometry is that of the terminal
# below: about 640 x 540 pixels per panel, 6.6-pixel characters).
awk -F, -v dir="$TMP" -v places="${PLACES[*]}" '
NR > 1 && $1 == "TOTAL" && $17 == "ok" {
    if ($4 == "quarnix") { series = "m" $5; label = "-" $5 $6 }
    else { series = $4 ($7 == "block" ? "_block" : ""); label = $4 " -" substr($3, index($3, "-") + 1) }
    printf "%s %s %s\n", $13, $14, $12 > (dir "/" series ".dat")
    n++; speed["comp", n] = $13; speed["dec", n] = $14; ratio[n] = $12
    text[n] = ($7 == "block") ? "" : label; colour[n] = series
}
function lg(v) { return log(v) / log(10) }
function overlaps(ax0, ax1, ay0, ay1, bx0, bx1, by0, by1) {
    return ax0 < bx1 && bx0 < ax1 && ay0 < by1 && by0 < ay1
}
function panel(p,    i, j, k, lo, hi, ylo, yhi, xlo, xhi, ppx, ppy, cw, lh, x, y, w, ok, m, f) {
    for (i = 1; i <= n; i++) {
        if (i == 1 || speed[p, i] < lo) lo = speed[p, i]
        if (i == 1 || speed[p, i] > hi) hi = speed[p, i]
        if (i == 1 || ratio[i] < ylo) ylo = ratio[i]
        if (i == 1 || ratio[i] > yhi) yhi = ratio[i]
    }
    xlo = int(lg(lo) - 0.05 + 100) - 100; xhi = lg(hi) + 0.45
    if (xhi < xlo + 1) xhi = xlo + 1
    m = (yhi - ylo) * 0.07 + 0.05; ylo -= m; yhi += m
    printf "set xrange [%g:%g]\nset yrange [%g:%g]\n", 10 ^ xlo, 10 ^ xhi, ylo, yhi > (dir "/range_" p ".gp")
    ppx = 640 / (xhi - xlo); ppy = 540 / (yhi - ylo); cw = 6.6; lh = 14
    placed = 0
    for (i = 1; i <= n; i++) {
        px[i] = lg(speed[p, i]) * ppx; py[i] = ratio[i] * ppy
    }
    for (i = 1; i <= n; i++) {
        if (text[i] == "") continue
        w = length(text[i]) * cw
        for (k = 1; k <= nplaces; k++) {
            x = px[i] + dxs[k] * cw; y = py[i] + dys[k] * lh
            if (side[k] == "left") { bx0 = x; bx1 = x + w } else { bx0 = x - w; bx1 = x }
            by0 = y - 6; by1 = y + 6
            ok = 1
            for (j = 1; j <= n && ok; j++)
                if (j != i && overlaps(bx0, bx1, by0, by1, px[j] - 6, px[j] + 6, py[j] - 6, py[j] + 6)) ok = 0
            for (j = 1; j <= placed && ok; j++)
                if (overlaps(bx0, bx1, by0, by1, lx0[j], lx1[j], ly0[j], ly1[j])) ok = 0
            if (ok) break
        }
        if (k > nplaces) k = 1
        placed++; lx0[placed] = bx0; lx1[placed] = bx1; ly0[placed] = by0; ly1[placed] = by1
        f = dir "/labels_" p "_" k ".lab"
        printf "%s %s \"%s\" %s\n", speed[p, i], ratio[i], text[i], colour[i] > f
    }
}
END {
    nplaces = split(places, a, " ") / 3
    for (k = 1; k <= nplaces; k++) { dxs[k] = a[3 * k - 2]; dys[k] = a[3 * k - 1]; side[k] = a[3 * k] }
    panel("dec"); panel("comp")
}' "$CSV"

# series file, legend, colour, point type (filled or open)
SERIES=(
    "m1|quarnix method 1|#1f77b4|7"
    "m2|quarnix method 2|#2ca02c|7"
    "m3|quarnix method 3|#d62728|7"
    "m4|quarnix method 4|#9467bd|7"
    "lz4|lz4|#ff7f0e|5"
    "zstd|zstd|#8c564b|9"
    "xz|xz|#17becf|13"
    "zlib|zlib|#7f7f7f|11"
    "lz4_block|lz4, blocks|#ff7f0e|4"
    "zstd_block|zstd, blocks|#8c564b|8"
    "xz_block|xz, blocks|#17becf|12"
    "zlib_block|zlib, blocks|#7f7f7f|10"
)

plot_cmd() {
    local col=$1 parts=() entry name legend colour pt file
    for entry in "${SERIES[@]}"; do
        IFS='|' read -r name legend colour pt <<<"$entry"
        file="$TMP/$name.dat"
        [[ -s $file ]] || continue
        parts+=("'$file' using $col:3 with points pt $pt ps 1.6 lc rgb '$colour' title '$legend'")
    done
    local panel=$2 k lab dx dy side
    for lab in "$TMP"/labels_${panel}_*.lab; do
        [[ -e $lab ]] || continue
        k=${lab##*_}; k=${k%.lab}
        read -r dx dy side <<<"${PLACES[k - 1]}"
        parts+=("'$lab' using 1:2:3:(colour(strcol(4))) with labels offset char $dx,$dy $side font ',9' tc rgb variable notitle")
    done
    local IFS=,
    echo "plot ${parts[*]}"
}

# gnuplot function from series name to colour, for the labels.
colour_function() {
    local entry name legend colour pt body=""
    for entry in "${SERIES[@]}"; do
        IFS='|' read -r name legend colour pt <<<"$entry"
        body+="s eq '$name' ? 0x${colour#\#} : "
    done
    echo "colour(s) = ${body}0"
}

[[ -n $(ls "$TMP"/*.dat 2>/dev/null) ]] || { echo "plot.sh: no rows to draw in $CSV" >&2; exit 1; }

case $OUT in
    *.svg) TERM_LINE="set terminal svg size 1500,640 dynamic font 'DejaVu Sans,12' background '#ffffff'" ;;
    *) TERM_LINE="set terminal pngcairo size 1500,640 font 'DejaVu Sans,10' background '#ffffff'" ;;
esac

gnuplot <<EOF
$TERM_LINE
set output '$OUT'
set multiplot layout 1,2 title "$TITLE" font ',12'
$(colour_function)
set logscale x 10
set grid xtics mxtics ytics lc rgb '#dddddd'
set ylabel 'ratio (original / compressed)'
set key bottom left box opaque font ',9' spacing 1.1
set xlabel 'decompression MB/s (log scale)'
load '$TMP/range_dec.gp'
$(plot_cmd 2 dec)
set xlabel 'compression MB/s (log scale)'
load '$TMP/range_comp.gp'
unset key
$(plot_cmd 1 comp)
unset multiplot
EOF
echo "chart: $OUT"
