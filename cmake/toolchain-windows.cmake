# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, so that std::thread and std::mutex work); the program and the tests
# run under Wine. Everything is linked statically (libgcc, libstdc++,
# winpthread), so the .exe files run without DLLs beside them, and with a
# 16 MiB main-thread stack: the codecs keep their working arrays on the stack
# of whichever thread runs them (Windows gives 1 MiB by default).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
find_program(QRN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
# Wine runs with address-space randomisation off where the system lets a
# process ask for that. Wine's loader is linked at a fixed address, and the
# kernel puts its heap at a random place in the gigabyte above it; about one
# start in a few thousand, the heap covers the page Wine needs at 0x7ffe0000,
# and Wine exits with status 1 ("failed to map the shared user data") before
# the program starts. Without randomisation the heap sits right after the
# loader, every time. The setting passes to every process Wine starts.
execute_process(COMMAND setarch x86_64 -R true RESULT_VARIABLE qrn_setarch_status
                OUTPUT_QUIET ERROR_QUIET)
if(qrn_setarch_status EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR setarch x86_64 -R ${QRN_WINE})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QRN_WINE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers that hold no compiled code (xxhash.h) come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--stack,16777216")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
