#!/usr/bin/env bash
# Checks the library as a user gets it: installs BUILD_DIR into a temporary
# prefix, checks the installed files, builds examples/example.c against them
# through pkg-config (shared and static) and through find_package(quarnix),
# runs every build on a file of its own making, and checks that the shared
# library exports the qrn_ functions and nothing else.
#   scripts/check-library.sh BUILD_DIR      (after `make test` or `make`)
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "$1" && pwd) || exit 2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quarnix-lib.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix
CC=${CC:-cc}

passed=0
failed=0
# check NAME COMMAND...: runs the command, its output shown only on failure.
check() {
    local name=$1
    shift
    if "$@" >"$WORK/out" 2>&1; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        sed 's/^/     /' "$WORK/out" | tail -n 40
        failed=$((failed + 1))
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

check "cmake --install into a temporary prefix" cmake --install "$BUILD" --prefix "$PREFIX"
LIBDIR=$(dirname "$(find "$PREFIX" -name libquarnix.so.0 -print -quit)")
[ "$LIBDIR" != . ] || { check "libquarnix.so.0 installed" false; finish; }

for f in bin/quarnix include/quarnix.h share/man/man1/quarnix.1 \
    "${LIBDIR#"$PREFIX"/}"/{libquarnix.so.0,libquarnix.so,libquarnix.a,pkgconfig/quarnix.pc} \
    "${LIBDIR#"$PREFIX"/}"/cmake/quarnix/{quarnixConfig,quarnixConfigVersion,quarnixTargets}.cmake; do
    check "installed $f" test -f "$PREFIX/$f"
done
check "libquarnix.so is a link to libquarnix.so.0" \
    test "$(readlink -f "$LIBDIR/libquarnix.so")" = "$(readlink -f "$LIBDIR/libquarnix.so.0")" -a -L "$LIBDIR/libquarnix.so"
check "soname libquarnix.so.0" sh -c "readelf -d '$LIBDIR/libquarnix.so.0' | grep -q 'SONAME.*\[libquarnix.so.0\]'"
check "installed program runs" "$PREFIX/bin/quarnix" --version

# The shared library exports exactly the qrn_ functions: none missing from
# those quarnix.h declares, nothing else (helpers, C++ templates).
# (Type A would be a version node's name; a symbol's version is cut off.)
nm -D --defined-only "$LIBDIR/libquarnix.so.0" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort -u >"$WORK/exported"
check "exports only qrn_ symbols" sh -c "! grep -v '^qrn_' '$WORK/exported'"
sed -n 's/^QRN_API .*[ *]\(qrn_[a-z_]*\)(.*/\1/p' "$ROOT/include/quarnix.h" | sort -u >"$WORK/declared"
check "exports every function quarnix.h declares" sh -c "[ -s '$WORK/declared' ] && ! comm -23 '$WORK/declared' '$WORK/exported' | grep ."

# pkg-config sees only the temporary prefix.
export PKG_CONFIG_LIBDIR=$LIBDIR/pkgconfig PKG_CONFIG_PATH=
check "pkg-config finds quarnix in the prefix" sh -c "pkg-config --exists quarnix && pkg-config --cflags quarnix | grep -q -- '-I$PREFIX/include'"

# Input: text and machine code, several 64 KiB pieces of container; and an empty file.
SAMPLE=$WORK/sample.bin
{ seq 1 40000; head -c 300000 "$BUILD/quarnix"; cat "$ROOT/man/quarnix.1"; } >"$SAMPLE"
: >"$WORK/empty"
# run_example PROGRAM [ENV...]: the example at a few methods and levels.
run_example() {
    local prog=$1
    shift
    env "$@" "$prog" "$SAMPLE" &&
        env "$@" "$prog" "$SAMPLE" 1 0 &&
        env "$@" "$prog" "$SAMPLE" 4 9 &&
        env "$@" "$prog" "$WORK/empty"
}
needed() { readelf -d "$1" | grep -q "NEEDED.*\[$2\]"; }

CFLAGS_EX="-std=c11 -Wall -Wextra -Werror"
check "example builds with pkg-config (shared)" \
    sh -c "$CC $CFLAGS_EX -o '$WORK/example' '$ROOT/examples/example.c' \$(pkg-config --cflags --libs quarnix)"
check "example (shared) links libquarnix.so.0" needed "$WORK/example" libquarnix.so.0
check "example (shared) runs" run_example "$WORK/example" LD_LIBRARY_PATH="$LIBDIR"
sed -n "1s/^/     /p" "$WORK/out"

static_libs=$(pkg-config --static --libs quarnix)
static_libs=${static_libs/-lquarnix/-l:libquarnix.a}
check "example builds with pkg-config --static (libquarnix.a)" \
    sh -c "$CC $CFLAGS_EX -o '$WORK/example-static' '$ROOT/examples/example.c' \$(pkg-config --cflags quarnix) $static_libs"
check "example (static) needs no libquarnix.so" sh -c "! readelf -d '$WORK/example-static' | grep -q libquarnix"
check "example (static) runs" run_example "$WORK/example-static"

for kind in shared static; do
    flag=OFF
    [ $kind = static ] && flag=ON
    dir=$WORK/consumer-$kind
    check "find_package(quarnix) consumer builds ($kind)" sh -c "
        cmake -S '$ROOT/examples' -B '$dir' -DCMAKE_PREFIX_PATH='$PREFIX' -DQRN_EXAMPLE_STATIC=$flag &&
        grep -q '^quarnix_DIR:PATH=$LIBDIR/cmake/quarnix\$' '$dir/CMakeCache.txt' &&
        cmake --build '$dir'"
    check "find_package(quarnix) consumer runs ($kind)" run_example "$dir/example"
done
check "find_package(quarnix 2) is refused" sh -c "
    printf 'cmake_minimum_required(VERSION 3.20)\nproject(v LANGUAGES C)\nfind_package(quarnix 2 REQUIRED)\n' >'$WORK/CMakeLists.txt' &&
    ! cmake -S '$WORK' -B '$WORK/v' -DCMAKE_PREFIX_PATH='$PREFIX'"

finish
