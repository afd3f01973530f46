#!/usr/bin/env bash
# Installs what building and testing need when it is missing (Debian).
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/xxhash.h ] || need+=(libxxhash-dev)
# `deps.sh python`: what the Python module needs (make python, make
# test-python, pip install ./python), for Debian's python3.
if [ "${1:-}" = python ]; then
    [ -x /usr/bin/python3-config ] || need+=(python3-dev)
    for m in setuptools pip pytest; do
        /usr/bin/python3 -c "import $m" 2>/dev/null || need+=(python3-$m)
    done
fi
# `deps.sh cross`: the cross compilers and the emulator of the aarch64 and
# s390x builds (GoogleTest is compiled for them from libgtest-dev's sources).
if [ "${1:-}" = cross ]; then
    command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
    command -v s390x-linux-gnu-g++ >/dev/null || need+=(g++-s390x-linux-gnu)
    command -v qemu-s390x >/dev/null || need+=(qemu-user)
fi
# `deps.sh windows`: mingw-w64 (the POSIX thread model, for std::thread) and
# Wine, which runs the tests of the Windows build.
if [ "${1:-}" = windows ]; then
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
    [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
fi
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}" >&2
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
