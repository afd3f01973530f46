# Cross build for aarch64 Linux (little-endian, no x86 vector builds).
set(QRN_CROSS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)
