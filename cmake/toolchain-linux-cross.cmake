# Shared by the Linux cross builds: the toolchain file names QRN_CROSS_ARCH
# (Debian's triplet prefix, e.g. aarch64) and includes this. Debian's cross
# compilers are used, and the tests run under qemu-user with the target's
# libraries from /usr/<arch>-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QRN_CROSS_ARCH})
set(CMAKE_C_COMPILER ${QRN_CROSS_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${QRN_CROSS_ARCH}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QRN_CROSS_ARCH}-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${QRN_CROSS_ARCH} -L /usr/${QRN_CROSS_ARCH}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers that hold no compiled code (xxhash.h) come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
