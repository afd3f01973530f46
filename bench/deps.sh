#!/usr/bin/env bash
# bench/deps.sh [corpus]
# Installs what the benchmark needs when it is missing (Debian): the peers'
# development libraries, gnuplot, GNU time and the zstd, xz and lz4 programs;
# with "corpus", also what bench/corpus/make-corpus.sh uses (npm, python3,
# dpkg-deb).
set -euo pipefail
need=()
[ -f /usr/include/lz4hc.h ] || need+=(liblz4-dev)
[ -f /usr/include/zstd.h ] || need+=(libzstd-dev)
[ -f /usr/include/lzma.h ] || need+=(liblzma-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
[ -x /usr/bin/time ] || need+=(time)
command -v zstd >/dev/null || need+=(zstd)
command -v xz >/dev/null || need+=(xz-utils)
command -v lz4 >/dev/null || need+=(lz4)
if [ "${1:-}" = corpus ]; then
    command -v npm >/dev/null || need+=(npm)
    command -v python3 >/dev/null || need+=(python3)
    command -v dpkg-deb >/dev/null || need+=(dpkg)
fi
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}" >&2
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
