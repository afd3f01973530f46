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

# One data file per series: "comp_mbps dec_mbps ratio". Labels go to files of
# their own per panel and per line offset: a label that would sit on one drawn
# earlier (nearby point, same panel) moves down a line.
awk -F, -v dir="$TMP" '
NR > 1 && $1 == "TOTAL" && $17 == "ok" {
    if ($4 == "quarnix") { series = "m" $5; label = "-" $5 $6 }
    else { series = $4 ($7 == "block" ? "_block" : ""); label = $4 " -" substr($3, index($3, "-") + 1) }
    printf "%s %s %s\n", $13, $14, $12 > (dir "/" series ".dat")
    if ($7 == "block") next
    n++; comp[n] = $13; dec[n] = $14; ratio[n] = $12; text[n] = label; colour[n] = series
    if (n == 1 || $12 < lo) lo = $12
    if (n == 1 || $12 > hi) hi = $12
}
function near(a, b, speed,    dx) {
    dx = log(speed[a] / speed[b]) / log(10)
    return dx > -0.35 && dx < 0.35 && (ratio[a] - ratio[b]) ^ 2 < (0.045 * (hi - lo + 0.01)) ^ 2
}
END {
    for (i = 1; i <= n; i++) {
        kd = 0; kc = 0
        for (j = 1; j < i; j++) {
            if (near(i, j, dec) && shift_d[j] == kd) kd++
            if (near(i, j, comp) && shift_c[j] == kc) kc++
        }
        shift_d[i] = kd; shift_c[i] = kc
        printf "%s %s \"%s\" %s\n", dec[i], ratio[i], text[i], colour[i] > (dir "/labels_dec_" kd ".lab")
        printf "%s %s \"%s\" %s\n", comp[i], ratio[i], text[i], colour[i] > (dir "/labels_comp_" kc ".lab")
    }
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
    local panel=$2 k lab
    for lab in "$TMP"/labels_${panel}_*.lab; do
        [[ -e $lab ]] || continue
        k=${lab##*_}; k=${k%.lab}
        parts+=("'$lab' using 1:2:3:(colour(strcol(4))) with labels offset char 0.9,$(awk -v k="$k" 'BEGIN { print 0.55 - 1.05 * k }') left font ',9' tc rgb variable notitle")
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
set offsets graph 0.04, graph 0.18, graph 0.06, graph 0.06
set xlabel 'decompression MB/s (log scale)'
$(plot_cmd 2 dec)
set xlabel 'compression MB/s (log scale)'
unset key
$(plot_cmd 1 comp)
unset multiplot
EOF
echo "chart: $OUT"
