# Cross-compiles the camera for 32-bit Windows with MinGW-w64 (posix thread model,
# which GoogleTest needs for std::mutex). The same sources and flags as the 64-bit
# build, plus what x86 needs:
#  - SSE2 for the pixel code, and SSE arithmetic for floating point, so that results
#    match the 64-bit build (x87 keeps 80-bit intermediates);
#  - 4-byte incoming stack alignment. 32-bit Windows programs start threads and call
#    callbacks with the stack aligned to 4 bytes only; functions that keep 16-byte
#    aligned SSE values on the stack then realign it themselves. Debian's GCC 12 for
#    i686-w64-mingw32 assumes this already (its default incoming boundary is 4 bytes),
#    but a compiler assuming 16 bytes would fault in SSE2 code called from such a
#    program; the flag pins it (tests/platform/stack_alignment_test.cpp checks it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows executables built here run under Wine (tests, benchmarks, tools); a Wine
# prefix with its 32-bit half runs them beside the 64-bit ones.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
