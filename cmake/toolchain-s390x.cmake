# Cross build for s390x Linux (big-endian).
set(QRN_CROSS_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)
